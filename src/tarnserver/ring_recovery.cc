#include "tarnserver/ring_recovery.h"

#include <algorithm>
#include <cstring>

#include "tarnserver/crc32c.h"

namespace tarnserver {

using format::Checkpoint;
using format::RecordHeader;

namespace {

struct Found {
  uint64_t off;
  uint64_t seq;
  uint64_t len;
};

// Bytes from offset `from` forward to offset `to`, around the end of the area.
uint64_t forward(uint64_t from, uint64_t to, uint64_t size) {
  return (to + size - from % size) % size;
}

// A record header that looks right: kind, name length, record inside the area.
bool plausibleHeader(const char *area, uint64_t size, uint64_t off, RecordHeader &h,
                     uint64_t &len) {
  if (off + sizeof h > size) return false;
  std::memcpy(&h, area + off, sizeof h);
  if ((h.kind != format::kRecordKind && h.kind != format::kIdentifiedKind) || h.srclen == 0 ||
      h.srclen > 63 || h.nbytes > size)
    return false;
  len = format::align(format::headerBytes(h.kind) + h.srclen + h.nbytes);
  return off + len <= size;
}

// Every valid record of the area into `good`, and the numbers of records
// whose header looks right but whose checksum fails into `damaged`.
void scanArea(const char *area, uint64_t size, uint32_t seed, std::vector<Found> &good,
              std::vector<Found> &damaged) {
  uint64_t off = 0;
  while (off + sizeof(RecordHeader) <= size) {
    uint32_t kind;
    std::memcpy(&kind, area + off, 4);
    RecordHeader h;
    uint64_t len;
    if ((kind == format::kRecordKind || kind == format::kIdentifiedKind) &&
        plausibleHeader(area, size, off, h, len)) {
      if (validRecord(area, size, seed, off, h, len)) {
        good.push_back(Found{off, h.seq, len});
        off += len;
        continue;
      }
      damaged.push_back(Found{off, h.seq, len});
    }
    off += format::kAlign;
  }
}

// From the newest record back: each older record must end before the
// oldest one kept so far starts, all within one lap, and, unless a
// checkpoint bounds the numbers (`bounded`), with room between them for
// the numbers missing there. A checkpoint's oldest number already leaves
// out every record of an older lap, and numbers may be missing without
// bytes: a record torn by a kill, or lost at the newest end, keeps its
// number taken (a hole) while the next record is written where it was.
std::vector<Found> latestLap(std::vector<Found> good, uint64_t size, bool bounded) {
  std::sort(good.begin(), good.end(), [](const Found &a, const Found &b) { return a.seq > b.seq; });
  std::vector<Found> lap;
  uint64_t span = 0;
  for (const Found &r : good) {
    if (lap.empty()) {
      lap.push_back(r);
      span = r.len;
      continue;
    }
    const Found &low = lap.back();
    if (r.seq == low.seq) continue;
    uint64_t gap = forward(r.off + r.len, low.off, size);
    if (span + r.len + gap > size) break;
    if (!bounded && (low.seq - r.seq - 1) > gap / kMinRecordSize) break;
    span += r.len + gap;
    lap.push_back(r);
  }
  std::reverse(lap.begin(), lap.end());
  return lap;
}

void addLoss(RecoveryPlan &plan, uint64_t first, uint64_t end, uint64_t off, uint64_t bytes) {
  if (end > first) plan.losses.push_back(RecoveryLoss{first, end - first, off, bytes});
}

// The first number certainly unused: past the newest record, the
// checkpoint's next number, and any damaged record that may be newer.
uint64_t firstUnused(const RecoveryPlan &plan, const std::vector<Found> &damaged,
                     const Checkpoint *best, uint64_t size) {
  uint64_t next = best ? best->nextSeq : 0;
  if (plan.records.empty() && !best) return next;
  uint64_t floor = plan.records.empty() ? best->tailSeq : plan.records.back().seq + 1;
  next = std::max(next, floor);
  uint64_t ceiling = floor + size / kMinRecordSize;
  for (const Found &d : damaged) {
    if (d.seq >= floor && d.seq <= ceiling) next = std::max(next, d.seq + 1);
  }
  return next;
}

void findLosses(RecoveryPlan &plan, const std::vector<Found> &lap, const Checkpoint *best,
                uint64_t size) {
  if (lap.empty()) {
    if (best) addLoss(plan, best->tailSeq, plan.nextSeq, best->tailOff, 0);
    return;
  }
  if (best)
    addLoss(plan, best->tailSeq, lap.front().seq, best->tailOff,
            forward(best->tailOff, lap.front().off, size));
  for (size_t i = 1; i < lap.size(); ++i) {
    const Found &a = lap[i - 1], &b = lap[i];
    uint64_t end = (a.off + a.len) % size;
    addLoss(plan, a.seq + 1, b.seq, end, forward(end, b.off, size));
  }
  const Found &last = lap.back();
  addLoss(plan, last.seq + 1, plan.nextSeq, (last.off + last.len) % size, 0);
}

}  // namespace

bool validRecord(const char *area, uint64_t size, uint32_t seed, uint64_t off, RecordHeader &h,
                 uint64_t &len) {
  if (!plausibleHeader(area, size, off, h, len)) return false;
  uint32_t crc =
      crc32c(seed, area + off + 8, format::headerBytes(h.kind) - 8 + h.srclen + h.nbytes);
  return crc == h.crc;
}

bool plausibleCheckpoint(const Checkpoint &c, uint64_t size) {
  return c.crc == crc32c(0, &c, 32) && c.tailOff < size && c.tailOff % format::kAlign == 0 &&
         c.nextSeq >= c.tailSeq && c.nextSeq - c.tailSeq <= size / kMinRecordSize + 1;
}

RecoveryPlan planRecovery(const char *area, uint64_t size, uint32_t seed, const Checkpoint *best) {
  std::vector<Found> good, damaged;
  scanArea(area, size, seed, good, damaged);
  if (best) {
    uint64_t lo = best->tailSeq, hi = best->nextSeq + size / kMinRecordSize;
    std::erase_if(good, [&](const Found &r) { return r.seq < lo || r.seq > hi; });
  }
  std::vector<Found> lap = latestLap(std::move(good), size, best != nullptr);
  RecoveryPlan plan;
  for (const Found &r : lap) plan.records.push_back(RecoveredRecord{r.off, r.seq});
  plan.known = best || !lap.empty();
  plan.nextSeq = firstUnused(plan, damaged, best, size);
  findLosses(plan, lap, best, size);
  return plan;
}

}  // namespace tarnserver
