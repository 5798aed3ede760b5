// FollowState: what `tarn import --follow` has taken from each file of its
// folder, and the numbers its puts carry, kept in a state file across
// restarts (docs/import-follow.md describes the file).
//
// A file is known by its device and inode, so that a file renamed within
// the folder keeps what was taken of it, and by a print of its first bytes,
// so that a new file that got a removed file's inode is seen as new. Its
// records up to `taken` are done (acknowledged by the server, or damage);
// those from `taken` up to `assigned` carry the sequence numbers from
// `sequence` on, one a record in file order: numbered and saved before they
// were put, so that a restart puts them again with the same identities.
//
// The file is written whole (temporary file, fsync, rename), so a crash
// leaves the old state or the new one. One process holds a state file at a
// time: a lock on STATE.lock, taken by open() and held until the process
// ends (the state file itself cannot carry it: every save renames a new file
// over it).
//
// Failures: open() and save() answer why not ("" when all is well).
// Thread-safety: one thread at a time.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>

namespace tarntool {

struct FollowedFile {
  // Saved.
  uint64_t device = 0, inode = 0;
  std::string name;  // in the folder
  uint64_t taken = 0, assigned = 0, sequence = 0;
  uint32_t printLength = 0;  // how many of the first bytes `print` covers
  uint64_t print = 0;        // 64-bit FNV-1a of them

  // The follower's own, not saved.
  uint64_t size = 0;        // as last seen
  uint64_t lookedTo = 0;    // the end of the bytes last looked at
  double waitingSince = 0;  // since when bytes after `assigned` wait to be a record; 0: none
  bool waitingSaid = false;
  bool readFailureSaid = false;
  int missing = 0;  // listings in a row that did not find it
};

using FileKey = std::pair<uint64_t, uint64_t>;  // device, inode

class FollowState {
 public:
  // The first bytes a print covers.
  static constexpr uint32_t kPrintBytes = 64;

  FollowState(std::string path, std::string folder);
  ~FollowState();
  FollowState(const FollowState &) = delete;
  FollowState &operator=(const FollowState &) = delete;

  // Takes the lock and reads the state file; a missing one is a new state
  // with a new origin, written at once so that a state that cannot be saved
  // is known before anything is put. A state of another folder, or one that
  // does not read, is refused naming the line.
  std::string open();
  std::string save();
  // The bytes the last save wrote.
  size_t savedBytes() const { return m_savedBytes; }
  const std::string &path() const { return m_path; }
  bool isNew() const { return m_new; }

  uint64_t origin = 0;  // names this importer to the server
  uint64_t next = 1;    // the next sequence number to hand out
  std::map<FileKey, FollowedFile> files;

  static uint64_t printOf(const char *bytes, size_t n);

 private:
  std::string lock();
  std::string parse(const std::string &text);

  const std::string m_path, m_folder;
  int m_lockFd = -1;
  size_t m_savedBytes = 0;
  bool m_new = false;
};

}  // namespace tarntool
