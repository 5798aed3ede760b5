// libFuzzer entry: the input is parameter text (up to its first NUL byte).
// It is compiled as an array and as a list; what compiles must survive a
// round trip, and look-ups and puts with the text as key must not fail badly.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/elog/elog.h"
#include "platform/pf/pf.h"

namespace {

void roundTrip(Pf *pf) {
  char *text = pf2string(pf);
  if (!text) std::abort();
  Pf *back = pfnew(pfkind(pf));
  if (pfcompile(text, &back) != 0 || !pfequal(pf, back)) std::abort();
  pffree(back);
  std::free(text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string text(reinterpret_cast<const char *>(data), size);
  text.resize(text.find('\0') == std::string::npos ? text.size() : text.find('\0'));
  for (int kind : {PFARR, PFTBL}) {
    Pf *pf = pfnew(kind);
    if (pfcompile(text.c_str(), &pf) == 0) {
      roundTrip(pf);
      pfget(pf, text.c_str(), nullptr);
      pfget_boolean(pf, text.c_str());
      pfget_time(pf, text.c_str());
      if (pfput_string(pf, text.c_str(), text.c_str()) == 0 && kind == PFARR &&
          pfget_string(pf, text.c_str()) == nullptr) {
        std::abort();  // what was put must be found again by the same key
      }
      roundTrip(pf);
    }
    pffree(pf);
  }
  elog_flush(0, 0);
  return 0;
}
