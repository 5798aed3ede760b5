// Reads the miniSEED streams `tarn monitor` draws from one tarn server into
// a TraceStore: one descriptor that selects the chosen source names, starts
// at the packets of about the store's window before now (tarnafter) and
// then follows what arrives. Packets whose source name does not end in
// /MSEED are passed over. A server that cannot be reached is tried again at
// the next step; once connected, the tarn library mends a lost connection
// and resumes after the last packet read.
//
// Thread-safety: a TraceReader is used by one thread at a time; the store
// may be shared.
#pragma once

#include <string>
#include <vector>

#include "tools/trace_store.h"

namespace tarntool {

// The source names that any of the POSIX extended regular expressions
// matches whole, as one expression; "" and the reason when one of them
// does not compile.
std::string traceExpression(const std::vector<std::string> &patterns, std::string &why);

class TraceReader {
 public:
  static constexpr double kLookbackMargin = 60.0;  // seconds before the window: a record
                                                   // that began earlier may reach into it
  static constexpr int kMaxBatch = 1000;           // packets taken in one step at most

  TraceReader(std::string tarn, std::string expression, TraceStore &store);
  ~TraceReader();
  TraceReader(const TraceReader &) = delete;
  TraceReader &operator=(const TraceReader &) = delete;

  // Connects when not connected (false when the server cannot be reached),
  // else takes the packets that arrive within `wait` seconds, and at once
  // those already waiting, up to kMaxBatch.
  bool step(double wait);

 private:
  bool connect();

  const std::string tarn_;
  const std::string expression_;
  TraceStore &store_;
  int fd_ = -1;
  char *buf_ = nullptr;  // reap buffer, grown by the library
  int bufsize_ = 0;
};

}  // namespace tarntool
