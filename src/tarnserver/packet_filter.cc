#include "tarnserver/packet_filter.h"

#include <algorithm>
#include <cctype>
#include <vector>

namespace tarnserver {

namespace {

// The regex compiler copies a sub-expression once per repetition ("x{3}"
// becomes "xxx", "x+" becomes "xx*"), so the memory it takes grows with the
// expression multiplied out through every nesting of repetitions:
// "((a{255}){255}){255}" or "a+++...+" would take gigabytes for one request.
// The estimate below multiplies out each repeated atom or group; expressions
// whose estimate passes kMaxCompiledSize, or with a single count past
// kMaxRepetition, are refused, and so are back-references (not part of
// extended expressions, and exponential to match). Adjacent repetition
// operators ("a+*+") have no defined meaning in extended expressions and make
// the compiler's closure computation explode, and so do groups nested past
// kMaxGroupDepth: both are refused too.
constexpr uint64_t kMaxRepetition = 1000;
constexpr uint64_t kMaxCompiledSize = 10000;
constexpr size_t kMaxGroupDepth = 16;

size_t skipBracket(const std::string &e, size_t i) {  // i at '['; returns index of ']'
  size_t j = i + 1;
  if (j < e.size() && e[j] == '^') ++j;
  if (j < e.size() && e[j] == ']') ++j;
  for (; j < e.size() && e[j] != ']'; ++j) {
    if (e[j] == '[' && j + 1 < e.size() &&
        (e[j + 1] == ':' || e[j + 1] == '.' || e[j + 1] == '=')) {
      size_t close = e.find(std::string(1, e[j + 1]) + "]", j + 2);
      if (close == std::string::npos) return e.size();
      j = close + 1;
    }
  }
  return j;
}

// The compiled size of an expression, estimated group by group: each level
// keeps the size of its content so far and of its last atom, which is what
// a following repetition copies.
class CompiledSize {
 public:
  void atom(uint64_t size) {
    levels_.back().total = cap(levels_.back().total + size);
    levels_.back().last = size;
  }
  // The last atom is repeated so that it appears `copies` times.
  void repeat(uint64_t copies) {
    Level &l = levels_.back();
    l.total = cap(l.total - l.last + cap(l.last * copies));
    l.last = cap(l.last * copies);
  }
  void open() { levels_.push_back({}); }
  size_t depth() const { return levels_.size() - 1; }
  void close() {
    if (levels_.size() < 2) return atom(1);  // unbalanced: the compiler refuses it
    uint64_t group = levels_.back().total + 1;
    levels_.pop_back();
    atom(cap(group));
  }
  void alternative() { levels_.back().last = 0; }
  bool tooLarge() const {
    for (const Level &l : levels_) {
      if (l.total > kMaxCompiledSize) return true;
    }
    return false;
  }

 private:
  struct Level {
    uint64_t total = 0;
    uint64_t last = 0;
  };
  static uint64_t cap(uint64_t v) { return std::min<uint64_t>(v, kMaxCompiledSize + 1); }
  std::vector<Level> levels_{Level{}};
};

bool isRepetition(char c) { return c == '+' || c == '*' || c == '?' || c == '{'; }

}  // namespace

bool expressionTooCostly(const std::string &e, std::string &why) {
  CompiledSize size;
  bool afterRepetition = false;
  for (size_t i = 0; i < e.size(); ++i) {
    char c = e[i];
    if (isRepetition(c)) {
      if (afterRepetition) {
        why = "adjacent repetition operators are not allowed";
        return true;
      }
      afterRepetition = true;
    } else {
      afterRepetition = false;
    }
    if (c == '\\') {
      if (i + 1 < e.size() && e[i + 1] >= '1' && e[i + 1] <= '9') {
        why = "back-references are not allowed";
        return true;
      }
      ++i;
      size.atom(1);
    } else if (c == '[') {
      i = skipBracket(e, i);
      size.atom(1);
    } else if (c == '(') {
      size.open();
      if (size.depth() > kMaxGroupDepth) {
        why = "groups nested more than " + std::to_string(kMaxGroupDepth) + " deep";
        return true;
      }
    } else if (c == ')') {
      size.close();
    } else if (c == '|') {
      size.alternative();
    } else if (c == '+') {
      size.repeat(2);
    } else if (c == '*' || c == '?') {
      // Repeated or made optional in place, without a copy.
    } else if (c == '{') {
      uint64_t bound = 0, number = 0;
      size_t j = i + 1;
      for (; j < e.size() && (std::isdigit(static_cast<unsigned char>(e[j])) || e[j] == ','); ++j) {
        if (e[j] == ',') {
          number = 0;
          continue;
        }
        number =
            std::min<uint64_t>(number * 10 + static_cast<uint64_t>(e[j] - '0'), kMaxRepetition + 1);
        bound = std::max(bound, number);
      }
      if (bound > kMaxRepetition) {
        why = "a repetition count past " + std::to_string(kMaxRepetition);
        return true;
      }
      size.repeat(bound + 1);
      i = j;
    } else {
      size.atom(1);
    }
    if (size.tooLarge()) {
      why =
          "repetition counts multiply past a compiled size of " + std::to_string(kMaxCompiledSize);
      return true;
    }
  }
  return false;
}

PacketFilter::~PacketFilter() {
  if (select_.set) regfree(&select_.re);
  if (reject_.set) regfree(&reject_.re);
}

bool PacketFilter::compile(Expr &e, const std::string &expr, std::string &err) {
  if (expr.empty()) {
    if (e.set) regfree(&e.re);
    e.set = false;
    return true;
  }
  std::string why;
  if (expressionTooCostly(expr, why)) {
    err = "bad expression '" + expr + "': " + why;
    return false;
  }
  // Anchored so that the expression must match the whole source name.
  regex_t re;
  int rc = regcomp(&re, ("^(" + expr + ")$").c_str(), REG_EXTENDED | REG_NOSUB);
  if (rc != 0) {
    char msg[256];
    regerror(rc, &re, msg, sizeof msg);
    err = "bad expression '" + expr + "': " + msg;
    return false;
  }
  if (e.set) regfree(&e.re);
  e.re = re;
  e.set = true;
  return true;
}

bool PacketFilter::setSelect(const std::string &expr, std::string &err) {
  if (!compile(select_, expr, err)) return false;
  clearCache();
  return true;
}

bool PacketFilter::setReject(const std::string &expr, std::string &err) {
  if (!compile(reject_, expr, err)) return false;
  clearCache();
  return true;
}

bool PacketFilter::matches(const Expr &e, const std::string &name) {
  ++matchesRun_;
  return regexec(&e.re, name.c_str(), 0, nullptr, 0) == 0;
}

bool PacketFilter::passes(const SourceTable &sources, uint32_t idx) {
  if (idx >= sources.slotCount()) return false;
  if (all()) return true;
  if (cacheGeneration_ != sources.generation()) {
    cache_.clear();
    cacheGeneration_ = sources.generation();
  }
  if (idx >= cache_.size()) cache_.resize(sources.slotCount(), -1);
  int8_t &verdict = cache_[idx];
  if (verdict < 0) {
    const std::string &name = sources.at(idx).name;
    bool ok = (!select_.set || matches(select_, name)) && (!reject_.set || !matches(reject_, name));
    verdict = ok ? 1 : 0;
  }
  return verdict == 1;
}

int32_t PacketFilter::countPassing(const SourceTable &sources) {
  int32_t n = 0;
  for (uint32_t i = 0; i < sources.slotCount(); ++i) {
    if (sources.live(i) && passes(sources, i)) ++n;
  }
  return n;
}

}  // namespace tarnserver
