// Into an SDS archive: a tarn server's backlog of 512-byte miniSEED records
// (ten streams) written by the relay into day files, each record synced to
// disk before it counts as written (SdsDestination: a sync at the latest
// every 4096 records or 0.25 s). Timed from the relay's start until the
// archive holds every record; the readers' check_unstuff decodes every
// record (its Steim frames) or, in the -nocheck case, does not.
#include <ftw.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <ctime>

#include "bench_case_support.h"
#include "bench_cases.h"
#include "mseed_samples.h"
#include "platform/mseed/mseed_record.h"

namespace relaybench {

namespace {

constexpr int kStreams = 10;
constexpr size_t kRecordBytes = 512;
const double kBaseTime = 1796601600.0;  // 2026-12-07 00:00:00 UTC
const char *const kStartTime = "2000-01-01";

void put16(std::string &r, size_t at, unsigned v) {
  r[at] = static_cast<char>(v >> 8);
  r[at + 1] = static_cast<char>(v & 0xff);
}

// The record with its start time set to `time` (its header's BTime, which
// libmseed packs big-endian).
std::string startingAt(std::string record, double time) {
  time_t seconds = static_cast<time_t>(std::floor(time));
  struct tm t {};
  gmtime_r(&seconds, &t);
  put16(record, 20, static_cast<unsigned>(t.tm_year + 1900));
  put16(record, 22, static_cast<unsigned>(t.tm_yday + 1));
  record[24] = static_cast<char>(t.tm_hour);
  record[25] = static_cast<char>(t.tm_min);
  record[26] = static_cast<char>(t.tm_sec);
  record[27] = 0;
  put16(record, 28, static_cast<unsigned>(std::lround((time - std::floor(time)) * 10000)) % 10000);
  return record;
}

std::atomic<long> g_archived{0};

int countFile(const char *, const struct stat *st, int type, struct FTW *) {
  if (type == FTW_F) g_archived += st->st_size;
  return 0;
}

long archivedRecords(const std::string &root) {
  g_archived = 0;
  nftw(root.c_str(), countFile, 16, FTW_PHYS);
  return g_archived / static_cast<long>(kRecordBytes);
}

}  // namespace

bool fillMseedSource(const std::string &tarn, long count, long &put, std::string &why,
                     Ledger *expected) {
  std::string templates[kStreams];
  double span[kStreams];
  for (int k = 0; k < kStreams; ++k) {
    mseedtest::Stream s;
    s.station = "BENCH";
    s.channel = "HH" + std::to_string(k);
    s.start = kBaseTime;
    s.samples = mseedtest::sine(2000, 2000 + 100 * k);
    templates[k] = mseedtest::pack(s).at(0);
    span[k] = static_cast<double>(((unsigned char)templates[k][30] << 8) |
                                  (unsigned char)templates[k][31]) /
              s.rate;
  }
  int fd = openForPuts(tarn, why);
  if (fd < 0) return false;
  bool ok = true;
  for (long i = 0; i < count && ok; ++i) {
    int k = static_cast<int>(i % kStreams);
    double time = kBaseTime + static_cast<double>(i / kStreams) * span[k];
    std::string name = "XX_BENCH_HH" + std::to_string(k) + "_00/MSEED";
    std::string record = startingAt(templates[k], time);
    ok = putOne(fd, name, time, record, why);
    if (ok && expected) {
      // As a reader of the record names and times it.
      std::vector<mseed::Record> h;
      mseed::headers(record.data(), record.size(), &h);
      if (!h.empty()) expected->add(mseed::sourceName(h[0]), h[0].start);
    }
  }
  put = ok ? count : 0;
  return closePuts(fd, why) && ok;
}

CaseResult runSdsBacklog(const std::string &name, long packets, bool checkUnstuff) {
  CaseResult r;
  r.name = name;
  r.packetBytes = kRecordBytes;
  Rig rig(name);
  std::string source = rig.startServer(ringBytesFor(packets, kRecordBytes), 1 << 20);
  if (source.empty()) return failed(r, rig);
  if (!fillMseedSource(source, packets, r.packets, r.failure, nullptr)) return r;
  std::string root = workDir() + "/" + name + "_archive";
  RelayPlan plan{{source}, {}, "", kStartTime};
  plan.sdsRoot = root;
  plan.checkUnstuff = checkUnstuff;
  CpuMark before = markCpu(rig, getpid());
  auto start = Clock::now();
  if (!rig.startRelay(plan)) return failed(r, rig);
  long held = 0, seen = -1;
  auto progressAt = Clock::now();
  while ((held = archivedRecords(root)) < packets && rig.relayRunning() &&
         secondsSince(progressAt) < kStall && secondsSince(start) < kCaseLimit) {
    if (held != seen) seen = held, progressAt = Clock::now();
    sleepSeconds(0.005);
  }
  r.seconds = secondsSince(start);
  setCpu(r, before, markCpu(rig, getpid()));
  if (held < packets) r.failure = "not all " + std::to_string(packets) + " records arrived";
  r.peakRssMb = peakRssMb(rig.relayPid());
  rig.stopRelay();
  if (!rig.failure().empty())
    r.failure = rig.failure() + (r.failure.empty() ? "" : "; " + r.failure);
  held = archivedRecords(root);
  r.checked = true;
  r.tally.missing = std::max(0L, packets - held);
  r.tally.duplicated = std::max(0L, held - packets);
  r.notes.push_back(std::to_string(kStreams) +
                    " streams of 512-byte Steim-2 records from a tarn backlog into an SDS archive, "
                    "synced to disk at least every 4096 records or 0.25 s; check_unstuff " +
                    (checkUnstuff ? "true" : "false"));
  return r;
}

}  // namespace relaybench
