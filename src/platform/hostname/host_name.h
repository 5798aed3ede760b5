// Which texts name a host: a dotted IPv4 address or a host name, checked by
// their form alone, before any resolver sees them. A text that is neither
// (a bare number such as 1796600002, which the resolver would take for an
// address; "010.1.1.1", which it would read as octal; "no_such host") is
// refused by the programs that take host names, with a message, instead of
// being tried.
//
// Pure functions: safe from any thread.
#pragma once

#include <string>

namespace hostname {

// Four decimal numbers from 0 to 255, separated by dots, without leading
// zeros: "127.0.0.1".
bool isDottedAddress(const std::string &text);

// Labels of letters, digits and inner hyphens (1 to 63 characters each)
// separated by dots, at most 253 characters, one final dot allowed; the last
// label is not a number.
bool isHostName(const std::string &text);

// A text made only of digits and dots must be a dotted address; any other a
// host name.
bool namesAHost(const std::string &text);

}  // namespace hostname
