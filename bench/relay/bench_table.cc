#include "bench_table.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

namespace relaybench {

namespace {

// A column: its heading, its width, and whether it is left-aligned.
struct Column {
  const char *heading;
  int width;
  bool left;
};

const Column kColumns[] = {
    {"case", 15, true},     {"packets", 9, false}, {"packets/s", 10, false}, {"MB/s", 8, false},
    {"relay", 7, false},    {"machine", 8, false}, {"servers", 8, false},    {"feeder", 7, false},
    {"peak MiB", 8, false}, {"missing", 8, false}, {"dup", 6, false},        {"p50 ms", 8, false},
    {"p99 ms", 7, false},   {"result", 0, true},
};
const size_t kGap = 2;  // blanks between columns

// A title over columns first..last of the heading.
struct Span {
  size_t first, last;
  const char *title;
};
const Span kSpans[] = {{4, 7, "CPU µs per packet"}, {8, 8, "relay"}, {11, 12, "latency"}};

// Characters shown (UTF-8 continuation bytes take no column).
int shownWidth(const std::string &text) {
  int n = 0;
  for (unsigned char c : text) n += (c & 0xc0) != 0x80;
  return n;
}

std::string pad(const std::string &text, const Column &col) {
  std::string fill(static_cast<size_t>(std::max(0, col.width - shownWidth(text))), ' ');
  return col.left ? text + fill : fill + text;
}

void printCells(const std::vector<std::string> &cells) {
  std::string line;
  for (size_t i = 0; i < cells.size(); ++i)
    line += std::string(i ? kGap : 0, ' ') + pad(cells[i], kColumns[i]);
  while (!line.empty() && line.back() == ' ') line.pop_back();
  std::printf("%s\n", line.c_str());
}

std::string fixed(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

// A figure per packet in microseconds, or "-" when there are none.
std::string perPacket(double seconds, long packets) {
  return packets > 0 ? fixed(seconds / static_cast<double>(packets) * 1e6, 2) : "-";
}

bool clean(const CaseResult &r) {
  return r.checked && r.tally.missing == 0 && r.tally.duplicated == 0 && r.tally.unexpected == 0;
}

std::string resultText(const CaseResult &r) {
  if (!r.failure.empty()) return "FAILED: " + r.failure;
  if (!r.checked) return "not checked";
  if (r.tally.unexpected > 0)
    return "WRONG: " + std::to_string(r.tally.unexpected) + " packets never put";
  return clean(r) ? "ok" : "WRONG: packets missing or duplicated";
}

}  // namespace

namespace {

size_t columnStart(size_t index) {
  size_t at = 0;
  for (size_t i = 0; i < index; ++i) at += static_cast<size_t>(kColumns[i].width) + kGap;
  return at;
}

// The line above the headings: each span's title centred over its columns
// in a run of dashes.
std::string spanLine() {
  std::string line;
  for (const Span &span : kSpans) {
    size_t start = columnStart(span.first), width = columnStart(span.last + 1) - kGap - start;
    size_t title = static_cast<size_t>(shownWidth(span.title)) + 2;
    size_t left = width > title ? (width - title) / 2 : 0,
           right = width > title + left ? width - title - left : 0;
    line += std::string(start - std::min(start, static_cast<size_t>(shownWidth(line))), ' ');
    char fill = left >= 2 && right >= 2 ? '-' : ' ';
    line += std::string(left, fill) + " " + span.title + " " + std::string(right, fill);
  }
  return line;
}

}  // namespace

void printHeading() {
  std::vector<std::string> heading;
  for (const Column &col : kColumns) heading.push_back(col.heading);
  std::printf("%s\n", spanLine().c_str());
  printCells(heading);
  std::printf("%s\n", std::string(columnStart(std::size(kColumns) - 1) + 6, '-').c_str());
  std::fflush(stdout);
}

// A row's figures are shown only for a case that completed; its counts of
// missing and duplicated packets whenever the destinations were read back.
void printRow(const CaseResult &r) {
  bool shown = r.failure.empty() && r.seconds > 0;
  long n = shown ? r.packets : 0;
  double rate = shown ? static_cast<double>(r.packets) / r.seconds : 0;
  auto count = [&](long c) { return r.checked ? std::to_string(c) : std::string("?"); };
  auto ms = [&](double v) { return shown && v >= 0 ? fixed(v, 3) : std::string("-"); };
  printCells({r.name, std::to_string(r.packets), shown ? fixed(rate, 0) : "-",
              shown ? fixed(rate * static_cast<double>(r.packetBytes) / 1e6, 1) : "-",
              perPacket(r.relayCpu, n), perPacket(r.machineCpu, n), perPacket(r.serversCpu, n),
              perPacket(r.feederCpu, n), shown ? fixed(r.peakRssMb, 1) : "-",
              count(r.tally.missing), count(r.tally.duplicated), ms(r.p50ms), ms(r.p99ms),
              resultText(r)});
  std::fflush(stdout);
}

int printSummary(const std::vector<CaseResult> &results) {
  bool anyNote = false;
  for (const CaseResult &r : results) {
    for (const std::string &note : r.notes) {
      if (!anyNote) std::printf("\n");
      anyNote = true;
      std::printf("%s: %s\n", r.name.c_str(), note.c_str());
    }
  }
  long failed = 0, wrong = 0, missing = 0, duplicated = 0;
  for (const CaseResult &r : results) {
    failed += !r.failure.empty();
    wrong += r.failure.empty() && !clean(r);
    missing += r.tally.missing;
    duplicated += r.tally.duplicated;
  }
  std::printf("\n%zu case%s ran: %ld completed, %ld did not; ", results.size(),
              results.size() == 1 ? "" : "s", static_cast<long>(results.size()) - failed, failed);
  if (failed + wrong == 0)
    std::printf("every packet arrived once\n");
  else
    std::printf("%ld packets missing, %ld duplicated\n", missing, duplicated);
  std::fflush(stdout);
  return failed + wrong == 0 ? 0 : 1;
}

}  // namespace relaybench
