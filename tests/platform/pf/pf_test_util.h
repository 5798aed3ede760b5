// Helpers shared by the parameter-file tests.
#pragma once

#include <cstdlib>
#include <memory>
#include <string>

#include "platform/elog/elog.h"
#include "platform/pf/pf.h"

namespace pftest {

struct PfDeleter {
  void operator()(Pf *pf) const { pffree(pf); }
};
using PfHolder = std::unique_ptr<Pf, PfDeleter>;

// The object of `text`, or null when it does not compile.
inline PfHolder compile(const std::string &text) {
  Pf *pf = nullptr;
  if (pfcompile(text.c_str(), &pf) != 0) return PfHolder();
  return PfHolder(pf);
}

inline std::string toText(Pf *pf) {
  char *text = pf2string(pf);
  std::string out = text ? text : "<null>";
  std::free(text);
  return out;
}

// What the library logged since the last call, as one text; then forgets it.
inline std::string drainLog() {
  char *text = elog_string(0);
  std::string out = text ? text : "";
  std::free(text);
  elog_flush(0, 0);
  return out;
}

// Writes the object and reads the text back into a new object of its kind.
inline PfHolder roundTrip(Pf *pf) {
  std::string text = toText(pf);
  Pf *back = pfnew(pfkind(pf));
  if (pfcompile(text.c_str(), &back) != 0) {
    pffree(back);
    return PfHolder();
  }
  return PfHolder(back);
}

inline std::string str(Pf *pf, const char *key) {
  const char *v = pfget_string(pf, key);
  return v ? v : "<absent>";
}

}  // namespace pftest
