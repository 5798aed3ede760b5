// Turns a fault on a ring file's mapping into an orderly stop.
//
// Touching a mapped page the file no longer backs (the file was shortened
// under the server, or its filesystem cannot write the page) raises SIGBUS.
// Unhandled, that kills the server without a word. A program that calls
// installRingFaultStop() instead gets, for a fault inside a mapping given to
// watchRingMapping(), one line on standard error naming the file and the
// offset, and exit status 1, at once.
//
// The stop is _exit from the handler, not a jump back into the server: the
// fault can come in the middle of any copy to or from the ring (a record
// half written, an index half updated), and no state after it could be
// trusted. Nothing is lost by not flushing: the mapping is shared, so every
// byte written before the fault is already in the file's page cache, and
// the next start recovers the file as after a kill (docs/tarn-ring-file.md).
// Puts the server had not yet acknowledged are sent again by their writers.
//
// A SIGBUS outside every watched mapping is not the ring's: the handler puts
// back the default action and returns, so the fault repeats and ends the
// process as it would have without the handler.
//
// The handler uses only write() and _exit(), and reads the table of
// mappings through lock-free atomics: it is async-signal-safe. Watching and
// unwatching are for one thread (the server's); at most kMaxWatched
// mappings are watched at once, more are not watched.
#pragma once

#include <cstddef>
#include <string>

namespace tarnserver {

constexpr int kRingFaultExit = 1;

void installRingFaultStop();
void watchRingMapping(const void *base, size_t len, const std::string &path);
void unwatchRingMapping(const void *base);

}  // namespace tarnserver
