// miniSEED records (SEED 2.4 data records, as the field's stations and
// archives carry them), read through libmseed: checking that a packet's
// bytes are whole, valid records of one stream, what their headers say,
// their samples, and how the relay names their packets.
//
// A packet of miniSEED holds one record, or a few records of one stream
// one after another, unchanged. Its source name is NET_STA_CHAN/MSEED, or
// NET_STA_CHAN_LOC/MSEED when the location is not empty (docs/packets.md):
// the packet library's own order of the parts, with no separator left for
// an empty location, so the name reads back into the same four codes.
//
// Failures are answered as texts saying why ("" when all is well); nothing
// is printed (libmseed's own messages are silenced).
//
// Thread-safety: every function may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace mseed {

// The suffix of a miniSEED packet's source name.
inline constexpr const char *kSuffix = "MSEED";

// A record's header, as the tools show it.
struct Record {
  std::string network, station, location, channel;
  char quality = 'D';
  double start = 0;       // epoch seconds of the first sample
  double end = 0;         // of the last sample
  double sampleRate = 0;  // samples per second (0: no samples, or a log record)
  int64_t samples = 0;
  int encoding = 0;  // the SEED encoding code
  int length = 0;    // the record's length in bytes
};

// "STEIM1", "STEIM2", "INT16", "INT32", "FLOAT32", "FLOAT64", "ASCII", or
// "CODE n".
std::string encodingName(int encoding);

// Checks `n` bytes as the records of one packet: every record whole (its
// length is what its header says), its header, length and start time valid,
// its data decoding to the number of samples its header announces (Steim
// frames ending on the sample their integration constant names), and all
// of one stream. "" when they are; else why not, naming the record by its
// byte offset. `records`, when given, receives each record's header.
std::string check(const char *bytes, size_t n, std::vector<Record> *records = nullptr);

// The same without decoding the samples: whole records of one stream whose
// header, length and start time are valid. For a program that needs to know
// where records are and what they are, not whether their data decode.
std::string headers(const char *bytes, size_t n, std::vector<Record> *records = nullptr);

// The length of the record that starts at `bytes` (its header says so),
// or 0 when no record header starts there.
int recordLength(const char *bytes, size_t n);

// The samples of one packet's records, in order, as numbers (text records
// give none); "" or why they cannot be had.
std::string decode(const char *bytes, size_t n, std::vector<double> &samples,
                   std::vector<Record> *records = nullptr);

// The text of the ASCII records (log records, and the INFO answers of a
// SeedLink 3.1 server) among a packet's records, in order; "" or why the
// records cannot be read.
std::string text(const char *bytes, size_t n, std::string &out);

// "NET_STA_CHAN_LOC/MSEED" ("NET_STA_CHAN/MSEED" for an empty location).
std::string sourceName(const Record &record);
// The codes a miniSEED source name holds; false for a name that is not one.
bool parseSourceName(const std::string &name, std::string &network, std::string &station,
                     std::string &location, std::string &channel);
// Whether the source name's suffix is MSEED (in any case).
bool isMseedSourceName(const char *srcname);

}  // namespace mseed
