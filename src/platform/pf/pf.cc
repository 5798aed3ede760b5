// The C interface of the parameter-file library: objects, look-ups, text
// conversion and typed getters. pfread lives in pf_read.cc.
#include "platform/pf/pf.h"

#include <strings.h>

#include <charconv>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "platform/elog/elog.h"
#include "platform/pf/pf_object.h"
#include "platform/pf/pf_parse.h"
#include "platform/pf/pf_path.h"
#include "platform/pf/pf_text.h"
#include "platform/time/epochtime.h"

namespace {

int clampToInt(size_t n) { return n > INT_MAX ? INT_MAX : static_cast<int>(n); }

// A value as it may appear inside a log message: short, on one line.
std::string shown(std::string_view value) {
  constexpr size_t kMaxShown = 60;
  std::string out(value.substr(0, kMaxShown));
  for (char &c : out) {
    if (static_cast<unsigned char>(c) < 0x20) c = '?';
  }
  if (value.size() > kMaxShown) out += "...";
  return out;
}

// The text of the value that `key` names, trimmed; nullptr when the key is
// absent, is not a value, or its value is empty (getters then return 0).
const char *readable(Pf *pf, const char *key, std::string *trimmed) {
  Pf *value = nullptr;
  if (pfget(pf, key, &value) != PFSTRING) return nullptr;
  *trimmed = std::string(pfimpl::trimBlanks(value->value));
  return trimmed->empty() ? nullptr : trimmed->c_str();
}

void unreadable(const char *key, const std::string &value, const char *what) {
  elog_log(0, "parameter '%s' has the value '%s', which is not %s", shown(key).c_str(),
           shown(value).c_str(), what);
}

// Text without a leading '+', which from_chars does not take.
std::string_view withoutPlus(std::string_view text) {
  if (text.size() > 1 && text[0] == '+' && text[1] != '-' && text[1] != '+') text.remove_prefix(1);
  return text;
}

char *copyOut(const std::string &text) {
  char *out = static_cast<char *>(std::malloc(text.size() + 1));
  if (out) std::memcpy(out, text.c_str(), text.size() + 1);
  return out;
}

}  // namespace

extern "C" {

Pf *pfnew(int kind) {
  if (kind != PFSTRING && kind != PFTBL && kind != PFARR) return nullptr;
  return new (std::nothrow) Pf(kind);
}

void pffree(Pf *pf) { delete pf; }

int pfkind(Pf *pf) { return pf ? pf->kind : PFINVALID; }

const char *pfvalue(Pf *pf) { return pf && pf->kind == PFSTRING ? pf->value.c_str() : nullptr; }

int pfmaxtbl(Pf *pf) { return pf && pf->kind != PFSTRING ? clampToInt(pf->items.size()) : 0; }

int pfget(Pf *pf, const char *key, Pf **value) {
  Pf *found = nullptr;
  if (pf && key) {
    try {
      found = pfimpl::resolve(*pf, key);
    } catch (const std::bad_alloc &) {
      found = nullptr;
    }
  }
  if (value) *value = found;
  return found ? found->kind : PFINVALID;
}

int pfget_index(Pf *pf, int index, Pf **value) {
  Pf *found = nullptr;
  if (pf && pf->kind != PFSTRING && index >= 0 && static_cast<size_t>(index) < pf->items.size()) {
    found = pf->items[static_cast<size_t>(index)].get();
  }
  if (value) *value = found;
  return found ? found->kind : PFINVALID;
}

const char *pfkey_index(Pf *arr, int index) {
  if (!arr || arr->kind != PFARR || index < 0 || static_cast<size_t>(index) >= arr->keys.size()) {
    return nullptr;
  }
  return arr->keys[static_cast<size_t>(index)].c_str();
}

int pfresolve(Pf *pf, const char *path, int, Pf **value) {
  int kind = pfget(pf, path, value);
  return kind == PFINVALID ? -1 : kind;
}

int pfhas_key(Pf *pf, const char *key) { return pfget(pf, key, nullptr) != PFINVALID; }

char *pf2string(Pf *pf) {
  if (!pf) return nullptr;
  try {
    return copyOut(pfimpl::writeText(*pf));
  } catch (const std::bad_alloc &) {
    return nullptr;
  }
}

Pf *pfdup(Pf *pf) {
  if (!pf) return nullptr;
  try {
    return pfimpl::clone(*pf).release();
  } catch (const std::bad_alloc &) {
    return nullptr;
  }
}

int pfequal(Pf *a, Pf *b) {
  if (!a || !b) return a == b;
  try {
    return pfimpl::equal(*a, *b);
  } catch (const std::bad_alloc &) {
    return 0;
  }
}

int pfcompile(const char *text, Pf **pf) {
  if (!text || !pf) {
    elog_log(0, "pfcompile: no text or no object given");
    return -1;
  }
  Pf *target = *pf;
  if (target && target->kind == PFSTRING) {
    elog_log(0, "pfcompile: text can be compiled into an array or a list, not into a value");
    return -1;
  }
  try {
    auto parsed = std::make_unique<Pf>(target ? target->kind : PFARR);
    pfimpl::ParseError error;
    if (!pfimpl::parseText(text, *parsed, &error)) {
      elog_log(0, "parameter text line %zu: %s", error.line, error.reason.c_str());
      return -2;
    }
    if (target) {
      pfimpl::merge(*target, *parsed);
    } else {
      *pf = parsed.release();
    }
    return 0;
  } catch (const std::bad_alloc &) {
    elog_log(0, "pfcompile: out of memory");
    return -3;
  }
}

int pfput_string(Pf *pf, const char *key, const char *value) {
  if (!pf || !key || !value || pf->kind == PFSTRING) {
    elog_log(0, "pfput_string: needs an array or a list, a key and a value");
    return -1;
  }
  try {
    std::string why;
    if (pfimpl::putValue(*pf, key, value, &why)) return 0;
    elog_log(0, "pfput_string: key '%s' %s", shown(key).c_str(), why.c_str());
  } catch (const std::bad_alloc &) {
    elog_log(0, "pfput_string: out of memory");
  }
  return -1;
}

char *pfget_string(Pf *pf, const char *key) {
  Pf *value = nullptr;
  return pfget(pf, key, &value) == PFSTRING ? value->value.data() : nullptr;
}

int pfget_boolean(Pf *pf, const char *key) {
  std::string text;
  const char *v = readable(pf, key, &text);
  if (!v) return 0;
  for (const char *yes : {"true", "yes", "y", "on", "1"}) {
    if (strcasecmp(v, yes) == 0) return 1;
  }
  for (const char *no : {"false", "no", "n", "off", "0"}) {
    if (strcasecmp(v, no) == 0) return 0;
  }
  unreadable(key, text, "a boolean");
  return 0;
}

int pfget_int(Pf *pf, const char *key) {
  std::string text;
  if (!readable(pf, key, &text)) return 0;
  std::string_view digits = withoutPlus(text);
  int n = 0;
  auto [end, err] = std::from_chars(digits.data(), digits.data() + digits.size(), n);
  if (err != std::errc() || end != digits.data() + digits.size()) {
    unreadable(key, text, "an integer within the range of int");
    return 0;
  }
  return n;
}

double pfget_double(Pf *pf, const char *key) {
  std::string text;
  if (!readable(pf, key, &text)) return 0;
  std::string_view number = withoutPlus(text);
  double x = 0;
  auto [end, err] = std::from_chars(number.data(), number.data() + number.size(), x);
  if (err != std::errc() || end != number.data() + number.size() || !std::isfinite(x)) {
    unreadable(key, text, "a finite number");
    return 0;
  }
  return x;
}

double pfget_time(Pf *pf, const char *key) {
  std::string text;
  const char *v = readable(pf, key, &text);
  if (!v) return 0;
  double epoch = 0;
  if (!is_epoch_string(v, &epoch)) {
    unreadable(key, text, "a time");
    return 0;
  }
  return epoch;
}

}  // extern "C"
