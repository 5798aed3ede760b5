// Keys and paths: how a text such as "connections_special{status_create}{run}"
// or "connections[2]" finds an entry inside nested objects.
//
// A key that an associative array holds as it is always names that entry, so
// keys that contain braces stay reachable. Otherwise the text is a path: a
// first key (or, on a list, an index), then steps "{key}" into arrays or
// "{index}"/"[index]" into lists, indexes counted from 0.
#pragma once

#include <string>
#include <string_view>

#include "platform/pf/pf_object.h"

namespace pfimpl {

// The entry that `key` names in `pf`, or nullptr.
Pf *resolve(Pf &pf, std::string_view key);

// Sets the entry that `key` names to a value: replaces it in its place, adds
// a new key at the end of its array, or appends to a list when the index is
// the list's length. In an array, a key that is no way into existing objects
// is set as it is, so that a later look-up of the same text finds it. Returns
// false with *why set when a key given to a list names no place in it.
bool putValue(Pf &pf, std::string_view key, std::string_view value, std::string *why);

}  // namespace pfimpl
