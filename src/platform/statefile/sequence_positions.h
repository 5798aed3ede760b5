// SequencePositions: where a reader of a server that numbers its packets by
// sequence (a SeedLink server) resumes after a restart, per stream (a
// station), covering only the packets it is done with.
//
// The reader records each packet it reads (read()) and gets its ReadRecord,
// held once by the reader itself; whoever takes the packet on holds it too
// and lets go once the packet is done (read_position.h). A stream's point
// (points()) is the packet to resume after: its last packet before the
// oldest one of that stream still held; else, when none of its packets is
// done yet, what the statefile restored for it; else the oldest held, to
// resume at (`at`), so that a reader that never had a place keeps the
// first packet it read. Streams do not wait for
// one another: a packet held in one stream does not hold back the points of
// the others.
//
// Records done are freed as points are taken and as the stream reads on, so
// what is kept is bounded by the packets still held.
//
// Thread-safety: every method from any thread; one mutex guards the table.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/statefile/read_position.h"

class SequencePositions {
 public:
  struct Point {
    uint64_t sequence = 0;
    double time = 0.0;
    bool at = false;  // resume with this packet rather than after it
  };

  // Where the statefile puts the stream, before it reads.
  void restore(const std::string &stream, const Point &point);
  // Records a packet read from `stream`, held once by the caller.
  ReadRecord *read(const std::string &stream, const Point &point);
  // Every stream's point: its last packet done before the oldest held, or
  // its restored point; streams with neither are left out.
  std::map<std::string, Point> points();
  // Packets read and not yet passed, over every stream (done ones behind
  // one still held count too).
  size_t held();

 private:
  struct Stream {
    std::deque<std::pair<std::unique_ptr<ReadRecord>, Point>> pending;
    bool hasPoint = false;
    Point point;
  };
  static void pass(Stream &stream);

  std::mutex m_mutex;
  std::map<std::string, Stream> m_streams;
};
