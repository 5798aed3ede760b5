#include "platform/pf/pf_path.h"

#include <charconv>
#include <utility>
#include <vector>

namespace pfimpl {

namespace {

struct Step {
  std::string_view text;
  bool squareBrackets;  // given as [index]: only a list may take it
};

// Splits a path into its steps; false when it is not a well-formed path.
bool splitPath(std::string_view path, std::vector<Step> *steps) {
  size_t pos = path.find_first_of("{[");
  std::string_view first = path.substr(0, pos);
  if (!first.empty()) steps->push_back({first, false});
  while (pos < path.size()) {
    char open = path[pos];
    char close = open == '{' ? '}' : ']';
    size_t end = path.find(close, pos + 1);
    if (end == std::string_view::npos) return false;
    std::string_view part = path.substr(pos + 1, end - pos - 1);
    if (part.find_first_of("{[") != std::string_view::npos) return false;
    steps->push_back({part, open == '['});
    pos = end + 1;
    if (pos < path.size() && path[pos] != '{' && path[pos] != '[') return false;
  }
  return !steps->empty();
}

// A list index: decimal digits only.
bool parseIndex(std::string_view text, size_t *index) {
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  auto [end, err] = std::from_chars(text.data(), text.data() + text.size(), *index);
  return err == std::errc() && end == text.data() + text.size();
}

Pf *step(Pf &from, const Step &s) {
  if (from.kind == PFARR && !s.squareBrackets) return arrayFind(from, std::string(s.text));
  size_t i = 0;
  if (from.kind != PFTBL || !parseIndex(s.text, &i) || i >= from.items.size()) return nullptr;
  return from.items[i].get();
}

}  // namespace

Pf *resolve(Pf &pf, std::string_view key) {
  if (pf.kind == PFARR) {
    if (Pf *exact = arrayFind(pf, std::string(key))) return exact;
  }
  std::vector<Step> steps;
  if (!splitPath(key, &steps)) return nullptr;
  Pf *at = &pf;
  for (const Step &s : steps) {
    at = step(*at, s);
    if (!at) return nullptr;
  }
  return at;
}

bool putValue(Pf &pf, std::string_view key, std::string_view value, std::string *why) {
  std::vector<Step> steps;
  Pf *parent = nullptr;
  if (splitPath(key, &steps) && !(pf.kind == PFARR && arrayFind(pf, std::string(key)))) {
    parent = &pf;
    for (size_t i = 0; parent && i + 1 < steps.size(); ++i) parent = step(*parent, steps[i]);
  }
  const Step *last = parent ? &steps.back() : nullptr;
  if (parent && parent->kind == PFARR && !last->squareBrackets) {
    arraySet(*parent, std::string(last->text), makeValue(std::string(value)));
    return true;
  }
  size_t i = 0;
  if (parent && parent->kind == PFTBL && parseIndex(last->text, &i) && i <= parent->items.size()) {
    if (i == parent->items.size()) {
      parent->items.push_back(makeValue(std::string(value)));
    } else {
      parent->items[i] = makeValue(std::string(value));
    }
    return true;
  }
  // Not a way into existing objects: in an array, the text is a key as it is.
  if (pf.kind == PFARR) {
    arraySet(pf, std::string(key), makeValue(std::string(value)));
    return true;
  }
  *why = "names no entry of the list, nor the place after its last";
  return false;
}

}  // namespace pfimpl
