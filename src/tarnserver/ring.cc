#include "tarnserver/ring.h"

#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <limits>
#include <random>

#include "tarnserver/crc32c.h"
#include "tarnserver/ring_fault.h"
#include "tarnserver/ring_format.h"

namespace tarnserver {

using format::RecordHeader;

std::unique_ptr<Ring> Ring::open(const RingOptions &opt, std::string &err) {
  std::unique_ptr<Ring> ring(new Ring());
  bool ok = opt.path.empty() ? ring->openMemory(opt, err) : ring->openFile(opt, err);
  if (!ok) return nullptr;
  return ring;
}

Ring::~Ring() {
  sync();
  if (fd_ >= 0 && base_) unwatchRingMapping(base_);
  if (base_) munmap(base_, mapLen_);
  if (fd_ >= 0) ::close(fd_);
}

bool Ring::openMemory(const RingOptions &opt, std::string &err) {
  size_ = opt.size & ~(format::kAlign - 1);
  void *p = mmap(nullptr, size_, PROT_READ | PROT_WRITE,
                 MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (p == MAP_FAILED) {
    err =
        "cannot reserve " + std::to_string(size_) + " bytes for the ring: " + std::strerror(errno);
    return false;
  }
  base_ = area_ = static_cast<char *>(p);
  mapLen_ = size_;
  maxPacket_ = opt.maxPacket;
  std::random_device rd;
  instance_ = (static_cast<uint64_t>(rd()) << 32) ^ rd();
  nextSeq_ = opt.firstSeq;
  return true;
}

uint64_t Ring::recordSize(size_t srclen, size_t nbytes, bool identified) {
  return format::align(
      format::headerBytes(identified ? format::kIdentifiedKind : format::kRecordKind) + srclen +
      nbytes);
}

bool Ring::repeated(const PacketIdentity &identity) {
  if (!repeats_.seen(identity.origin, identity.sequence)) return false;
  repeats_.countRepeat();
  return true;
}

uint64_t Ring::usedBytes() const {
  if (index_.empty()) return 0;
  return head_ > tail_ ? head_ - tail_ : size_ - tail_ + head_;
}

PacketRef Ring::packet(uint64_t seq) const {
  const Entry &e = entry(seq);
  RecordHeader h;
  std::memcpy(&h, area_ + e.off, sizeof h);
  const char *name = area_ + e.off + format::headerBytes(h.kind);
  PacketRef p;
  p.seq = seq;
  p.time = h.time;
  p.src = std::string_view(name, h.srclen);
  p.data = name + h.srclen;
  p.nbytes = h.nbytes;
  return p;
}

void Ring::pushEntry(const Entry &e) {
  if (index_.empty()) {
    blockMax_.assign(1, -std::numeric_limits<double>::infinity());
  } else if (nextSeq_ % kTimeBlock == 0) {
    blockMax_.push_back(-std::numeric_limits<double>::infinity());
  }
  if (e.time > blockMax_.back()) blockMax_.back() = e.time;
  index_.push_back(e);
  ++nextSeq_;
}

void Ring::popEntry() {
  uint64_t seq = oldestSeq();
  index_.pop_front();
  if (index_.empty())
    blockMax_.clear();
  else if ((seq + 1) % kTimeBlock == 0)
    blockMax_.pop_front();
}

void Ring::indexRecord(uint64_t off, uint64_t len, double time, std::string_view src,
                       int64_t arrival) {
  uint64_t previous;
  uint32_t idx = sources_.add(src, time, nextSeq_, previous);
  if (previous != kNoSeq) entry(previous).nextSame = nextSeq_;
  newest_ = nextSeq_;
  pushEntry(Entry{off, time, idx, static_cast<uint32_t>(len), kNoSeq, arrival});
}

void Ring::indexHoles(uint64_t n, uint64_t off) {
  for (uint64_t i = 0; i < n; ++i) {
    pushEntry(Entry{off, std::numeric_limits<double>::quiet_NaN(), kNoSource, 0, kNoSeq, 0});
  }
  holes_ += n;
}

// Drops the oldest packet and the holes after it, so that the oldest entry
// is always a packet.
void Ring::dropOldest() {
  const Entry &e = index_.front();
  sources_.release(e.src, e.nextSame);
  popEntry();
  ++dropped_;
  while (!index_.empty() && index_.front().src == kNoSource) {
    popEntry();
    --holes_;
  }
  tail_ = index_.empty() ? head_ : index_.front().off;
}

// Finds room for a record of `len` bytes, dropping the oldest records as
// needed, and returns its offset. A record never spans the end of the area:
// when it does not fit there a pad mark sends readers back to offset 0.
uint64_t Ring::makeRoom(uint64_t len) {
  bool wasEmpty = index_.empty();
  uint64_t firstDrop = dropped_;
  uint64_t pos;
  for (;;) {
    if (index_.empty()) {
      pos = 0;
      break;
    }
    if (head_ > tail_) {  // live records in [tail, head)
      if (size_ - head_ >= len) {
        pos = head_;
        break;
      }
      if (tail_ >= len) {
        if (head_ < size_) {
          uint32_t pad = format::kPadKind;
          std::memcpy(area_ + head_, &pad, 4);
        }
        pos = 0;
        break;
      }
    } else if (tail_ - head_ >= len) {  // wrapped: free space is [head, tail)
      pos = head_;
      break;
    }
    dropOldest();
  }
  if (fd_ >= 0 && (wasEmpty || dropped_ != firstDrop)) {
    if (index_.empty())
      writeCheckpoint(pos, nextSeq_);
    else
      writeCheckpoint(index_.front().off, oldestSeq());
  }
  return pos;
}

uint64_t Ring::append(std::string_view src, double time, const char *data, uint32_t nbytes,
                      const PacketIdentity *identity) {
  uint64_t len = recordSize(src.size(), nbytes, identity != nullptr);
  uint64_t pos = makeRoom(len);
  char *rec = area_ + pos;
  RecordHeader h{};
  h.kind = identity ? format::kIdentifiedKind : format::kRecordKind;
  h.seq = nextSeq_;
  h.time = time;
  h.nbytes = nbytes;
  h.srclen = static_cast<uint8_t>(src.size());
  std::memcpy(rec, &h, sizeof h);
  if (identity) {
    format::RecordIdentity id{identity->origin, identity->sequence};
    std::memcpy(rec + sizeof h, &id, sizeof id);
  }
  const uint64_t head = format::headerBytes(h.kind);
  std::memcpy(rec + head, src.data(), src.size());
  if (nbytes > 0) std::memcpy(rec + head + src.size(), data, nbytes);
  if (fd_ >= 0) {
    uint32_t crc =
        crc32c(static_cast<uint32_t>(instance_), rec + 8, head - 8 + src.size() + nbytes);
    std::memcpy(rec + 4, &crc, 4);
  }
  if (index_.empty()) tail_ = pos;
  head_ = pos + len;
  uint64_t seq = nextSeq_;
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  indexRecord(pos, len, time, src,
              std::chrono::duration_cast<std::chrono::microseconds>(now).count());
  bytesStored_ += nbytes;
  // The next number, kept current in the header: should the area be lost
  // (a file cut short), no number it used is given out again and the count
  // of what was lost there is exact.
  if (fd_ >= 0) writeCheckpoint(tail_, oldestSeq());
  return seq;
}

}  // namespace tarnserver
