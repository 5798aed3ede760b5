// The byte layout of ring records and of the ring file header, shared by
// ring.cc and ring_file.cc. docs/tarn-ring-file.md describes it for people.
// All fields are little-endian; offsets are relative to the packet area.
#pragma once

#include <cstdint>

namespace tarnserver::format {

constexpr uint32_t kRecordKind = 0x52435254;  // "TRCR"
constexpr uint32_t kPadKind = 0x44415054;     // "TPAD": the rest of the area is unused
// A record whose header is followed by the packet's identity (RecordIdentity)
// before the source name: a put that said which packet it is.
constexpr uint32_t kIdentifiedKind = 0x49435254;  // "TRCI"
constexpr uint64_t kAlign = 8;
constexpr uint64_t kFileHeaderSize = 4096;
constexpr char kFileMagic[8] = {'T', 'A', 'R', 'N', 'R', 'I', 'N', 'G'};
// Version 2 files may hold identified records; version 1 files are opened
// too (their records have no identity) and marked version 2 then, so that a
// server that knows only version 1 refuses them rather than taking the new
// records for damage.
constexpr uint32_t kFileVersion = 2;
constexpr uint32_t kPlainFileVersion = 1;

struct RecordHeader {  // 32 bytes, then the source name, then the packet bytes
  uint32_t kind;       // kRecordKind
  uint32_t crc;        // CRC-32C (seed: low half of the instance) of everything after it
  uint64_t seq;
  double time;
  uint32_t nbytes;
  uint8_t srclen;
  uint8_t reserved[3];
};
static_assert(sizeof(RecordHeader) == 32);

struct RecordIdentity {  // after the header of a kIdentifiedKind record
  uint64_t origin;
  uint64_t sequence;
};
static_assert(sizeof(RecordIdentity) == 16);

// Bytes from the start of a record of this kind to its source name.
constexpr uint64_t headerBytes(uint32_t kind) {
  return sizeof(RecordHeader) + (kind == kIdentifiedKind ? sizeof(RecordIdentity) : 0);
}

struct Checkpoint {  // names the oldest record; two slots, the valid one
  uint64_t gen;      // with the higher generation wins
  uint64_t tailOff;
  uint64_t tailSeq;
  uint64_t nextSeq;  // the next packet number when this was written
  uint32_t crc;      // CRC-32C of the 32 bytes above
  uint32_t reserved;
};
static_assert(sizeof(Checkpoint) == 40);

struct FileHeader {
  char magic[8];
  uint32_t version;
  uint32_t headerSize;  // kFileHeaderSize: the area starts there
  uint64_t dataSize;
  uint64_t instance;  // chosen at random when the file is made
  uint32_t crc;       // CRC-32C of the 32 bytes above
  uint32_t reserved;
  Checkpoint slots[2];  // at offset 40
};

// At kLimitsOffset of a ring file: the largest packet the server takes for
// this ring, so that a restart without -m keeps it. Files made before it was
// kept hold zeros there.
struct Limits {
  uint32_t maxPacket;
  uint32_t crc;  // CRC-32C of maxPacket
};
constexpr uint64_t kLimitsOffset = 128;
static_assert(kLimitsOffset >= sizeof(FileHeader) &&
              kLimitsOffset + sizeof(Limits) <= kFileHeaderSize);

constexpr uint64_t align(uint64_t n) { return (n + kAlign - 1) & ~(kAlign - 1); }

}  // namespace tarnserver::format
