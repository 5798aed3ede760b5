// tarn import TARN FILE...: puts the miniSEED records of files onto a tarn
// server, one packet per record, unchanged: source name NET_STA_CHAN[_LOC]/MSEED,
// time the record's start. Each record's length is what its header says;
// each is checked as a reader with check_unstuff would check it, and damage
// is named and skipped (record_reader.h).
//
// Order: the files one after another, each in its order; with --realtime
// and several files, the records of all files in time order, as a station
// sends the streams it writes one file each: every file is open at once,
// read through a window of 2 MiB, and the earliest of their next records
// goes next.
//
// Pacing: --rate N puts at most N records a second; --realtime puts each
// record when the wall clock has moved, since the first put, as far as the
// record's start time lies after the earliest start time seen so far. A
// record whose time has passed (a file of later hours than the others
// start with, a stream behind the others) goes at once; one earlier than
// every record before it goes at once and becomes the earliest, so that
// later records wait that much more.
//
// With --follow, a folder of growing files instead (tarn_follow.cc).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <queue>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/mseed/mseed_record.h"
#include "platform/tarnclient/tarnclient.h"
#include "tools/record_reader.h"
#include "tools/tarn_commands.h"
#include "tools/tool_support.h"

namespace tarntool {
namespace {

using Clock = std::chrono::steady_clock;

struct ImportOptions {
  std::string tarn;
  std::vector<std::string> files;
  double rate = 0;  // records per second; 0: as fast as the server takes them
  bool realtime = false;
};

const char *const kUsage =
    "usage: tarn import [--rate N | --realtime] TARN FILE...\n"
    "       tarn import --follow DIR [--state FILE] [--match PATTERN] TARN\n"
    "  puts each miniSEED record of the files as a packet NET_STA_CHAN[_LOC]/MSEED timed at\n"
    "  its start; at most N records a second, or paced by their start times; with --follow,\n"
    "  every whole record appended to the files of DIR, once (tarn import --follow --help)\n";

bool parseArgs(const Args &args, ImportOptions &o, std::string &err) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string &a = args[i];
    if (a == "--realtime") {
      o.realtime = true;
    } else if (a == "--rate") {
      if (i + 1 >= args.size()) {
        err = "--rate needs a value";
        return false;
      }
      if (!parseSeconds(args[++i], o.rate) || o.rate <= 0) {
        err = "--rate: '" + args[i] + "' is not a number of records per second above 0";
        return false;
      }
    } else if (a.size() > 1 && a[0] == '-') {
      err = "unknown option " + a;
      return false;
    } else if (o.tarn.empty()) {
      o.tarn = a;
    } else {
      o.files.push_back(a);
    }
  }
  if (o.rate > 0 && o.realtime)
    err = "give --rate or --realtime, not both";
  else if (o.tarn.empty())
    err = "no TARN given";
  else if (!tarnNameError(o.tarn).empty())
    err = tarnNameError(o.tarn);
  else if (o.files.empty())
    err = "no FILE given";
  return err.empty();
}

// When each record may go.
class Pacer {
 public:
  explicit Pacer(const ImportOptions &o) : rate_(o.rate), realtime_(o.realtime) {}

  // Waits until the record starting at `start` may be put; false when
  // interrupted meanwhile.
  bool wait(double start) {
    Clock::time_point now = Clock::now();
    if (count_++ == 0) {
      anchor_ = now;
      earliest_ = start;
      return !interrupted();
    }
    double after;  // seconds after the first put
    if (rate_ > 0) {
      after = static_cast<double>(count_ - 1) / rate_;
    } else if (realtime_) {
      if (start < earliest_) earliest_ = start;
      after = start - earliest_;
    } else {
      return !interrupted();
    }
    double left = after - std::chrono::duration<double>(now - anchor_).count();
    return left > 0 ? pauseUnlessInterrupted(left) : !interrupted();
  }

 private:
  double rate_;
  bool realtime_;
  long count_ = 0;
  Clock::time_point anchor_;
  double earliest_ = 0;
};

// Puts the records of the files, paced, and counts what it did.
class Importer {
 public:
  Importer(const ImportOptions &o, int fd) : fd_(fd), pacer_(o) {}

  // The files one after another, each in its order.
  void playInTurn(const std::vector<std::string> &paths);
  // The records of all files in time order: each file's next record waits
  // in its reader, and the earliest of them goes next (the file given first
  // among equals). Each file holds its window open meanwhile.
  void playMerged(const std::vector<std::string> &paths);

  long put = 0, skipped = 0, filesRead = 0;
  std::set<std::string> streams;
  bool stopped = false;  // interrupted, or the server lost while stopping

 private:
  bool goingOn() const { return !stopped && !interrupted(); }
  void putRecord(const RecordReader &in);
  // Counts what a reader that is done with its file did.
  void done(const RecordReader &in);

  int fd_;
  Pacer pacer_;
};

// A file played alone is read through a larger window: fewer, larger reads.
constexpr size_t kWindowAlone = 4 * RecordReader::kLookahead;
constexpr size_t kWindowMerged = 2 * RecordReader::kLookahead;

void Importer::putRecord(const RecordReader &in) {
  const mseed::Record &r = in.record();
  if (!pacer_.wait(r.start)) {
    stopped = true;
    return;
  }
  std::string name = mseed::sourceName(r);
  int rc = tarnput(fd_, name.c_str(), r.start, in.bytes(), in.length());
  if (rc < 0) {
    std::fprintf(stderr, "tarn import: %s: record at byte %llu: the server refused it (%d bytes)\n",
                 in.path().c_str(), static_cast<unsigned long long>(in.offset()), in.length());
    ++skipped;
    if (rc == -3) stopped = true;
    return;
  }
  ++put;
  streams.insert(name);
}

void Importer::done(const RecordReader &in) {
  skipped += in.skipped();
  if (in.finished()) ++filesRead;
}

void Importer::playInTurn(const std::vector<std::string> &paths) {
  for (const std::string &path : paths) {
    if (!goingOn()) break;
    RecordReader in(path, kWindowAlone);
    if (in.open()) {
      while (goingOn() && in.next()) putRecord(in);
    }
    done(in);
  }
}

void Importer::playMerged(const std::vector<std::string> &paths) {
  std::vector<std::unique_ptr<RecordReader>> readers;
  // (start time, reader), earliest first.
  using Next = std::pair<double, size_t>;
  std::priority_queue<Next, std::vector<Next>, std::greater<Next>> order;
  for (const std::string &path : paths) {
    if (!goingOn()) break;
    readers.push_back(std::make_unique<RecordReader>(path, kWindowMerged));
    RecordReader &in = *readers.back();
    if (in.open() && in.next()) order.emplace(in.record().start, readers.size() - 1);
  }
  while (goingOn() && !order.empty()) {
    size_t index = order.top().second;
    order.pop();
    RecordReader &in = *readers[index];
    putRecord(in);
    if (goingOn() && in.next()) order.emplace(in.record().start, index);
  }
  for (const auto &in : readers) done(*in);
}

}  // namespace

int runImport(const Args &args) {
  if (std::find(args.begin(), args.end(), "--follow") != args.end()) return runImportFollow(args);
  if (showsHelp(args, kUsage)) return 0;
  ImportOptions o;
  std::string err;
  if (!parseArgs(args, o, err)) {
    std::fprintf(stderr, "tarn import: %s\n%s", err.c_str(), kUsage);
    return 2;
  }
  catchInterrupts();
  int fd = tarnopen(o.tarn.c_str(), "w&");
  if (fd < 0) {
    std::fprintf(stderr, "tarn import: cannot reach tarn '%s'\n", o.tarn.c_str());
    return 1;
  }
  Importer importer(o, fd);
  if (o.realtime && o.files.size() > 1)
    importer.playMerged(o.files);
  else
    importer.playInTurn(o.files);
  bool flushed = tarnclose(fd) == 0;
  if (!flushed) std::fputs("tarn import: the server did not acknowledge every record\n", stderr);
  std::printf("tarn import: %ld records put, %ld skipped, %zu streams, %ld of %zu files read\n",
              importer.put, importer.skipped, importer.streams.size(), importer.filesRead,
              o.files.size());
  bool whole = importer.skipped == 0 && importer.filesRead == static_cast<long>(o.files.size());
  return whole && flushed && !importer.stopped && !interrupted() ? 0 : 1;
}

}  // namespace tarntool
