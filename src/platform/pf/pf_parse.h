// Reading and writing the parameter-file text form (docs/parameter-files.md).
//
// The reader works line by line with an explicit stack of the objects still
// open, so its cost is linear in the text and no text, however nested or
// long, can exhaust the thread's stack.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/pf/pf_object.h"

namespace pfimpl {

struct ParseError {
  size_t line = 0;     // from 1
  std::string reason;  // e.g. "'}' closes nothing"
};

// Reads `text` into `root`, an empty PFARR (lines of key and value) or PFTBL
// (every line an entry). On failure returns false with *error filled; `root`
// then holds what was read before the fault.
bool parseText(std::string_view text, Pf &root, ParseError *error);

// The text of an array's entries or a list's entries; a value's text itself.
std::string writeText(const Pf &pf);

}  // namespace pfimpl
