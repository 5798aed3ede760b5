// The ring: the server's packets in arrival order, kept in a fixed-size
// circular byte area that lives in memory or in a ring file.
//
// Each packet is one record (header, source name, bytes) written where the
// previous one ended; a record that does not fit before the end of the area
// goes to its start, and the oldest records are dropped to make room. Every
// packet gets the next sequence number; its packet id is that number modulo
// 2^31, so ids wrap at 2147483647 while the server still orders packets by
// the 64-bit number.
//
// Indexes, so that no question costs a walk over every packet:
//  - one entry per sequence number, oldest first: position, time, source,
//    and the next packet of the same source;
//  - per source (SourceTable): its oldest and newest packet and latest time;
//  - per block of kTimeBlock sequence numbers: the latest time in it.
//
// In a ring file the area follows a header with the ring's identity and two
// checkpoint slots naming the oldest record. Records carry a CRC-32C, and
// opening a file keeps every valid record of the latest lap: a damaged
// record is skipped and counted (its number stays taken, as a *hole* that
// holds no packet), and with both checkpoints damaged the ring is rebuilt
// from the records alone. No packet id is ever given out twice under one
// ring instance. The layout is described in docs/tarn-ring-file.md.
//
// Each packet stored also gets its arrival time (microseconds since the
// epoch), kept in the index only: a packet recovered from a ring file has
// none (0).
//
// Holes only come from recovering a damaged file. The oldest entry is never
// a hole; isHole() tells the others apart, and sourceOf() gives kNoSource
// for them.
//
// Not thread-safe: the server uses a ring from its one event thread.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "tarnserver/repeat_window.h"
#include "tarnserver/source_table.h"

namespace tarnserver {

struct RecoveryPlan;

struct PacketRef {
  uint64_t seq = 0;
  double time = 0.0;
  std::string_view src;
  const char *data = nullptr;
  uint32_t nbytes = 0;
};

// Which packet a put is, when its writer says so (RepeatWindow).
struct PacketIdentity {
  uint64_t origin = 0;
  uint64_t sequence = 0;
};

struct RingOptions {
  uint64_t size = 0;      // bytes of the packet area; 0 with a file: the file's
  std::string path;       // ring file; empty: the ring is in memory
  uint64_t firstSeq = 0;  // first packet number of a new ring
  // The largest packet: kept by a new ring file. An existing file keeps its
  // own, and refuses another one when maxPacketGiven (-m was given).
  uint32_t maxPacket = 1u << 20;
  bool maxPacketGiven = false;
};

class Ring {
 public:
  static constexpr uint32_t kNoSource = UINT32_MAX;
  static constexpr uint64_t kTimeBlock = 64;

  // Opens or creates the ring; null with the reason in `err` on failure.
  static std::unique_ptr<Ring> open(const RingOptions &opt, std::string &err);
  ~Ring();
  Ring(const Ring &) = delete;
  Ring &operator=(const Ring &) = delete;

  // Bytes a packet takes in the area (with an identity: 16 more).
  static uint64_t recordSize(size_t srclen, size_t nbytes, bool identified = false);
  // Stores a packet and returns its sequence number. The caller has checked
  // that 1 <= src.size() <= 63 and recordSize() <= dataSize(). A packet with
  // an identity keeps it in its record, so that the window of identities
  // stored is rebuilt when a ring file is opened again.
  uint64_t append(std::string_view src, double time, const char *data, uint32_t nbytes,
                  const PacketIdentity *identity = nullptr);
  // Whether a packet with this identity was stored recently (it is then a
  // repeat, counted, not to be stored); records the identity when not.
  bool repeated(const PacketIdentity &identity);
  const RepeatWindow &repeatWindow() const { return repeats_; }

  bool empty() const { return index_.empty(); }
  // Entries, holes included.
  uint64_t count() const { return index_.size(); }
  uint64_t packetCount() const { return index_.size() - holes_; }
  uint64_t oldestSeq() const { return nextSeq_ - index_.size(); }
  uint64_t nextSeq() const { return nextSeq_; }
  // The newest packet; the ring is not empty.
  uint64_t newestSeq() const { return newest_; }
  bool holds(uint64_t seq) const { return seq >= oldestSeq() && seq < nextSeq_; }
  // The following take a sequence number that holds() accepts.
  bool isHole(uint64_t seq) const { return entry(seq).src == kNoSource; }
  PacketRef packet(uint64_t seq) const;  // not a hole
  // Where the packet's record starts in the area (not a hole).
  uint64_t offsetOf(uint64_t seq) const { return entry(seq).off; }
  double timeOf(uint64_t seq) const { return entry(seq).time; }  // NaN for a hole
  // When the packet was stored, in microseconds since the epoch; 0 when not
  // known (recovered from a ring file, or a hole).
  int64_t arrivalOf(uint64_t seq) const { return entry(seq).arrival; }
  uint32_t sourceOf(uint64_t seq) const { return entry(seq).src; }
  // The next packet of the same source, or kNoSeq.
  uint64_t nextOfSource(uint64_t seq) const { return entry(seq).nextSame; }
  // No packet in block `seq / kTimeBlock` has a time later than this (NaN
  // times aside); -inf when it has none.
  double blockMaxTime(uint64_t seq) const {
    return blockMax_[seq / kTimeBlock - oldestSeq() / kTimeBlock];
  }

  SourceTable &sources() { return sources_; }
  const SourceTable &sources() const { return sources_; }
  uint64_t instance() const { return instance_; }
  uint64_t dataSize() const { return size_; }
  uint32_t maxPacket() const { return maxPacket_; }
  uint64_t usedBytes() const;
  uint64_t dropped() const { return dropped_; }
  // Bytes of the packets stored since the ring was opened.
  uint64_t bytesStored() const { return bytesStored_; }
  bool inFile() const { return fd_ >= 0; }
  // What opening found (records recovered, packets lost and where), for
  // the log: one line each.
  const std::vector<std::string> &openReport() const { return report_; }

  // Ring file: records the oldest record in the header and writes the file
  // out. Called at shutdown; harmless in memory.
  void sync();

 private:
  struct Entry {
    uint64_t off;  // a hole: where the next packet's record starts
    double time;
    uint32_t src;       // kNoSource: a hole
    uint32_t len;       // bytes of the record; 0 for a hole
    uint64_t nextSame;  // the next packet of the same source, or kNoSeq
    int64_t arrival;    // microseconds since the epoch; 0: not known
  };
  Ring() = default;
  const Entry &entry(uint64_t seq) const { return index_[seq - oldestSeq()]; }
  Entry &entry(uint64_t seq) { return index_[seq - oldestSeq()]; }
  bool openMemory(const RingOptions &opt, std::string &err);
  bool openFile(const RingOptions &opt, std::string &err);
  bool createFile(const RingOptions &opt, std::string &err);
  // Reserves the file's `len` bytes on disk (`allocated` of them are
  // already); false with a message naming the file, the bytes and the free
  // space.
  bool claimDisk(uint64_t len, uint64_t allocated, std::string &err);
  bool mapFile(std::string &err);
  bool loadFile(std::string &err);
  // Takes the file's largest-packet size, or records the one asked for in a
  // file that has none yet; false when they differ and -m was given.
  bool loadLimits(const RingOptions &opt, std::string &err);
  void writeLimits();
  void recover();
  void reportRecovery(const RecoveryPlan &plan, bool hadCheckpoint);
  void renewInstance();
  // Appends the index entry of the record at `off` (numbered nextSeq_).
  void indexRecord(uint64_t off, uint64_t len, double time, std::string_view src,
                   int64_t arrival = 0);
  void indexHoles(uint64_t n, uint64_t off);
  void pushEntry(const Entry &e);
  uint64_t makeRoom(uint64_t len);
  void dropOldest();
  void popEntry();
  void writeCheckpoint(uint64_t tailOff, uint64_t tailSeq);

  char *base_ = nullptr;  // the mapping (header and area for a file)
  uint64_t mapLen_ = 0;
  char *area_ = nullptr;    // the packet area
  uint64_t size_ = 0;       // bytes in the area, a multiple of 8
  uint32_t maxPacket_ = 0;  // the largest packet taken
  int fd_ = -1;             // ring file, or -1 in memory
  std::string path_;
  uint64_t instance_ = 0;
  uint64_t head_ = 0;  // where the next record goes
  uint64_t tail_ = 0;  // the oldest record (== head_ when empty)
  uint64_t nextSeq_ = 0;
  uint64_t newest_ = 0;  // the newest packet that is not a hole
  uint64_t holes_ = 0;   // holes in the index
  uint64_t dropped_ = 0;
  uint64_t bytesStored_ = 0;
  uint64_t checkpointGen_ = 0;
  std::deque<Entry> index_;
  std::deque<double> blockMax_;  // per time block, from the oldest entry's block
  SourceTable sources_;
  std::vector<std::string> report_;
  RepeatWindow repeats_;
};

}  // namespace tarnserver
