// tarn import and tarn tail --mseed / --data against a real server: files of
// records packed with libmseed arrive as one packet per record, unchanged,
// named and timed after their headers; damage is named with file and offset
// and skipped; pacing holds records back; tail shows each record's header
// and hands the bytes back in the form tarn put takes.
#include <gtest/gtest.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <sstream>

#include "mseed_samples.h"
#include "platform/mseed/mseed_record.h"
#include "platform/pkt/crc32.h"
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

std::string crcText(const std::string &bytes) {
  char hex[9];
  std::snprintf(hex, sizeof hex, "%08x", crc32_ieee(bytes.data(), bytes.size()));
  return hex;
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
  // Puts (source name, bytes) packets timed 5 with the client library.
  bool put(const std::vector<std::pair<std::string, std::string>> &packets) {
    int fd = tarnopen(server_.name().c_str(), "w&");
    for (const auto &[src, bytes] : packets)
      tarnput(fd, src.c_str(), 5.0, bytes.data(), static_cast<int>(bytes.size()));
    return fd >= 0 && tarnclose(fd) == 0;
  }
  std::vector<nlohmann::json> jsonLines(const std::string &out) {
    std::vector<nlohmann::json> v;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) v.push_back(nlohmann::json::parse(line));
    return v;
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

// A station's files, one per channel, over the same second: played in real
// time they go as the station sent them, in time order across the files.
TEST_F(TarnMseed, RealtimePlaysAStationsChannelFilesInterleavedInTimeOrder) {
  std::vector<std::string> args = {"import", "--realtime", server_.name()};
  Records all;
  double offset = 0;
  for (const char *channel : {"HHZ", "HHN", "HHE"}) {
    Records r = pack("STA", "", channel, kInt32, 512, kMidnight + offset, 1120, 1e3);
    all.insert(all.end(), r.begin(), r.end());
    args.push_back(file(std::string(channel) + ".mseed", mseedtest::joined(r)));
    offset += 0.037;
  }
  ProcessResult run = tarn(args);
  EXPECT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_EQ(run.out, "tarn import: 30 records put, 0 skipped, 3 streams, 3 of 3 files read\n");
  std::vector<Held> got = held(server_.name());
  ASSERT_EQ(got.size(), all.size());
  std::vector<std::string> names;
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_LE(got[i > 0 ? i - 1 : 0].time, got[i].time) << i;
    names.push_back(got[i].srcname);
  }
  EXPECT_EQ(std::vector<std::string>(names.begin(), names.begin() + 3),
            (std::vector<std::string>{"XX_STA_HHZ/MSEED", "XX_STA_HHN/MSEED", "XX_STA_HHE/MSEED"}));
}

TEST_F(TarnMseed, TailShowsEachRecordOfMseedPacketsAndWhyOthersDoNotCheck) {
  Records r = pack("STA", "00", "HHZ", kSteim2, 512, kMidnight, 1200);
  ASSERT_EQ(tarn({"import", server_.name(), file("a", mseedtest::joined(r))}).exitStatus, 0);
  ASSERT_TRUE(put({{"XX_STA_HHZ_00/MSEED", r[0] + r[1]},
                   {"XX_STA_HHZ_00/MSEED", mseedtest::withBrokenSteim(r[2])},
                   {"AA/x", "plain"}}));
  Records tail = {"tail", server_.name(), "--from", "oldest", "-t", "0.5", "--mseed"};
  Records asJson = tail;
  asJson.push_back("--json");
  ProcessResult json = tarn(asJson);
  auto lines = jsonLines(json.out);
  ASSERT_EQ(lines.size(), r.size() + 4);
  int64_t samples = 0;
  for (size_t i = 0; i < r.size(); ++i) {
    const nlohmann::json &j = lines[i];
    EXPECT_EQ(j["crc32"], crcText(r[i]));
    EXPECT_EQ(j["stream"], "XX.STA.00.HHZ");
    EXPECT_EQ(j["start"], j["time"]);
    EXPECT_EQ(j["start"].get<double>(), kMidnight + samples / 100.0);
    samples += j["nsamples"].get<int64_t>();
    EXPECT_EQ(j["end"].get<double>(), kMidnight + (samples - 1) / 100.0);
    EXPECT_EQ(j["samprate"], 100.0);
    EXPECT_EQ(j["encoding"], "STEIM2");
    EXPECT_EQ(j["reclen"], 512);
  }
  EXPECT_EQ(samples, 1200);
  // A packet of two records: an object for each, with the packet's fields.
  const nlohmann::json &p0 = lines[r.size()], &p1 = lines[r.size() + 1];
  EXPECT_EQ(p0["pktid"], p1["pktid"]);
  EXPECT_EQ(p1["nbytes"], 1024);
  EXPECT_EQ(p1["crc32"], crcText(r[0] + r[1]));
  EXPECT_EQ(p1["start"], lines[1]["start"]);
  EXPECT_NE(lines[r.size() + 2]["problem"].get<std::string>().find(
                "record at byte 0: Steim frames do not decode"),
            std::string::npos);
  EXPECT_FALSE(lines[r.size() + 2].contains("stream"));
  EXPECT_TRUE(json.out.ends_with(R"(,"srcname":"AA/x","time":5.0,"nbytes":5,"crc32":")" +
                                 crcText("plain") + "\"}\n"));

  std::string text = tarn(tail).out;
  for (const std::string &shown :
       Records{"#0 XX.STA.00.HHZ 2026-12-07 00:00:00.000 UTC to 2026-12-07 00:00:0",
               ", 100 Hz, " + lines[0]["nsamples"].dump() + " samples, STEIM2, 512-byte record\n",
               "\n#" + std::to_string(r.size()) + " XX.STA.00.HHZ 2026-12-07 00:00:00.000 UTC",
               "\n  not valid miniSEED: record at byte 0: Steim frames do not decode",
               " AA/x 1970-01-01 00:00:05.000 UTC (5.000000) 5 bytes crc32 "}) {
    EXPECT_NE(text.find(shown), std::string::npos) << shown << "\n" << text;
  }
}

TEST_F(TarnMseed, DataGivesTheBytesAsTarnPutTakesThem) {
  Records r = pack("STA", "00", "HHZ", kSteim1, 512, kMidnight, 800);
  std::vector<std::pair<std::string, std::string>> packets = {
      {"AA/x", std::string("\x00\x01\x02\xff", 4)}, {"AA/x", ""}, {"AA/x", "a"}, {"AA/x", "ab"}};
  ASSERT_TRUE(put(packets));
  ASSERT_TRUE(put({{"XX_STA_HHZ_00/MSEED", r[0] + r[1]}}));
  ProcessResult tail = tarn(
      {"tail", server_.name(), "--from", "oldest", "-t", "0.5", "--json", "--data", "--mseed"});
  auto lines = jsonLines(tail.out);
  ASSERT_EQ(lines.size(), 6u);
  const char *const base64[] = {"AAEC/w==", "", "YQ==", "YWI="};
  for (size_t i = 0; i < 4; ++i) EXPECT_EQ(lines[i]["data"], base64[i]);
  // Put back through tarn put, each line makes its packet, or its record's.
  TarnTestServer copy;
  ASSERT_EQ(tarn({"put", copy.name()}, tail.out).exitStatus, 0);
  std::vector<Held> copied = held(copy.name());
  ASSERT_EQ(copied.size(), 6u);
  for (size_t i = 0; i < 4; ++i) EXPECT_TRUE(copied[i].bytes == packets[i].second) << i;
  EXPECT_TRUE(copied[4].bytes == r[0]);
  EXPECT_TRUE(copied[5].bytes == r[1]);
  EXPECT_EQ(tarn({"tail", server_.name(), "-t", "0.1", "--data"}).exitStatus, 2);
}

}  // namespace
}  // namespace tarntest
