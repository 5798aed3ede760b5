// miniSEED records for tests and benchmarks, packed with libmseed from
// synthetic signals, and damaged copies of them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace mseedtest {

// One stream of samples and how to pack it.
struct Stream {
  std::string network = "XX", station = "STA", location = "00", channel = "HHZ";
  double start = 1796601600.0;  // 2026-12-07 00:00:00 UTC
  double rate = 100.0;
  int encoding = 11;  // STEIM2; 10 STEIM1, 3 INT32, 1 INT16
  int recordLength = 512;
  std::vector<int32_t> samples;
};

// `n` samples of a sine of `amplitude` and `period` samples plus a slow
// ramp, so that differences of every size occur.
std::vector<int32_t> sine(int n, int amplitude = 2000, int period = 50);

// The stream packed into records (the last one flushed), in order.
std::vector<std::string> pack(const Stream &stream);

// Damaged copies of a record.
std::string withBadHeader(std::string record);     // not a record header any more
std::string withBadStartTime(std::string record);  // day 400 of its year
std::string truncated(const std::string &record);  // its last 100 bytes gone
std::string withBrokenSteim(std::string record);   // a difference in its frames flipped

// The streams the seismic tests use: several sample rates; Steim-1, Steim-2
// and integer encodings; 512- and 4096-byte records; one stream with a gap
// (two parts, the second starting a minute after the first ends); one that
// starts before midnight and has a record spanning it. Each has a station
// of its own, so a file of each holds one stream.
std::vector<Stream> standardSet();

// The records of a stream joined, as a file holds them.
std::string joined(const std::vector<std::string> &records);

}  // namespace mseedtest
