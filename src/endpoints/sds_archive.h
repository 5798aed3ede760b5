// SdsArchive: the day files of a miniSEED archive in the SDS layout that the
// field's tools read,
//
//   ROOT/YEAR/NET/STA/CHA.D/NET.STA.LOC.CHA.D.YEAR.DAY
//
// (YEAR four digits, DAY the day of the year in three, UTC). A record goes
// whole to the day file of its start time, after what the file holds.
//
// Writing: append() writes one record; when the write fails (disk full, no
// permission, a file where a folder should be) nothing of the record stays
// in the file, and the caller may try again. sync() flushes every file
// written since the last sync to disk (fsync), and the folders of files and
// folders it made, so that what it has synced survives a crash.
//
// Files taken away: after flushing a file, sync() checks that the archive
// path still names it (the device and inode of the open file against those
// the path leads to, through every folder on the way). A day file or folder
// removed or replaced under the writer (rm -rf, a clean-up script), or an
// archive whose disk was unmounted, fails that check: the file is closed
// and forgotten, and takeLost() names it, so that the caller writes the
// records it had not yet seen synced again; the next append to it makes the
// file, and any folder missing on the way, anew. Records the caller saw
// synced before are gone with the file; nothing can bring them back.
//
// Repeats: a record already in its day file is not written again: a writer
// started again after a crash reads again what it wrote but had not yet
// said was written, which may reach far back into a file when it was
// catching up. Records of a stream come in time order, so the first record
// a file gets in this run is looked for among what the file held (by its
// start time, in a file of records of one length: a binary search), and
// each one after it at the place after the last one found, until one is
// not there; besides, a record equal to one of the last kRecentRecords
// records of its file (those it ended with, or appended since) is not
// written again either.
//
// Bounds: at most maxOpenFiles files are open at once (the least recently
// used one is synced and closed); per open file, the sizes and offsets of
// kRecentRecords records are kept.
//
// Thread-safety: one thread at a time.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <deque>
#include <list>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/mseed/mseed_record.h"

class SdsArchive {
 public:
  static constexpr size_t kRecentRecords = 256;

  explicit SdsArchive(std::string root, size_t maxOpenFiles = 64);
  ~SdsArchive();
  SdsArchive(const SdsArchive &) = delete;
  SdsArchive &operator=(const SdsArchive &) = delete;

  const std::string &root() const { return m_root; }

  // Makes the root folder when it is missing; "" once it is a folder this
  // process can write, else why not.
  std::string prepare();

  enum class Appended { kWritten, kAlreadyThere };
  // Appends the record (`header` says where it goes); "" or why it was not
  // written, in which case nothing of it is in the file.
  std::string append(const mseed::Record &header, const char *bytes, size_t length,
                     Appended &result);

  // Flushes what was written since the last sync to disk; "" or why not
  // (what failed stays to be synced). A file the archive path no longer
  // names is not synced: it goes to takeLost().
  std::string sync();

  // The day files found gone since the last call (relative to the root),
  // and whether the root now lies on another device than when prepare()
  // found it (an unmounted disk).
  struct Lost {
    std::vector<std::string> files;
    bool otherDevice = false;
  };
  Lost takeLost();

  // The day file of a record, relative to the root.
  static std::string dayFile(const mseed::Record &header);

 private:
  struct Recent {
    uint64_t key;
    off_t offset;
    size_t length;
  };
  struct File {
    int fd = -1;
    dev_t device = 0;  // of the open file, to tell it from another at its path
    ino_t inode = 0;
    off_t size = 0;
    bool dirty = false;
    off_t heldBefore = 0;       // what the file held when this archive opened it
    bool matching = true;       // records may still be repeats of what it held
    off_t next = -1;            // where the next repeat would stand; -1: not known
    std::deque<Recent> recent;  // the newest records, oldest first
    std::list<std::string>::iterator use;
  };

  std::string open(const std::string &relative, File *&file);
  std::string makeFolders(const std::string &relative);
  void loadRecent(File &file);
  bool alreadyThere(File &file, uint64_t key, const mseed::Record &header, const char *bytes,
                    size_t length);
  bool sameAt(File &file, off_t offset, const char *bytes, size_t length);
  // Where the record starting at `start` stands among what the file held,
  // when the file holds records of `length` bytes only; -1 when not found.
  off_t findByStart(File &file, double start, size_t length);
  void remember(File &file, uint64_t key, off_t offset, size_t length);
  std::string syncFile(const std::string &relative, File &file);
  // Whether the archive path still leads to the open file.
  bool stillNamed(const std::string &relative, const File &file) const;
  void forget(const std::string &relative);
  void closeOldest();

  const std::string m_root;
  const size_t m_maxOpenFiles;
  std::unordered_map<std::string, File> m_files;  // by path relative to the root
  std::list<std::string> m_uses;                  // least recently used first
  std::set<std::string> m_knownFolders;           // relative folders that exist
  std::set<std::string> m_foldersToSync;          // absolute folders with new entries
  std::vector<std::string> m_lost;                // files found gone, for takeLost
  dev_t m_rootDevice = 0;                         // where prepare() found the root
};
