#include "tools/record_scan.h"

#include <algorithm>

namespace tarntool {
namespace {

constexpr size_t kNone = static_cast<size_t>(-1);

// The length the header at `at` gives; 0 when none starts there; -1 when
// fewer than kHeaderProbe bytes are in view to tell.
int headerAt(const char *bytes, size_t n, size_t at) {
  if (at > n || n - at < kHeaderProbe) return -1;
  return mseed::recordLength(bytes + at, kHeaderProbe);
}

// The first offset after `from` where a record header starts; kNone when
// none is in view yet.
size_t nextHeader(const char *bytes, size_t n, size_t from) {
  for (size_t at = from;; ++at) {
    int length = headerAt(bytes, n, at);
    if (length < 0) return kNone;
    if (length > 0) return at;
  }
}

// check's text without the "record at byte 0: " it starts with for a single
// record: the caller names the offset in the file.
std::string why(const std::string &problem) {
  const std::string prefix = "record at byte 0: ";
  return problem.compare(0, prefix.size(), prefix) == 0 ? problem.substr(prefix.size()) : problem;
}

}  // namespace

RecordScan scanRecords(const char *bytes, size_t n, size_t until, size_t maxRecords) {
  RecordScan scan;
  until = std::min(until, n);
  std::vector<mseed::Record> headers;
  size_t at = 0;
  while (at < until) {
    if (scan.records.size() >= maxRecords) {
      scan.full = true;
      break;
    }
    int length = headerAt(bytes, n, at);
    if (length < 0) break;
    std::string problem = "no miniSEED record header with its length (blockette 1000)";
    if (length > 0) {
      if (n - at < static_cast<size_t>(length)) break;  // the rest is still to come
      headers.clear();
      problem = mseed::check(bytes + at, static_cast<size_t>(length), &headers);
      if (problem.empty()) {
        scan.records.push_back({at, length, headers.front()});
        at += static_cast<size_t>(length);
        continue;
      }
    }
    size_t next = nextHeader(bytes, n, at + 1);
    if (next == kNone) break;
    scan.damage.push_back({at, next - at, why(problem)});
    at = next;
  }
  scan.stop = at;
  return scan;
}

}  // namespace tarntool
