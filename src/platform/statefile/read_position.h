// ReadPosition: where a reader resumes after a restart, covering only the
// packets it is done with.
//
// The reader records each packet it reaps (reaped()) and gets the packet's
// ReadRecord, held once, by the reader itself. Whoever else takes the packet
// on (a queue's consumer, a put waiting for its acknowledgement) holds the
// record too, and lets go of it once the packet is done there: stored on a
// server, or left out with a reason given. The position a save writes
// (resumePoint()) is
//   - just after the last packet before the oldest one still held, when
//     some packet read in this run is done;
//   - otherwise at the oldest packet still held, when there is one;
//   - otherwise where the statefile put the reader (restore()), if anywhere.
// Packets finish out of order (one writer is quicker than another); the
// position only passes a packet once it and every packet before it are
// done. So a crash may read some packets again but never skips one that the
// source still holds.
//
// Cost: reaped(), hold() and release() take no lock; the records live in
// blocks of kBlockRecords, and only the reader's move to a new block takes
// the position's lock.
//
// Thread-safety: reaped() and set() from one thread at a time (the
// reader's); ReadRecord::hold() and release() from any thread; restore(),
// resumePoint(), id() and time() from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>

// A place to resume reading: after the packet (id, time), or at it when
// `at` is set. id -1: no place.
struct ResumePoint {
  int32_t id = -1;
  double time = 0.0;
  bool at = false;
};

// One reaped packet and the holds on it. hold() is for a holder that hands
// the packet on to one more place; every hold is released exactly once.
class ReadRecord {
 public:
  void hold() { m_holds.fetch_add(1, std::memory_order_relaxed); }
  void release() { m_holds.fetch_sub(1, std::memory_order_acq_rel); }
  // Every hold has been released: the packet is done everywhere.
  bool isDone() const { return m_holds.load(std::memory_order_acquire) == 0; }

 private:
  friend class ReadPosition;
  std::atomic<int32_t> m_holds{0};
  int32_t m_id = -1;
  double m_time = 0.0;
};

class ReadPosition {
 public:
  ReadPosition() = default;
  ~ReadPosition();
  ReadPosition(const ReadPosition &) = delete;
  ReadPosition &operator=(const ReadPosition &) = delete;

  // Where the statefile puts the reader, before it reads.
  void restore(const ResumePoint &point);
  // Records a reaped packet, held once by the caller.
  ReadRecord *reaped(int32_t id, double time);
  // For a reader that is done with each packet as it reaps it.
  void set(int32_t id, double time) { reaped(id, time)->release(); }

  // What a save writes (see above).
  ResumePoint resumePoint();
  int32_t id() { return resumePoint().id; }
  double time() { return resumePoint().time; }

 private:
  static constexpr size_t kBlockRecords = 4096;
  struct Block {
    ReadRecord records[kBlockRecords];
  };
  Block *newBlock();

  // The reader's own: where the next record goes.
  Block *m_writeBlock = nullptr;
  size_t m_writeIndex = kBlockRecords;
  std::atomic<uint64_t> m_published{0};  // records made so far

  std::mutex m_mutex;            // guards everything below
  std::deque<Block *> m_blocks;  // the first holds record m_blocksBase
  uint64_t m_blocksBase = 0;
  uint64_t m_done = 0;  // records known done, from the first on
  bool m_doneInRun = false;
  ResumePoint m_lastDone;  // the last of those
  ResumePoint m_restored;
  Block *m_spare = nullptr;  // a passed block, kept for reuse
};
