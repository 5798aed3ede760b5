// Follower: the loop of `tarn import --follow`. It follows the files of a
// folder and puts every whole miniSEED record appended to them onto a tarn
// server, one packet per record as `tarn import` puts them, each put with an
// identity (the state's origin and a sequence number of its own), so that
// the server stores each record once however often the importer is killed
// and started again.
//
// It works in turns. A turn reads the files with bytes it has not looked at
// yet, at most 8 MiB and 50,000 records in all (scanRecords decides what is
// a whole record), numbers the new records on from the state's next sequence
// number, saves the state, puts the records and waits until the server has
// acknowledged every one; only then do the files' taken offsets move. So a
// crash at any point leaves a state whose numbered records are put again,
// with the same numbers, after the restart: the server acknowledges those it
// already holds as repeats and stores the others (its window of 262,144
// numbers per origin covers a turn several times over).
//
// Order: each file's records go in file order. Within a turn the files go in
// name order, starting after the last file that a full turn left out, so that
// no file waits for others; records of different files keep no order among
// themselves.
//
// The folder: inotify says which files changed; a full listing every 5 s (1 s
// without inotify) catches what it missed. Files are opened only while read,
// one at a time. A file shorter than what was taken of it, or whose first
// bytes changed, is taken again from its start, said on standard error; a
// removed file is forgotten; bytes at a file's end that stay short of a whole
// record for two minutes are said once.
//
// Reports: a line on standard output when it starts, every 10 s in which
// something happened (records put, files taken and forgotten), and when it
// ends; damage and trouble on standard error as they happen, each once.
//
// Thread-safety: one thread. run() returns once SIGINT or SIGTERM came (or
// the server was lost while stopping).
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tools/folder_watch.h"
#include "tools/follow_state.h"
#include "tools/record_scan.h"

namespace tarntool {

class Follower {
 public:
  // `fd` is a tarn client descriptor open for puts; the state is open.
  Follower(std::string tarn, std::string folder, FollowState &state, FolderWatch &watch, int fd);

  // Follows until interrupted; true when every record taken was
  // acknowledged and the state saved at the end.
  bool run();

  struct Counts {
    long put = 0, again = 0, skipped = 0, filesTaken = 0, forgotten = 0, restarted = 0;
  };
  const Counts &totals() const { return m_total; }
  size_t streams() const { return m_streams.size(); }

 private:
  using Clock = std::chrono::steady_clock;

  // What one turn takes of one file.
  struct Chunk {
    FileKey key;
    uint64_t from = 0;  // the file offset of bytes[0]
    std::string bytes;
    RecordScan scan;
    uint64_t sequence = 0;          // of the first record
    bool again = false;             // numbered before a restart, put again
    std::vector<uint64_t> numbers;  // the put number of each record; 0: not put
  };

  // The folder (follower.cc).
  void listAll();
  void lookAt(const std::set<std::string> &names);
  void take(const FileSeen &seen);
  void renumberDevice(const FileSeen &seen);
  void forget(std::map<FileKey, FollowedFile>::iterator it);
  // Records numbered and not yet acknowledged, bytes not looked at yet, or
  // a file shorter than what was looked at.
  bool hasWork(const FollowedFile &f) const { return f.taken < f.assigned || f.size != f.lookedTo; }
  bool anyWork() const;
  void tick(Clock::time_point now);
  void report(bool final);

  // A turn (follow_turn.cc).
  bool turn();
  std::vector<FollowedFile *> filesInTurnOrder();
  bool plan(FollowedFile &f, uint64_t share, size_t maxRecords, Chunk &c);
  std::string sameFile(int fd, FollowedFile &f);
  void startAgain(FollowedFile &f, const std::string &why);
  void noteDamage(const FollowedFile &f, const Chunk &c);
  void noteWaiting(FollowedFile &f, bool moved);
  bool saveNumbers(std::vector<Chunk> &chunks);
  bool putAll(std::vector<Chunk> &chunks, uint64_t &last);
  bool awaitAcknowledged(uint64_t last);
  void settle(std::vector<Chunk> &chunks);

  const std::string m_tarn, m_folder;
  FollowState &m_state;
  FolderWatch &m_watch;
  const int m_fd;
  std::map<std::string, FileKey> m_byName;
  std::set<std::string> m_streams;
  std::string m_resumeAfter;  // a full turn stopped after this file
  bool m_relist = false;      // a file was not where the last listing said
  bool m_stateDirty = false;
  bool m_saveFailing = false, m_listFailing = false;
  Clock::time_point m_notBefore{}, m_lastSave{}, m_lastReport{};
  Counts m_total, m_reported;
};

}  // namespace tarntool
