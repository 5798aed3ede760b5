// Finding a ring file's packets after a restart, whatever happened to it:
// which records of the packet area form the latest lap, what was lost
// between them, and the first packet number that is certainly unused.
//
// The whole area is scanned for valid records (kind, lengths, CRC-32C), so
// a damaged record costs only its own packets: the next valid record is
// found wherever it starts. The records kept are the newest one and, going
// back, every older one that lies before it in the area within one lap,
// with no more missing numbers between two of them than the bytes between
// them could have held (that last only without a checkpoint). A valid
// checkpoint bounds the numbers (none below its oldest, none implausibly
// far past its next); without one the records alone decide.
//
// Pure functions of the bytes given: thread-safe, nothing is written.
#pragma once

#include <cstdint>
#include <vector>

#include "tarnserver/ring_format.h"

namespace tarnserver {

struct RecoveredRecord {
  uint64_t off = 0;  // in the area
  uint64_t seq = 0;
};

// Packets known to have been in the ring that no valid record holds any
// more: numbers firstSeq .. firstSeq + count - 1, in `bytes` bytes of the
// area from offset `off` (0 bytes when the place is unknown).
struct RecoveryLoss {
  uint64_t firstSeq = 0;
  uint64_t count = 0;
  uint64_t off = 0;
  uint64_t bytes = 0;
};

struct RecoveryPlan {
  std::vector<RecoveredRecord> records;  // by number, oldest first
  std::vector<RecoveryLoss> losses;      // by number
  uint64_t nextSeq = 0;                  // above every number the file shows to have been used
  bool known = false;                    // false: neither a checkpoint nor a record says which
                                         // numbers were used
};

// The smallest record: a header and a one-byte source name.
constexpr uint64_t kMinRecordSize = format::align(sizeof(format::RecordHeader) + 1);

// `best` is the newest valid checkpoint, or null when both are damaged.
RecoveryPlan planRecovery(const char *area, uint64_t size, uint32_t crcSeed,
                          const format::Checkpoint *best);

// Whether the record at `off` is whole and valid (its length into `len`).
bool validRecord(const char *area, uint64_t size, uint32_t crcSeed, uint64_t off,
                 format::RecordHeader &h, uint64_t &len);

// Whether a checkpoint's checksum and figures hold for an area of `size` bytes.
bool plausibleCheckpoint(const format::Checkpoint &c, uint64_t size);

}  // namespace tarnserver
