// Ring files: creating, validating and recovering them, and checkpoints.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>

#include "platform/tarnclient/tarn_wire.h"
#include "tarnserver/crc32c.h"
#include "tarnserver/ring.h"
#include "tarnserver/ring_fault.h"
#include "tarnserver/ring_format.h"
#include "tarnserver/ring_recovery.h"

namespace tarnserver {

using format::Checkpoint;
using format::FileHeader;
using format::RecordHeader;

namespace {

std::string sysError(const std::string &what, const std::string &path) {
  return what + " ring file '" + path + "': " + std::strerror(errno);
}

uint32_t checkpointCrc(const Checkpoint &c) { return crc32c(0, &c, 32); }

const Checkpoint *newestCheckpoint(const FileHeader &h, uint64_t size) {
  const Checkpoint *best = nullptr;
  for (const Checkpoint &c : h.slots) {
    if (plausibleCheckpoint(c, size) && (!best || c.gen > best->gen)) best = &c;
  }
  return best;
}

std::string lossText(const std::string &path, const RecoveryLoss &loss) {
  std::string first = std::to_string(tarnwire::idOfSeq(loss.firstSeq));
  std::string text =
      "ring file '" + path + "': lost " +
      (loss.count == 1
           ? "1 packet (id " + first + ")"
           : std::to_string(loss.count) + " packets (ids " + first + " to " +
                 std::to_string(tarnwire::idOfSeq(loss.firstSeq + loss.count - 1)) + ")");
  if (loss.bytes > 0) {
    return text + ": " + std::to_string(loss.bytes) + " damaged bytes at offset " +
           std::to_string(loss.off) + " of the packet area";
  }
  return text + " that were after offset " + std::to_string(loss.off) + " of the packet area";
}

}  // namespace

bool Ring::openFile(const RingOptions &opt, std::string &err) {
  path_ = opt.path;
  bool created = false;
  fd_ = ::open(path_.c_str(), O_RDWR | O_CLOEXEC);
  if (fd_ < 0 && errno == ENOENT) {
    fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    created = fd_ >= 0;
  }
  if (fd_ < 0) {
    err = sysError("cannot open", path_);
    return false;
  }
  if (flock(fd_, LOCK_EX | LOCK_NB) != 0) {
    err = "ring file '" + path_ + "' is in use by another tarn server";
    return false;
  }
  struct stat st;
  if (fstat(fd_, &st) != 0) {
    err = sysError("cannot examine", path_);
    return false;
  }
  if (st.st_size == 0) {
    if (createFile(opt, err)) return true;
    // Leave nothing half made: a file made here goes, an empty one stays empty.
    if (created)
      unlink(path_.c_str());
    else if (ftruncate(fd_, 0) != 0) {
      err += "; and it could not be emptied again";
    }
    return false;
  }
  if (!loadFile(err) || !loadLimits(opt, err)) return false;
  if (opt.size != 0 && (opt.size & ~(format::kAlign - 1)) != size_) {
    err = "ring file '" + path_ + "' holds a ring of " + std::to_string(size_) +
          " bytes, not the " + std::to_string(opt.size) + " asked for; give no -s or another file";
    return false;
  }
  recover();
  return true;
}

// Makes the filesystem give the file all its `len` bytes now, so that no
// write into the mapping can find the disk full later. posix_fallocate
// reserves the blocks where the filesystem can; where it cannot, the C
// library writes a zero into every block not yet there. Its answer, not a
// guess from the free space, decides (a server run as root may use the
// blocks kept for root); the free space is for the message.
bool Ring::claimDisk(uint64_t len, uint64_t allocated, std::string &err) {
  int rc = posix_fallocate(fd_, 0, static_cast<off_t>(len));
  if (rc == 0) return true;
  struct statvfs vfs {};
  std::string space =
      fstatvfs(fd_, &vfs) == 0
          ? std::to_string(static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize) + " bytes free"
          : "free space unknown";
  uint64_t needed = len > allocated ? len - allocated : 0;
  err = "ring file '" + path_ + "' of " + std::to_string(len) +
        " bytes cannot claim its disk: " + std::to_string(needed) +
        " bytes more are needed, its filesystem has " + space + " (" + std::strerror(rc) +
        (rc == EFBIG ? ": over the file size limit, see ulimit -f" : "") + ")";
  return false;
}

bool Ring::createFile(const RingOptions &opt, std::string &err) {
  size_ = opt.size & ~(format::kAlign - 1);
  mapLen_ = format::kFileHeaderSize + size_;
  if (!claimDisk(mapLen_, 0, err)) {
    err += "; give a smaller -s or free some space";
    return false;
  }
  if (!mapFile(err)) return false;
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
  report_.push_back("created ring file '" + path_ + "' of " + std::to_string(size_) + " bytes");
  return true;
}

bool Ring::mapFile(std::string &err) {
  void *p = mmap(nullptr, mapLen_, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
  if (p == MAP_FAILED) {
    err = sysError("cannot map", path_);
    return false;
  }
  base_ = static_cast<char *>(p);
  area_ = base_ + format::kFileHeaderSize;
  watchRingMapping(base_, mapLen_, path_);
  return true;
}

bool Ring::loadFile(std::string &err) {
  FileHeader h{};
  if (pread(fd_, &h, sizeof h, 0) != static_cast<ssize_t>(sizeof h) ||
      std::memcmp(h.magic, format::kFileMagic, 8) != 0) {
    err = "'" + path_ + "' is not a tarn ring file";
    return false;
  }
  if ((h.version != format::kFileVersion && h.version != format::kPlainFileVersion) ||
      h.headerSize != format::kFileHeaderSize || h.crc != crc32c(0, &h, 32) || h.dataSize == 0 ||
      h.dataSize % format::kAlign != 0) {
    err = "ring file '" + path_ + "' has a damaged or unknown header";
    return false;
  }
  struct stat st;
  if (fstat(fd_, &st) != 0) {
    err = sysError("cannot examine", path_);
    return false;
  }
  const uint64_t length = static_cast<uint64_t>(st.st_size), whole = h.headerSize + h.dataSize;
  if (length > whole) {
    err = "ring file '" + path_ + "' is " + std::to_string(length) +
          " bytes long, its header says " + std::to_string(whole) +
          ": what follows is not the ring's; 'truncate -s " + std::to_string(whole) + " " +
          path_ + "' keeps the ring, or move the file away to start a new one";
    return false;
  }
  size_ = h.dataSize;
  instance_ = h.instance;
  mapLen_ = whole;
  // A file with holes (made by a server that did not claim the disk) is
  // filled out now, or refused while nothing has been written to it. A file
  // cut short gets its missing part back as zeros, where recovery finds no
  // record: what it held there is counted lost.
  uint64_t allocated = static_cast<uint64_t>(st.st_blocks) * 512;
  if (allocated < mapLen_ && !claimDisk(mapLen_, allocated, err)) {
    err += "; free some space or move the file";
    return false;
  }
  if (length < whole) {
    report_.push_back("ring file '" + path_ + "' was cut short to " + std::to_string(length) +
                      " of its " + std::to_string(whole) +
                      " bytes: made whole again; the packets it held in the missing part are "
                      "lost");
  }
  if (!mapFile(err)) return false;
  if (h.version == format::kPlainFileVersion) {
    // From now on it may hold identified records: servers that know only
    // the plain records must not open it.
    h.version = format::kFileVersion;
    h.crc = crc32c(0, &h, 32);
    std::memcpy(base_, &h, 40);
    report_.push_back("ring file '" + path_ + "' taken from format version " +
                      std::to_string(format::kPlainFileVersion) + " to " +
                      std::to_string(format::kFileVersion));
  }
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
  if (limits.crc != crc32c(0, &limits.maxPacket, sizeof limits.maxPacket) ||
      limits.maxPacket == 0) {
    err = "ring file '" + path_ + "' has a damaged header (its largest-packet size)";
    return false;
  }
  if (opt.maxPacketGiven && opt.maxPacket != limits.maxPacket) {
    err = "ring file '" + path_ + "' takes packets of up to " + std::to_string(limits.maxPacket) +
          " bytes, not the " + std::to_string(opt.maxPacket) +
          " asked for; give no -m or another file";
    return false;
  }
  maxPacket_ = limits.maxPacket;
  return true;
}

void Ring::writeLimits() {
  format::Limits limits{maxPacket_, crc32c(0, &maxPacket_, sizeof maxPacket_)};
  std::memcpy(base_ + format::kLimitsOffset, &limits, sizeof limits);
}

// Rebuilds the index from the records of the latest lap (see
// ring_recovery.h); numbers lost between them stay taken, as holes.
void Ring::recover() {
  FileHeader h;
  std::memcpy(&h, base_, sizeof h);
  const Checkpoint *best = newestCheckpoint(h, size_);
  checkpointGen_ = best ? best->gen : 0;
  RecoveryPlan plan = planRecovery(area_, size_, static_cast<uint32_t>(instance_), best);
  if (!plan.known) renewInstance();
  tail_ = head_ = best ? best->tailOff : 0;
  nextSeq_ = plan.records.empty() ? plan.nextSeq : plan.records.front().seq;
  for (const RecoveredRecord &r : plan.records) {
    RecordHeader rh;
    std::memcpy(&rh, area_ + r.off, sizeof rh);
    indexHoles(r.seq - nextSeq_, r.off);
    const bool identified = rh.kind == format::kIdentifiedKind;
    if (identified) {  // the window of identities is rebuilt in storing order
      format::RecordIdentity id;
      std::memcpy(&id, area_ + r.off + sizeof rh, sizeof id);
      repeats_.seen(id.origin, id.sequence);
    }
    uint64_t len = recordSize(rh.srclen, rh.nbytes, identified);
    indexRecord(r.off, len, rh.time,
                std::string_view(area_ + r.off + format::headerBytes(rh.kind), rh.srclen));
    head_ = (r.off + len) % size_;
  }
  if (index_.empty())
    nextSeq_ = plan.nextSeq;
  else
    indexHoles(plan.nextSeq - nextSeq_, head_);
  if (!index_.empty()) tail_ = index_.front().off;
  reportRecovery(plan, best != nullptr);
  writeCheckpoint(index_.empty() ? head_ : tail_, oldestSeq());
}

void Ring::reportRecovery(const RecoveryPlan &plan, bool hadCheckpoint) {
  uint64_t lost = 0;
  for (const RecoveryLoss &l : plan.losses) lost += l.count;
  std::string first =
      "opened ring file '" + path_ + "': " + std::to_string(packetCount()) + " packets recovered";
  if (lost > 0) {
    size_t places = plan.losses.size();
    first += ", " + std::to_string(lost) + " lost in " + std::to_string(places) + " damaged place" +
             (places > 1 ? "s" : "");
  }
  if (!plan.known)
    first += " (no valid checkpoint and no valid record: starting empty under a new ring instance)";
  else if (!hadCheckpoint)
    first += " (no valid checkpoint: rebuilt from the records)";
  report_.push_back(first);
  constexpr size_t kListed = 10;
  for (size_t i = 0; i < plan.losses.size() && i < kListed; ++i)
    report_.push_back(lossText(path_, plan.losses[i]));
  if (plan.losses.size() > kListed) {
    report_.push_back("ring file '" + path_ + "': " + std::to_string(plan.losses.size() - kListed) +
                      " more damaged places not listed");
  }
}

// A ring whose used numbers cannot be known starts again as another ring,
// so that readers never take a new packet for one they had.
void Ring::renewInstance() {
  std::random_device rd;
  instance_ = (static_cast<uint64_t>(rd()) << 32) ^ rd();
  FileHeader h;
  std::memcpy(&h, base_, sizeof h);
  h.instance = instance_;
  h.crc = crc32c(0, &h, 32);
  std::memcpy(base_, &h, 40);
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
