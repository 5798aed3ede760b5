// Ring files: creating, validating and recovering them, and checkpoints.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>

#include "tarnserver/crc32c.h"
#include "tarnserver/ring.h"
#include "tarnserver/ring_format.h"

namespace tarnserver {

using format::Checkpoint;
using format::FileHeader;
using format::RecordHeader;

namespace {

std::string sysError(const std::string &what, const std::string &path) {
  return what + " ring file '" + path + "': " + std::strerror(errno);
}

uint32_t checkpointCrc(const Checkpoint &c) { return crc32c(0, &c, 32); }

}  // namespace

bool Ring::openFile(const RingOptions &opt, std::string &err) {
  path_ = opt.path;
  fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd_ < 0) { err = sysError("cannot open", path_); return false; }
  if (flock(fd_, LOCK_EX | LOCK_NB) != 0) {
    err = "ring file '" + path_ + "' is in use by another tarn server";
    return false;
  }
  struct stat st;
  if (fstat(fd_, &st) != 0) { err = sysError("cannot examine", path_); return false; }
  if (st.st_size == 0) return createFile(opt, err);
  if (!loadFile(err) || !loadLimits(opt, err)) return false;
  if (opt.size != 0 && (opt.size & ~(format::kAlign - 1)) != size_) {
    err = "ring file '" + path_ + "' holds a ring of " + std::to_string(size_) +
          " bytes, not the " + std::to_string(opt.size) + " asked for; give no -s or another file";
    return false;
  }
  recover();
  return true;
}

bool Ring::createFile(const RingOptions &opt, std::string &err) {
  size_ = opt.size & ~(format::kAlign - 1);
  mapLen_ = format::kFileHeaderSize + size_;
  if (ftruncate(fd_, static_cast<off_t>(mapLen_)) != 0) { err = sysError("cannot size", path_); return false; }
  void *p = mmap(nullptr, mapLen_, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
  if (p == MAP_FAILED) { err = sysError("cannot map", path_); return false; }
  base_ = static_cast<char *>(p);
  area_ = base_ + format::kFileHeaderSize;
  std::random_device rd;
  instance_ = (static_cast<uint64_t>(rd()) << 32) ^ rd();
  FileHeader h{};
  std::memcpy(h.magic, format::kFileMagic, 8);
  h.version = format::kFileVersion;
  h.headerSize = format::kFileHeaderSize;
  h.dataSize = size_;
  h.instance = instance_;
  h.crc = crc32c(0, &h, 32);
  std::memcpy(base_, &h, sizeof h);
  nextSeq_ = opt.firstSeq;
  maxPacket_ = opt.maxPacket;
  writeLimits();
  writeCheckpoint(0, nextSeq_);
  writeCheckpoint(0, nextSeq_);  // both slots valid from the start
  report_ = "created ring file '" + path_ + "' of " + std::to_string(size_) + " bytes";
  return true;
}

bool Ring::loadFile(std::string &err) {
  FileHeader h{};
  if (pread(fd_, &h, sizeof h, 0) != static_cast<ssize_t>(sizeof h) ||
      std::memcmp(h.magic, format::kFileMagic, 8) != 0) {
    err = "'" + path_ + "' is not a tarn ring file";
    return false;
  }
  if (h.version != format::kFileVersion || h.headerSize != format::kFileHeaderSize ||
      h.crc != crc32c(0, &h, 32) || h.dataSize == 0 || h.dataSize % format::kAlign != 0) {
    err = "ring file '" + path_ + "' has a damaged or unknown header";
    return false;
  }
  struct stat st;
  fstat(fd_, &st);
  if (static_cast<uint64_t>(st.st_size) != h.headerSize + h.dataSize) {
    err = "ring file '" + path_ + "' is " + std::to_string(st.st_size) + " bytes long, its header says " +
          std::to_string(h.headerSize + h.dataSize);
    return false;
  }
  size_ = h.dataSize;
  instance_ = h.instance;
  mapLen_ = h.headerSize + h.dataSize;
  void *p = mmap(nullptr, mapLen_, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
  if (p == MAP_FAILED) { err = sysError("cannot map", path_); return false; }
  base_ = static_cast<char *>(p);
  area_ = base_ + format::kFileHeaderSize;
  return true;
}

bool Ring::loadLimits(const RingOptions &opt, std::string &err) {
  format::Limits limits;
  std::memcpy(&limits, base_ + format::kLimitsOffset, sizeof limits);
  if (limits.maxPacket == 0 && limits.crc == 0) {
    maxPacket_ = opt.maxPacket;  // made before the size was kept: keep it from now on
    writeLimits();
    return true;
  }
  if (limits.crc != crc32c(0, &limits.maxPacket, sizeof limits.maxPacket) || limits.maxPacket == 0) {
    err = "ring file '" + path_ + "' has a damaged header (its largest-packet size)";
    return false;
  }
  if (opt.maxPacketGiven && opt.maxPacket != limits.maxPacket) {
    err = "ring file '" + path_ + "' takes packets of up to " + std::to_string(limits.maxPacket) +
          " bytes, not the " + std::to_string(opt.maxPacket) + " asked for; give no -m or another file";
    return false;
  }
  maxPacket_ = limits.maxPacket;
  return true;
}

void Ring::writeLimits() {
  format::Limits limits{maxPacket_, crc32c(0, &maxPacket_, sizeof maxPacket_)};
  std::memcpy(base_ + format::kLimitsOffset, &limits, sizeof limits);
}

// Reads the record at `off` if it is whole, valid and numbered `seq`.
bool Ring::recordAt(uint64_t off, uint64_t seq, Entry &e, std::string_view &src) const {
  if (off + sizeof(RecordHeader) > size_) return false;
  RecordHeader h;
  std::memcpy(&h, area_ + off, sizeof h);
  if (h.kind != format::kRecordKind || h.seq != seq || h.srclen == 0 || h.srclen > 63) return false;
  uint64_t len = recordSize(h.srclen, h.nbytes);
  if (h.nbytes > size_ || off + len > size_) return false;
  uint32_t crc = crc32c(static_cast<uint32_t>(instance_), area_ + off + 8, sizeof h - 8 + h.srclen + h.nbytes);
  if (crc != h.crc) return false;
  e = Entry{off, h.time, 0, static_cast<uint32_t>(len)};
  src = std::string_view(area_ + off + sizeof h, h.srclen);
  return true;
}

// Rebuilds the index from the newest valid checkpoint: the chain of valid,
// consecutively numbered records that starts at the oldest record.
void Ring::recover() {
  FileHeader h;
  std::memcpy(&h, base_, sizeof h);
  const Checkpoint *best = nullptr;
  for (const Checkpoint &c : h.slots) {
    if (c.crc == checkpointCrc(c) && c.tailOff < size_ && (!best || c.gen > best->gen)) best = &c;
  }
  uint64_t off = best ? best->tailOff & ~(format::kAlign - 1) : 0;
  uint64_t seq = best ? best->tailSeq : 0;
  checkpointGen_ = best ? best->gen : 0;
  uint64_t walked = 0;
  tail_ = head_ = off;
  nextSeq_ = seq;
  while (walked < size_) {
    if (off == size_) off = 0;
    uint32_t kind = 0;
    std::memcpy(&kind, area_ + off, 4);
    if (kind == format::kPadKind && !index_.empty()) {
      walked += size_ - off;
      off = 0;
      continue;
    }
    Entry e;
    std::string_view src;
    if (!recordAt(off, seq, e, src)) break;
    e.src = sources_.add(src, e.time);
    index_.push_back(e);
    off += e.len;
    walked += e.len;
    head_ = off;
    nextSeq_ = ++seq;
  }
  if (best && best->nextSeq > nextSeq_ && index_.empty()) nextSeq_ = best->nextSeq;
  if (!index_.empty()) tail_ = index_.front().off;
  report_ = "opened ring file '" + path_ + "': " + std::to_string(index_.size()) + " packets recovered";
  if (!best) report_ += " (no valid checkpoint: the file was damaged; starting empty)";
  writeCheckpoint(index_.empty() ? head_ : tail_, oldestSeq());
}

void Ring::writeCheckpoint(uint64_t tailOff, uint64_t tailSeq) {
  Checkpoint c{};
  c.gen = ++checkpointGen_;
  c.tailOff = tailOff;
  c.tailSeq = tailSeq;
  c.nextSeq = nextSeq_;
  c.crc = checkpointCrc(c);
  size_t slot = c.gen % 2;
  std::memcpy(base_ + offsetof(FileHeader, slots) + slot * sizeof(Checkpoint), &c, sizeof c);
}

void Ring::sync() {
  if (fd_ < 0 || !base_) return;
  writeCheckpoint(index_.empty() ? head_ : tail_, oldestSeq());
  msync(base_, mapLen_, MS_SYNC);
}

}  // namespace tarnserver
