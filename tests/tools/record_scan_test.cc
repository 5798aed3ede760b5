// scanRecords on a file as it grows: any prefix decides what it decides as
// the whole file does, damage is skipped only once a header follows it, and
// a stretch read again up to a saved stop splits into the same records.
#include "tools/record_scan.h"

#include <gtest/gtest.h>

#include "mseed_samples.h"

namespace tarntool {
namespace {

TEST(RecordScan, EveryPrefixDecidesAsTheWholeFileDoes) {
  mseedtest::Stream s;
  s.samples = mseedtest::sine(4000);
  std::vector<std::string> r = mseedtest::pack(s);
  ASSERT_GE(r.size(), 9u);
  std::string garbage(300, '\x5a');
  // A record the writer cut short and then wrote the next one after, a
  // broken record, and bytes that are no record, among good records.
  std::string file = r[0] + r[1] + mseedtest::truncated(r[2]) + r[3] + garbage + r[4] +
                     mseedtest::withBrokenSteim(r[5]) + r[6] + mseedtest::withBadHeader(r[7]) +
                     r[8];
  RecordScan whole = scanRecords(file.data(), file.size(), file.size(), 1000);
  std::vector<size_t> starts;
  for (const ScannedRecord &rec : whole.records) starts.push_back(rec.at);
  size_t t = 412 + 1024;  // where r[3] starts
  EXPECT_EQ(starts, (std::vector<size_t>{0, 512, t, t + 812, t + 1836, t + 2860}));
  EXPECT_EQ(whole.stop, file.size());
  ASSERT_EQ(whole.damage.size(), 4u);
  EXPECT_EQ(whole.damage[1].at, t + 512);
  EXPECT_EQ(whole.damage[1].length, 300u);

  size_t lastStop = 0;
  for (size_t n = 0; n <= file.size(); ++n) {
    RecordScan part = scanRecords(file.data(), n, n, 1000);
    ASSERT_LE(part.records.size(), starts.size());
    for (size_t i = 0; i < part.records.size(); ++i) ASSERT_EQ(part.records[i].at, starts[i]) << n;
    ASSERT_GE(part.stop, lastStop) << n;
    ASSERT_LE(part.stop, n);
    // Read again up to that stop, with more of the file in view: the same.
    RecordScan again = scanRecords(file.data(), file.size(), part.stop, 1000);
    ASSERT_EQ(again.stop, part.stop) << n;
    ASSERT_EQ(again.records.size(), part.records.size()) << n;
    lastStop = part.stop;
  }
  // A record whose last byte is missing waits; so do bytes after damage
  // until a header follows them.
  EXPECT_EQ(scanRecords(file.data(), 1023, 1023, 1000).stop, 512u);
  EXPECT_EQ(scanRecords(file.data(), t + 812, t + 812, 1000).stop, t + 512);
}

TEST(RecordScan, StopsAtTheRecordLimit) {
  mseedtest::Stream s;
  s.samples = mseedtest::sine(3000);
  std::string file = mseedtest::joined(mseedtest::pack(s));
  RecordScan scan = scanRecords(file.data(), file.size(), file.size(), 3);
  EXPECT_TRUE(scan.full);
  EXPECT_EQ(scan.records.size(), 3u);
  EXPECT_EQ(scan.stop, 3 * 512u);
}

}  // namespace
}  // namespace tarntool
