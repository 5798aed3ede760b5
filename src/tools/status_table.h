// The terminal form of what `tarn status` shows: a line per server with its
// ring figures and packets per second, then a row per connection of every
// relay. Rows that need attention (network_view.h) start with '!' and, with
// `color`, are shown in bold red.
//
// Thread-safety: a plain function.
#pragma once

#include <string>

#include "tools/network_view.h"

namespace tarntool {

std::string renderTable(const NetworkView &view, bool color);

}  // namespace tarntool
