// The statefile's text, written and read. Names are quoted with backslash
// escapes so that any expression survives; times are written with 17
// significant digits, which reads back bit for bit.
#include "platform/statefile/statefile_format.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <sstream>

namespace statefile {

namespace {

const char kFirstLine[] = "tarn2tarn_pre read positions 3";
const char kFirstLineVersion2[] = "tarn2tarn_pre read positions 2";
const char kFirstLineVersion1[] = "tarn2tarn_pre read positions 1";

std::string quote(const std::string &text) {
  std::string out = "\"";
  for (char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        out += c;
    }
  }
  return out + "\"";
}

std::string utcText(double time) {
  if (!std::isfinite(time) || std::fabs(time) > 1e15) return "?";
  time_t seconds = static_cast<time_t>(std::floor(time));
  struct tm parts;
  if (!gmtime_r(&seconds, &parts)) return "?";
  char text[64];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts);
  return text;
}

// Reads the words of one line: quoted names and bare words, up to a '#'
// outside quotes. False on an unterminated quote or an unknown escape.
bool splitWords(const std::string &line, std::vector<std::string> &words,
                std::vector<bool> &quoted) {
  size_t i = 0;
  while (i < line.size()) {
    char c = line[i];
    if (c == ' ' || c == '\t') {
      ++i;
      continue;
    }
    if (c == '#') break;
    std::string word;
    if (c == '"') {
      ++i;
      bool closed = false;
      while (i < line.size()) {
        char d = line[i++];
        if (d == '"') {
          closed = true;
          break;
        }
        if (d != '\\') {
          word += d;
          continue;
        }
        if (i >= line.size()) return false;
        char e = line[i++];
        if (e == 'n')
          word += '\n';
        else if (e == 't')
          word += '\t';
        else if (e == 'r')
          word += '\r';
        else if (e == '"' || e == '\\')
          word += e;
        else
          return false;
      }
      if (!closed) return false;
      quoted.push_back(true);
    } else {
      while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '#')
        word += line[i++];
      quoted.push_back(false);
    }
    words.push_back(word);
  }
  return true;
}

bool readInt32(const std::string &word, int32_t &value) {
  if (word.empty()) return false;
  errno = 0;
  char *end = nullptr;
  long long v = std::strtoll(word.c_str(), &end, 10);
  if (errno || *end || v < INT32_MIN || v > INT32_MAX) return false;
  value = static_cast<int32_t>(v);
  return true;
}

bool readDouble(const std::string &word, double &value) {
  if (word.empty()) return false;
  errno = 0;
  char *end = nullptr;
  value = std::strtod(word.c_str(), &end);
  return errno == 0 && *end == 0 && std::isfinite(value);
}

// One "position" line's words into `p`; false when they are not one.
// Current: position ADDRESS TARN SELECT REJECT READER IDENTITY after|at PKTID
// TIME SEEN; the second version had no IDENTITY.
bool readPosition(std::vector<std::string> w, std::vector<bool> q, bool version2,
                  SavedPosition &p) {
  if (!version2) {
    if (w.size() != 11 || !q[6]) return false;
    p.identity = w[6];
    w.erase(w.begin() + 6);
    q.erase(q.begin() + 6);
  }
  if (w.size() != 10 || q[0] || !q[1] || !q[2] || !q[3] || !q[4] || !q[5] || q[6] || q[7] || q[8] ||
      q[9]) {
    return false;
  }
  if (w[6] != "after" && w[6] != "at") return false;
  p.address = w[1];
  p.tarn = w[2];
  p.select = w[3];
  p.reject = w[4];
  p.owner = w[5];
  p.at = w[6] == "at";
  return !(p.address.empty() && p.tarn.empty()) && readInt32(w[7], p.id) && p.id >= 0 &&
         readDouble(w[8], p.time) && readDouble(w[9], p.seen);
}

// First version: position TARN SELECT REJECT TAG PKTID TIME, resuming after.
bool readPositionVersion1(const std::vector<std::string> &w, const std::vector<bool> &q,
                          SavedPosition &p) {
  if (w.size() != 7 || q[0] || !q[1] || !q[2] || !q[3] || !q[4] || q[5] || q[6]) return false;
  p.tarn = w[1];
  p.select = w[2];
  p.reject = w[3];
  p.owner = w[4];
  return !p.tarn.empty() && readInt32(w[5], p.id) && p.id >= 0 && readDouble(w[6], p.time);
}

bool readUint64(const std::string &word, uint64_t &value) {
  if (word.empty() || word[0] < '0' || word[0] > '9') return false;
  errno = 0;
  char *end = nullptr;
  unsigned long long v = std::strtoull(word.c_str(), &end, 10);
  if (errno || *end) return false;
  value = v;
  return true;
}

// sequence KIND SERVER SELECT READER STREAM after|at SEQUENCE TIME SEEN; the
// second version had no after|at (always after).
bool readSequence(std::vector<std::string> w, std::vector<bool> q, bool version2,
                  SavedPosition &p) {
  if (!version2) {
    if (w.size() != 10 || q[6] || (w[6] != "after" && w[6] != "at")) return false;
    p.at = w[6] == "at";
    w.erase(w.begin() + 6);
    q.erase(q.begin() + 6);
  }
  if (w.size() != 9 || q[0] || !q[1] || !q[2] || !q[3] || !q[4] || !q[5] || q[6] || q[7] || q[8])
    return false;
  p.kind = w[1];
  p.address = w[2];
  p.select = w[3];
  p.owner = w[4];
  p.stream = w[5];
  return !p.kind.empty() && !p.address.empty() && !p.stream.empty() &&
         readUint64(w[6], p.sequence) && readDouble(w[7], p.time) && readDouble(w[8], p.seen);
}

bool fail(std::string &error, int line, const std::string &what) {
  error = "line " + std::to_string(line) + ": " + what;
  return false;
}

}  // namespace

std::string SavedPosition::key() const {
  if (bySequence())
    return "sequence" + std::string(1, '\0') + kind + '\0' + address + '\0' + select + '\0' +
           owner + '\0' + stream;
  std::string server = address.empty() ? "name " + tarn : address;
  return server + '\0' + select + '\0' + reject + '\0' + owner;
}

std::string formatStatefile(const std::vector<SavedPosition> &positions, double now) {
  std::string out = std::string(kFirstLine) + "\n";
  out += "# saved " + utcText(now) + "\n";
  out +=
      "# position SERVER TARN SELECT REJECT READER IDENTITY after|at PKTID TIME SEEN: where each "
      "reader resumes\n";
  bool sequences = false;
  for (const SavedPosition &p : positions) sequences = sequences || p.bySequence();
  if (sequences) {
    out +=
        "# sequence KIND SERVER SELECT READER STREAM after|at SEQUENCE TIME SEEN: where each stream "
        "resumes\n";
  }
  char number[96];
  for (const SavedPosition &p : positions) {
    if (p.bySequence()) {
      std::snprintf(number, sizeof number, " %s %llu %.17g %.0f", p.at ? "at" : "after",
                    static_cast<unsigned long long>(p.sequence), p.time, p.seen);
      out += "sequence " + quote(p.kind) + " " + quote(p.address) + " " + quote(p.select) + " " +
             quote(p.owner) + " " + quote(p.stream) + number + "  # " + utcText(p.time) + "\n";
      continue;
    }
    std::snprintf(number, sizeof number, " %d %.17g %.0f", static_cast<int>(p.id), p.time, p.seen);
    out += "position " + quote(p.address) + " " + quote(p.tarn) + " " + quote(p.select) + " " +
           quote(p.reject) + " " + quote(p.owner) + " " + quote(p.identity) +
           (p.at ? " at" : " after") + number + "  # " +
           utcText(p.time) + "\n";
  }
  out += "end " + std::to_string(positions.size()) + "\n";
  return out;
}

bool parseStatefile(const std::string &text, std::vector<SavedPosition> &positions,
                    std::string &error) {
  positions.clear();
  if (text.empty()) return fail(error, 1, "the file is empty");
  std::vector<SavedPosition> found;
  std::istringstream in(text);
  std::string line;
  int number = 0;
  bool ended = false;
  bool version1 = false, version2 = false;
  while (std::getline(in, line)) {
    ++number;
    if (number == 1) {
      version1 = line == kFirstLineVersion1;
      version2 = line == kFirstLineVersion2;
      if (line != kFirstLine && !version1 && !version2) {
        return fail(error, 1, "not a statefile (expected \"" + std::string(kFirstLine) + "\")");
      }
      continue;
    }
    std::vector<std::string> words;
    std::vector<bool> quoted;
    if (!splitWords(line, words, quoted)) return fail(error, number, "broken quoted name");
    if (words.empty()) continue;
    if (ended) return fail(error, number, "text after the end line");
    if (words[0] == "position" && !quoted[0]) {
      SavedPosition p;
      bool read = version1 ? readPositionVersion1(words, quoted, p)
                           : readPosition(words, quoted, version2, p);
      if (!read) return fail(error, number, "malformed position");
      found.push_back(p);
    } else if (words[0] == "sequence" && !quoted[0] && !version1) {
      SavedPosition p;
      if (!readSequence(words, quoted, version2, p))
        return fail(error, number, "malformed sequence position");
      found.push_back(p);
    } else if (words[0] == "end" && !quoted[0] && words.size() == 2) {
      int32_t count = -1;
      if (!readInt32(words[1], count) || count != static_cast<int32_t>(found.size())) {
        return fail(error, number,
                    "the end line counts " + words[1] + " positions, the file holds " +
                        std::to_string(found.size()));
      }
      ended = true;
    } else {
      return fail(error, number, "unexpected text");
    }
  }
  if (!ended) return fail(error, number, "the file is cut short (no end line)");
  if (text.back() != '\n') return fail(error, number, "the file is cut short (no final newline)");
  positions = std::move(found);
  return true;
}

}  // namespace statefile
