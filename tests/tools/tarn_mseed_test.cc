// tarn import against a real server: files of records packed with libmseed
// arrive as one packet per record, unchanged, named and timed after their
// headers; damage is named with file and offset and skipped; pacing holds
// records back.
#include <gtest/gtest.h>

#include <chrono>
#include <sstream>

#include "mseed_samples.h"
#include "platform/mseed/mseed_record.h"
#include "platform/tarnclient/tarnclient.h"
#include "process.h"
#include "tarn_test_server.h"

namespace tarntest {
namespace {

using testsupport::ProcessResult;
using Records = std::vector<std::string>;

constexpr int kSteim1 = 10, kSteim2 = 11, kInt32 = 3, kInt16 = 1;
constexpr double kMidnight = 1796601600.0;  // 2026-12-07 00:00:00 UTC

Records pack(const std::string &station, const std::string &location, const std::string &channel,
             int encoding, int recordLength, double start, int samples, double rate = 100) {
  mseedtest::Stream s;
  s.station = station;
  s.location = location;
  s.channel = channel;
  s.encoding = encoding;
  s.recordLength = recordLength;
  s.start = start;
  s.rate = rate;
  s.samples = mseedtest::sine(samples);
  return mseedtest::pack(s);
}

struct Held {
  std::string srcname;
  double time;
  std::string bytes;
};

class TarnMseed : public ::testing::Test {
 protected:
  ProcessResult tarn(std::vector<std::string> args, const std::string &input = "") {
    args.insert(args.begin(), testsupport::programPath("tarn"));
    return testsupport::runProgram(args, std::chrono::seconds(60), input);
  }
  std::string file(const std::string &name, const std::string &content) {
    testsupport::writeFile(dir_.file(name), content);
    return dir_.file(name);
  }
  // Every packet the server holds, read with the client library.
  std::vector<Held> held(const std::string &tarn) {
    std::vector<Held> out;
    int fd = tarnopen(tarn.c_str(), "r&");
    tarnposition(fd, "oldest");
    char src[64];
    char *buf = nullptr;
    int bufsize = 0, id, n;
    double t;
    while (out.size() < 10000 && tarnreap_timeout(fd, 0.5, &id, src, &t, &buf, &n, &bufsize) == 0)
      out.push_back({src, t, std::string(buf, static_cast<size_t>(n))});
    std::free(buf);
    tarnclose(fd);
    return out;
  }
  // The server holds the records, each a packet named and timed by its header.
  void expectHolds(const std::string &tarn, const Records &records) {
    std::vector<Held> got = held(tarn);
    ASSERT_EQ(got.size(), records.size());
    for (size_t i = 0; i < records.size(); ++i) {
      std::vector<mseed::Record> h;
      ASSERT_EQ(mseed::check(records[i].data(), records[i].size(), &h), "");
      EXPECT_EQ(got[i].srcname, mseed::sourceName(h[0])) << i;
      EXPECT_EQ(got[i].time, h[0].start) << i;
      EXPECT_TRUE(got[i].bytes == records[i]) << "bytes of packet " << i;
    }
  }
  testsupport::TempDir dir_;
  TarnTestServer server_;
};

TEST_F(TarnMseed, ImportPutsEachRecordUnchangedNamedAndTimedByItsHeader) {
  Records a = pack("STA", "00", "HHZ", kSteim2, 512, kMidnight, 3000);
  Records b = pack("STB", "", "BHN", kSteim1, 4096, kMidnight + 0.5, 3000, 40);
  // 112 samples to an INT32 record at 10 a second: the first spans midnight;
  // then an hour's gap.
  Records c = pack("STC", "10", "LHZ", kInt32, 512, kMidnight - 5, 300, 10);
  Records gap = pack("STC", "10", "LHZ", kInt32, 512, kMidnight + 3600, 300, 10);
  Records d = pack("STD", "00", "HHE", kInt16, 512, kMidnight, 1000);
  Records all;  // two streams interleaved in the first file, as a station writes them
  for (size_t i = 0; i < a.size(); ++i) {
    all.push_back(a[i]);
    if (i < b.size()) all.push_back(b[i]);
  }
  size_t firstFile = all.size();
  for (const Records *r : {&c, &gap, &d}) all.insert(all.end(), r->begin(), r->end());
  ProcessResult run =
      tarn({"import", server_.name(),
            file("a.mseed", mseedtest::joined(Records(all.begin(), all.begin() + firstFile))),
            file("b.mseed", mseedtest::joined(Records(all.begin() + firstFile, all.end())))});
  EXPECT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.out, "tarn import: " + std::to_string(all.size()) +
                         " records put, 0 skipped, 4 streams, 2 of 2 files read\n");
  expectHolds(server_.name(), all);
  std::vector<Held> got = held(server_.name());
  ASSERT_EQ(got.size(), all.size());
  EXPECT_EQ(got[1].srcname, "XX_STB_BHN/MSEED");
  EXPECT_EQ(got[1].time, kMidnight + 0.5);
  EXPECT_EQ(got[firstFile].srcname, "XX_STC_LHZ_10/MSEED");
  EXPECT_EQ(got[firstFile].time, kMidnight - 5);
  EXPECT_EQ(got[firstFile + c.size()].time, kMidnight + 3600);
}

TEST_F(TarnMseed, DamageIsNamedWithFileAndOffsetAndSkippedWhileTheRestIsImported) {
  Records r = pack("STA", "00", "HHZ", kSteim2, 512, kMidnight, 4000);
  ASSERT_GE(r.size(), 9u);
  std::string garbage(100, '\0');
  for (size_t i = 0; i < garbage.size(); ++i) garbage[i] = static_cast<char>(i * 37 + 11);
  std::string path = file("damaged.mseed", r[0] + mseedtest::withBadHeader(r[1]) + r[2] +
                                               mseedtest::truncated(r[3]) + r[4] +
                                               mseedtest::withBrokenSteim(r[5]) + r[6] + garbage +
                                               r[7] + mseedtest::truncated(r[8]));
  ProcessResult run = tarn({"import", server_.name(), path});
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_EQ(run.out, "tarn import: 5 records put, 5 skipped, 1 streams, 1 of 1 files read\n");
  const std::pair<std::string, std::string> said[] = {
      {"byte 512: no miniSEED record header with its length (blockette 1000)", "; 512 bytes"},
      {"record at byte 1536: ", "; 412 bytes"},  // cut short: the next record starts inside it
      {"record at byte 2460: Steim frames do not decode", "; 512 bytes"},
      {"byte 3484: no miniSEED record header", "; 100 bytes"},
      {"record at byte 4096: truncated: 412 of 512 bytes", "; 412 bytes"}};
  std::istringstream err(run.err);
  std::string line;
  for (const auto &[starts, ends] : said) {
    ASSERT_TRUE(std::getline(err, line)) << run.err;
    EXPECT_TRUE(line.starts_with("tarn import: " + path + ": " + starts)) << line;
    EXPECT_TRUE(line.ends_with(ends + " skipped")) << line;
  }
  EXPECT_FALSE(std::getline(err, line)) << line;
  expectHolds(server_.name(), {r[0], r[2], r[4], r[6], r[7]});
}

TEST_F(TarnMseed, UnreadableFilesAndExitStatuses) {
  Records r = pack("STA", "", "HHZ", kSteim2, 512, kMidnight, 1000);
  std::string good = file("good.mseed", mseedtest::joined(r));
  ProcessResult run = tarn({"import", server_.name(), dir_.file("gone.mseed"), dir_.path(), good});
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_NE(run.err.find("gone.mseed: cannot read: No such file or directory"), std::string::npos);
  EXPECT_NE(run.err.find(dir_.path() + ": cannot read at byte 0: Is a directory"),
            std::string::npos)
      << run.err;
  EXPECT_EQ(run.out, "tarn import: " + std::to_string(r.size()) +
                         " records put, 0 skipped, 1 streams, 1 of 3 files read\n");
  expectHolds(server_.name(), r);
  EXPECT_EQ(tarn({"import", server_.name(), file("empty", "")}).exitStatus, 0);

  std::string gone;
  {
    TarnTestServer other;
    gone = other.name();
  }
  EXPECT_EQ(tarn({"import", gone, good}).exitStatus, 1);
  for (Records bad : {Records{},
                      {server_.name()},
                      {"--rate", "0", server_.name(), good},
                      {"--rate"},
                      {"--rate", "5", "--realtime", server_.name(), good},
                      {"--loud", server_.name(), good}}) {
    bad.insert(bad.begin(), "import");
    ProcessResult refused = tarn(bad);
    EXPECT_EQ(refused.exitStatus, 2);
    EXPECT_NE(refused.err.find("usage: tarn import"), std::string::npos);
  }
  EXPECT_EQ(held(server_.name()).size(), r.size());
}

TEST_F(TarnMseed, RateAndRealtimeHoldRecordsBack) {
  // 112 samples to an INT32 record at 1000 a second: 10 records start over
  // 1.008 seconds.
  std::string f =
      file("live", mseedtest::joined(pack("STA", "", "HHZ", kInt32, 512, 0, 1120, 1e3)));
  auto seconds = [&](Records args) {
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(tarn(args).exitStatus, 0);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  };
  EXPECT_GE(seconds({"import", "--rate", "20", server_.name(), f}), 0.45);  // 9 gaps of 50 ms
  EXPECT_GE(seconds({"import", "--realtime", server_.name(), f}), 1.0);
  EXPECT_EQ(held(server_.name()).size(), 20u);
}

}  // namespace
}  // namespace tarntest
