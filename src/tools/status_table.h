// The terminal form of what `tarn status` shows: a line per server with its
// ring figures and packets per second, then a row per connection of every
// relay. Rows that need attention (network_view.h) start with '!' and, with
// `color`, are shown in bold red. What is wrong comes first: servers that are
// down before those up; relays needing attention, then the working ones, then
// the stopped (whose rows say "stopped ... ago" and are not marked); within a
// relay, its connections needing attention first.
//
// Thread-safety: a plain function.
#pragma once

#include <string>

#include "tools/network_view.h"

namespace tarntool {

std::string renderTable(const NetworkView &view, bool color);

}  // namespace tarntool
