// The ring: the server's packets in arrival order, kept in a fixed-size
// circular byte area that lives in memory or in a ring file.
//
// Each packet is one record (header, source name, bytes) written where the
// previous one ended; a record that does not fit before the end of the area
// goes to its start, and the oldest records are dropped to make room. Every
// packet gets the next sequence number; its packet id is that number modulo
// 2^31, so ids wrap at 2147483647 while the server still orders packets by
// the 64-bit number. An index (one entry per packet, oldest first) gives
// the position, time and source of every packet by sequence number.
//
// In a ring file the area follows a header with the ring's identity and
// two checkpoint slots naming the oldest record. Records carry a CRC-32C,
// and opening a file walks the records from the checkpoint, keeping only
// the unbroken chain of valid ones: a torn write or a killed server never
// serves garbage. The layout is described in docs/tarn-ring-file.md.
//
// Not thread-safe: the server uses a ring from its one event thread.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>

#include "tarnserver/source_table.h"

namespace tarnserver {

struct PacketRef {
  uint64_t seq = 0;
  double time = 0.0;
  std::string_view src;
  const char *data = nullptr;
  uint32_t nbytes = 0;
};

struct RingOptions {
  uint64_t size = 0;       // bytes of the packet area; 0 with a file: the file's
  std::string path;        // ring file; empty: the ring is in memory
  uint64_t firstSeq = 0;   // first packet number of a new ring
  // The largest packet: kept by a new ring file. An existing file keeps its
  // own, and refuses another one when maxPacketGiven (-m was given).
  uint32_t maxPacket = 1u << 20;
  bool maxPacketGiven = false;
};

class Ring {
 public:
  // Opens or creates the ring; null with the reason in `err` on failure.
  static std::unique_ptr<Ring> open(const RingOptions &opt, std::string &err);
  ~Ring();
  Ring(const Ring &) = delete;
  Ring &operator=(const Ring &) = delete;

  // Bytes a packet takes in the area.
  static uint64_t recordSize(size_t srclen, size_t nbytes);
  // Stores a packet and returns its sequence number. The caller has checked
  // that 1 <= src.size() <= 63 and recordSize() <= dataSize().
  uint64_t append(std::string_view src, double time, const char *data, uint32_t nbytes);

  bool empty() const { return index_.empty(); }
  uint64_t count() const { return index_.size(); }
  uint64_t oldestSeq() const { return nextSeq_ - index_.size(); }
  uint64_t nextSeq() const { return nextSeq_; }
  bool holds(uint64_t seq) const { return seq >= oldestSeq() && seq < nextSeq_; }
  // The following take a sequence number that holds() accepts.
  PacketRef packet(uint64_t seq) const;
  double timeOf(uint64_t seq) const { return entry(seq).time; }
  uint32_t sourceOf(uint64_t seq) const { return entry(seq).src; }

  SourceTable &sources() { return sources_; }
  const SourceTable &sources() const { return sources_; }
  uint64_t instance() const { return instance_; }
  uint64_t dataSize() const { return size_; }
  uint32_t maxPacket() const { return maxPacket_; }
  uint64_t usedBytes() const;
  uint64_t dropped() const { return dropped_; }
  bool inFile() const { return fd_ >= 0; }
  // What opening found (records recovered, records discarded), for the log.
  const std::string &openReport() const { return report_; }

  // Ring file: records the oldest record in the header and writes the file
  // out. Called at shutdown; harmless in memory.
  void sync();

 private:
  struct Entry {
    uint64_t off;
    double time;
    uint32_t src;
    uint32_t len;
  };
  Ring() = default;
  const Entry &entry(uint64_t seq) const { return index_[seq - oldestSeq()]; }
  bool openMemory(const RingOptions &opt, std::string &err);
  bool openFile(const RingOptions &opt, std::string &err);
  bool createFile(const RingOptions &opt, std::string &err);
  bool loadFile(std::string &err);
  // Takes the file's largest-packet size, or records the one asked for in a
  // file that has none yet; false when they differ and -m was given.
  bool loadLimits(const RingOptions &opt, std::string &err);
  void writeLimits();
  void recover();
  bool recordAt(uint64_t off, uint64_t seq, Entry &e, std::string_view &src) const;
  uint64_t makeRoom(uint64_t len);
  void dropOldest();
  void writeCheckpoint(uint64_t tailOff, uint64_t tailSeq);

  char *base_ = nullptr;     // the mapping (header and area for a file)
  uint64_t mapLen_ = 0;
  char *area_ = nullptr;     // the packet area
  uint64_t size_ = 0;        // bytes in the area, a multiple of 8
  uint32_t maxPacket_ = 0;   // the largest packet taken
  int fd_ = -1;              // ring file, or -1 in memory
  std::string path_;
  uint64_t instance_ = 0;
  uint64_t head_ = 0;        // where the next record goes
  uint64_t tail_ = 0;        // the oldest record (== head_ when empty)
  uint64_t nextSeq_ = 0;
  uint64_t dropped_ = 0;
  uint64_t checkpointGen_ = 0;
  std::deque<Entry> index_;
  SourceTable sources_;
  std::string report_;
};

}  // namespace tarnserver
