// tarn import TARN FILE...: puts the miniSEED records of files onto a tarn
// server, one packet per record, unchanged: source name NET_STA_CHAN[_LOC]/MSEED,
// time the record's start. Each record's length is what its header says;
// each is checked as a reader with check_unstuff would check it.
//
// Damage: a record that does not check, or bytes where no record header
// starts, is named on standard error (file, byte offset, why) and skipped.
// Reading then goes on at the next offset where a record header starts:
// right after the bad record when one starts there (a file of whole records
// with one damaged), else the first, byte by byte, after the bad bytes'
// first one (a record cut short, or bytes that are no record).
//
// Pacing: --rate N puts at most N records a second; --realtime puts each
// record when the wall clock has moved, since the first put, as far as the
// record's start time lies after the earliest start time seen so far. A file
// of one or more streams in time order plays as live stations; a record
// whose time has passed (the next file of the same hours, a stream behind
// the others) goes at once; one earlier than every record before it goes at
// once and becomes the earliest, so that later records wait that much more.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/mseed/mseed_record.h"
#include "platform/tarnclient/tarnclient.h"
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
    "  puts each miniSEED record of the files as a packet NET_STA_CHAN[_LOC]/MSEED timed at\n"
    "  its start; at most N records a second, or paced by their start times\n";

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

// A file read in large blocks and looked at from an offset on: at least
// kLookahead bytes from there while the file has them, so that the largest
// record libmseed reads (1 MiB) is always whole in view.
class RecordFile {
 public:
  static constexpr size_t kLookahead = size_t{1} << 20;

  explicit RecordFile(FILE *f) : f_(f), buf_(4 * kLookahead) {}

  // Reads ahead when fewer than kLookahead bytes are in view; false with
  // the reason in err when the file cannot be read.
  bool fill(std::string &err) {
    if (end_ - pos_ >= kLookahead || eof_) return true;
    std::memmove(buf_.data(), buf_.data() + pos_, end_ - pos_);
    base_ += pos_;
    end_ -= pos_;
    pos_ = 0;
    while (end_ < buf_.size() && !eof_) {
      size_t n = std::fread(buf_.data() + end_, 1, buf_.size() - end_, f_);
      end_ += n;
      if (n > 0) continue;
      if (std::ferror(f_)) {
        err = std::strerror(errno);
        return false;
      }
      eof_ = true;
    }
    return true;
  }
  const char *data() const { return buf_.data() + pos_; }
  size_t size() const { return end_ - pos_; }
  uint64_t offset() const { return base_ + pos_; }
  void skip(size_t n) { pos_ += std::min(n, size()); }

 private:
  FILE *f_;
  std::vector<char> buf_;
  size_t pos_ = 0, end_ = 0;
  uint64_t base_ = 0;
  bool eof_ = false;
};

class Importer {
 public:
  Importer(const ImportOptions &o, int fd) : fd_(fd), pacer_(o) {}

  // Imports one file; false when it cannot be opened or read.
  bool importFile(const std::string &path);

  long put = 0, skipped = 0;
  std::set<std::string> streams;
  bool stopped = false;  // interrupted, or the server lost while stopping

 private:
  // Goes on to the next offset where a record header starts, or to the end.
  bool resync(RecordFile &in, std::string &err);
  void putRecord(const std::string &path, uint64_t offset, const mseed::Record &r,
                 const char *bytes, int length);

  int fd_;
  Pacer pacer_;
  std::vector<mseed::Record> records_;
};

// check's text without the "record at byte 0: " it starts with for a
// single record: the caller names the offset in the file.
std::string why(const std::string &problem) {
  const std::string prefix = "record at byte 0: ";
  return problem.compare(0, prefix.size(), prefix) == 0 ? problem.substr(prefix.size()) : problem;
}

bool Importer::resync(RecordFile &in, std::string &err) {
  for (;;) {
    if (!in.fill(err)) return false;
    if (in.size() == 0 || mseed::recordLength(in.data(), in.size()) > 0) return true;
    in.skip(1);
  }
}

void Importer::putRecord(const std::string &path, uint64_t offset, const mseed::Record &r,
                         const char *bytes, int length) {
  if (!pacer_.wait(r.start)) {
    stopped = true;
    return;
  }
  std::string name = mseed::sourceName(r);
  int rc = tarnput(fd_, name.c_str(), r.start, bytes, length);
  if (rc < 0) {
    std::fprintf(stderr, "tarn import: %s: record at byte %llu: the server refused it (%d bytes)\n",
                 path.c_str(), static_cast<unsigned long long>(offset), length);
    ++skipped;
    if (rc == -3) stopped = true;
    return;
  }
  ++put;
  streams.insert(name);
}

bool Importer::importFile(const std::string &path) {
  FILE *f = std::fopen(path.c_str(), "rb");
  if (!f) {
    std::fprintf(stderr, "tarn import: %s: cannot read: %s\n", path.c_str(), std::strerror(errno));
    return false;
  }
  RecordFile in(f);
  std::string err;
  while (!stopped && !interrupted() && in.fill(err) && in.size() > 0) {
    uint64_t offset = in.offset();
    int length = mseed::recordLength(in.data(), in.size());
    size_t inView = std::min(static_cast<size_t>(std::max(length, 0)), in.size());
    records_.clear();
    std::string problem =
        mseed::check(in.data(), length > 0 ? inView : in.size(), length > 0 ? &records_ : nullptr);
    if (problem.empty()) {
      putRecord(path, offset, records_.front(), in.data(), length);
      in.skip(static_cast<size_t>(length));
      continue;
    }
    // The next record: right after this one when its header starts there,
    // else the first header after this record's (or these bytes') start.
    bool nextAtLength = length > 0 && inView == static_cast<size_t>(length) &&
                        mseed::recordLength(in.data() + length, in.size() - inView) > 0;
    in.skip(nextAtLength ? inView : 1);
    if (!nextAtLength && !resync(in, err)) break;
    std::fprintf(stderr, "tarn import: %s: %s %llu: %s; %llu bytes skipped\n", path.c_str(),
                 length > 0 ? "record at byte" : "byte", static_cast<unsigned long long>(offset),
                 why(problem).c_str(), static_cast<unsigned long long>(in.offset() - offset));
    ++skipped;
  }
  std::fclose(f);
  if (!err.empty()) {
    std::fprintf(stderr, "tarn import: %s: cannot read at byte %llu: %s\n", path.c_str(),
                 static_cast<unsigned long long>(in.offset()), err.c_str());
    return false;
  }
  return true;
}

}  // namespace

int runImport(const Args &args) {
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
  long filesRead = 0;
  for (const std::string &path : o.files) {
    if (importer.stopped || interrupted()) break;
    if (importer.importFile(path)) ++filesRead;
  }
  bool flushed = tarnclose(fd) == 0;
  if (!flushed) std::fputs("tarn import: the server did not acknowledge every record\n", stderr);
  std::printf("tarn import: %ld records put, %ld skipped, %zu streams, %ld of %zu files read\n",
              importer.put, importer.skipped, importer.streams.size(), filesRead, o.files.size());
  bool whole = importer.skipped == 0 && filesRead == static_cast<long>(o.files.size());
  return whole && flushed && !importer.stopped && !interrupted() ? 0 : 1;
}

}  // namespace tarntool
