// Strict readers of the configuration's values.
//
// The parameter-file library reads a value it cannot read as 0 or false and
// only records that in the log; the relay must not run on such a value. These
// readers accept exactly the texts that mean what they say and report
// anything else, so that configuration refuses it with a message naming the
// key, the connection and the value. Each answers false (or a reason) and
// leaves the output alone on a text it refuses.
//
// Pure functions of their arguments: safe from any thread.
#pragma once

#include <string>

namespace configvalues {

// true/false, yes/no, y/n, on/off, 1/0 in any case, as the library reads
// them; the empty text is refused.
bool readBoolean(const std::string &text, bool &out);

// A finite decimal number, with an optional sign and exponent ("2.5", "-1",
// "3e2"); hexadecimal, "inf", "nan" and the empty text are refused.
bool readNumber(const std::string &text, double &out);

// A decimal integer from `min` to `max`, with an optional sign.
bool readInteger(const std::string &text, long min, long max, long &out);

// A size in bytes: a whole number, 0 or more, with an optional k, M or G
// (powers of 1024, either case), at most 1 TiB.
bool readSize(const std::string &text, long &out);

// Why `name` is not a tarn name ("host:port", ":port" or "host"), or "" when
// it is one. The port is 1 to 65535; the host names a host by its form
// (platform/hostname/host_name.h); a bare number does not, and its reason
// shows the port written as one (":6520").
std::string tarnNameProblem(const std::string &name);

// Why `name` cannot be the relay's target name (-t), or "" when it can: it
// starts the source names of the relay's own packets ("<name>/pf/st" and
// "<name>/log"), which must fit in `maxSourceName` characters, and it is one
// word of printable characters.
std::string targetNameProblem(const std::string &name, size_t maxSourceName);

}  // namespace configvalues
