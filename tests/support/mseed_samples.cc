#include "mseed_samples.h"

#include <libmseed.h>

#include <cmath>
#include <cstring>
#include <stdexcept>

namespace mseedtest {
namespace {

void collect(char *record, int length, void *out) {
  static_cast<std::vector<std::string> *>(out)->emplace_back(record, static_cast<size_t>(length));
}

// The offset of the data in a record, from its fixed header (big-endian,
// as libmseed packs it).
size_t dataOffset(const std::string &record) {
  auto byte = [&](size_t i) { return static_cast<unsigned char>(record.at(i)); };
  return static_cast<size_t>(byte(44)) << 8 | byte(45);
}

}  // namespace

std::vector<int32_t> sine(int n, int amplitude, int period) {
  std::vector<int32_t> samples;
  for (int i = 0; i < n; ++i) {
    samples.push_back(static_cast<int32_t>(amplitude * std::sin(2 * M_PI * i / period) + i / 7));
  }
  return samples;
}

std::vector<std::string> pack(const Stream &s) {
  MSRecord *msr = msr_init(nullptr);
  std::strncpy(msr->network, s.network.c_str(), sizeof msr->network - 1);
  std::strncpy(msr->station, s.station.c_str(), sizeof msr->station - 1);
  std::strncpy(msr->location, s.location.c_str(), sizeof msr->location - 1);
  std::strncpy(msr->channel, s.channel.c_str(), sizeof msr->channel - 1);
  msr->dataquality = 'D';
  msr->starttime = static_cast<hptime_t>(std::llround(s.start * HPTMODULUS));
  msr->samprate = s.rate;
  msr->reclen = s.recordLength;
  msr->encoding = static_cast<int8_t>(s.encoding);
  msr->byteorder = 1;
  // libmseed packs every integer encoding (16-bit ones too) from 32-bit
  // samples, and may change them while it packs: it gets a copy.
  std::vector<int32_t> ints = s.samples;
  msr->datasamples = ints.data();
  msr->numsamples = static_cast<int64_t>(ints.size());
  msr->sampletype = 'i';
  std::vector<std::string> records;
  int64_t packed = 0;
  int count = msr_pack(msr, collect, &records, &packed, 1, 0);
  msr->datasamples = nullptr;  // ours, not libmseed's to free
  msr_free(&msr);
  if (count < 0 || packed != static_cast<int64_t>(s.samples.size())) {
    throw std::runtime_error("libmseed packed " + std::to_string(packed) + " of " +
                             std::to_string(s.samples.size()) + " samples");
  }
  return records;
}

std::string withBadHeader(std::string record) {
  record[6] = 'x';  // the data quality indicator
  return record;
}

std::string withBadStartTime(std::string record) {
  record[22] = 0x01;  // day 400 (0x0190), big-endian
  record[23] = static_cast<char>(0x90);
  return record;
}

std::string truncated(const std::string &record) { return record.substr(0, record.size() - 100); }

std::string withBrokenSteim(std::string record) {
  size_t second = dataOffset(record) + 64;  // the second frame: differences only
  record.at(second + 4 * 5 + 1) ^= 0x10;
  return record;
}

std::vector<Stream> standardSet() {
  auto make = [](const char *station, const char *channel, double rate, int encoding, int length,
                 int samples, double start) {
    Stream s;
    s.network = "XT";
    s.station = station;
    s.channel = channel;
    s.rate = rate;
    s.encoding = encoding;
    s.recordLength = length;
    s.start = start;
    s.samples = sine(samples, 3000, static_cast<int>(rate) * 2 + 7);
    return s;
  };
  const double day = 1796601600.0;  // 2026-12-07 00:00:00 UTC
  std::vector<Stream> set = {
      make("S1A", "HHZ", 100, 11, 512, 12000, day + 3600),
      make("S1B", "BHZ", 20, 10, 512, 4000, day + 3600),
      make("S2A", "HHN", 200, 11, 4096, 40000, day + 3600),
      make("S2B", "LHZ", 1, 3, 512, 600, day + 3600),
      make("S3A", "EHZ", 50, 1, 4096, 9000, day + 3600),
      make("S4A", "HHE", 100, 11, 512, 6000, day - 20),  // spans midnight
  };
  set.back().location = "";
  Stream before = make("S5A", "HHZ", 100, 11, 512, 3000, day + 7200);
  Stream after = before;
  after.start = before.start + 3000 / 100.0 + 60;  // a minute's gap
  after.samples = sine(2000, 1500, 31);
  set.push_back(before);
  set.push_back(after);
  return set;
}

std::string joined(const std::vector<std::string> &records) {
  std::string all;
  for (const std::string &r : records) all += r;
  return all;
}

}  // namespace mseedtest
