// The monitor's waveforms: records joined into segments and split at gaps
// and rate changes, repeats and records out of order, the window and the
// memory bounds, the min/max columns of dense streams, records that do not
// check, the patterns as one expression, and the page's embedded documents.
#include <gtest/gtest.h>

#include <algorithm>

#include "mseed_samples.h"
#include "tools/monitor_page.h"
#include "tools/trace_reader.h"
#include "tools/trace_store.h"

namespace tarntool {
namespace {

using Json = nlohmann::ordered_json;

const char kLow[] = "XX_STA_LHZ_00/MSEED";
const char kHigh[] = "XX_STA_HHZ_00/MSEED";
constexpr double kStart = 1796601600.0;

// `n` samples at 1 Hz from `start` (INT32 in 256-byte records: 50 a record).
mseedtest::Stream lowRate(double start, int n, int offset = 0, double rate = 1.0) {
  mseedtest::Stream s;
  s.channel = "LHZ";
  s.start = start;
  s.rate = rate;
  s.encoding = 3;
  s.recordLength = 256;
  for (int v : mseedtest::sine(n + offset)) s.samples.push_back(v);
  s.samples.erase(s.samples.begin(), s.samples.begin() + offset);
  return s;
}

void put(TraceStore &store, const mseedtest::Stream &s, double now) {
  std::string name = s.network + "_" + s.station + "_" + s.channel + "_" + s.location + "/MSEED";
  for (const std::string &r : mseedtest::pack(s)) store.addPacket(name, r.data(), r.size(), now);
}

const Json &streamIn(const Json &doc, const std::string &name) {
  for (const Json &s : doc["streams"]) {
    if (s["name"] == name) return s;
  }
  static const Json none;
  ADD_FAILURE() << "no stream " << name << " in " << doc.dump();
  return none;
}

std::vector<int> samplesOf(const Json &segment) { return segment.at("samples"); }

std::vector<int> slice(const std::vector<int32_t> &v, size_t from, size_t n) {
  return std::vector<int>(v.begin() + from, v.begin() + from + n);
}

TEST(TraceSegments, RecordsJoinUntilAGapOrARateChange) {
  TraceStore store;
  double now = kStart + 500;
  mseedtest::Stream a = lowRate(kStart, 150);                       // 4 records
  mseedtest::Stream b = lowRate(kStart + 150 + 0.4, 30, 150);       // 1.4 intervals on: joined
  mseedtest::Stream c = lowRate(kStart + 180.4 + 0.6, 30, 180);     // 1.6 on: a gap
  mseedtest::Stream d = lowRate(kStart + 210.4 + 0.5, 40, 210, 2);  // another rate
  for (const auto &s : {a, b, c, d}) put(store, s, now);

  Json doc = store.toJson(now, 1000);
  const Json &low = streamIn(doc, kLow);
  ASSERT_EQ(low["segments"].size(), 3u) << low.dump();
  const Json &first = low["segments"][0];
  EXPECT_EQ(first["start"], kStart);
  EXPECT_NEAR(first["end"], kStart + 179.4, 1e-6);
  EXPECT_EQ(first["sample_rate"], 1.0);
  std::vector<int32_t> all = mseedtest::sine(250);
  EXPECT_EQ(samplesOf(first), slice(all, 0, 180));
  EXPECT_EQ(low["segments"][1]["start"], kStart + 181.0);
  EXPECT_EQ(samplesOf(low["segments"][1]), slice(all, 180, 30));
  EXPECT_EQ(low["segments"][2]["sample_rate"], 2.0);
  EXPECT_EQ(samplesOf(low["segments"][2]), slice(all, 210, 40));
  EXPECT_EQ(low["records"], 3 + 1 + 1 + 1);
  EXPECT_EQ(low["sample_rate"], 2.0);
  EXPECT_NEAR(low["newest_sample_time"], kStart + 230.4, 1e-6);
  EXPECT_DOUBLE_EQ(low["newest_sample_age_seconds"], now - low["newest_sample_time"].get<double>());
}

TEST(TraceSegments, RecordsOutOfOrderFallIntoPlaceAndRepeatsAreLeftOut) {
  mseedtest::Stream s = lowRate(kStart, 250);
  std::vector<std::string> records = mseedtest::pack(s);
  ASSERT_EQ(records.size(), 5u);
  double now = kStart + 300;
  TraceStore store;
  for (int i : {0, 3, 1, 1, 4, 2, 3}) {
    store.addPacket(kLow, records[i].data(), records[i].size(), now);
    if (i == 4) {
      EXPECT_EQ(streamIn(store.toJson(now, 1000), kLow)["segments"].size(), 2u);
    }
  }
  const Json low = streamIn(store.toJson(now, 1000), kLow);
  ASSERT_EQ(low["segments"].size(), 1u) << low.dump();
  EXPECT_EQ(samplesOf(low["segments"][0]), slice(s.samples, 0, 250));
  EXPECT_EQ(low["records"], 5);
  EXPECT_EQ(low["repeated_records"], 2);
  EXPECT_EQ(store.sampleCount(kLow), 250u);
}

// The window ends at the later of now and the newest sample; records
// wholly before it go, the one that straddles its start stays, and only the
// axis up to now is drawn.
TEST(TraceWindow, OldRecordsGoAndTheNewestTimeStays) {
  TraceLimits limits;
  limits.windowSeconds = 100;
  TraceStore store(limits);
  put(store, lowRate(kStart, 240), kStart + 240);  // records of 50 s
  // [kStart+140, kStart+240]: records from 100 s on.
  EXPECT_EQ(store.sampleCount(kLow), 240u - 100);
  Json low = streamIn(store.toJson(kStart + 240, 100), kLow);
  ASSERT_EQ(low["segments"].size(), 1u);
  EXPECT_EQ(low["segments"][0]["start"], kStart + 140);
  EXPECT_EQ(low["segments"][0]["sample_count"], 100);

  // Time passes without data: nothing is drawn, the stream and its time
  // stay, and the samples go once a record comes (one before the window).
  low = streamIn(store.toJson(kStart + 1000, 100), kLow);
  EXPECT_TRUE(low["segments"].empty());
  EXPECT_EQ(low["newest_sample_time"], kStart + 239);
  EXPECT_EQ(low["newest_sample_age_seconds"], 1000 - 239);
  put(store, lowRate(kStart - 1000, 10), kStart + 1000);
  EXPECT_EQ(store.sampleCount(kLow), 0u);
  EXPECT_EQ(streamIn(store.toJson(kStart + 1000, 100), kLow)["records"], 3);

  // Samples stamped after now are kept (the window follows them) but not drawn.
  store.addRecord(kLow, kStart + 2000, 1.0, {5, 6, 7}, kStart + 1001);
  EXPECT_EQ(store.sampleCount(kLow), 3u);
  EXPECT_TRUE(streamIn(store.toJson(kStart + 1001, 100), kLow)["segments"].empty());
}

TEST(TraceWindow, StreamsAndSamplesAreBounded) {
  TraceLimits limits;
  limits.maxStreams = 2;
  limits.maxSamplesPerStream = 100;
  TraceStore store(limits);
  double now = kStart + 500;
  put(store, lowRate(kStart, 200), now);
  EXPECT_LE(store.sampleCount(kLow), 100u);
  EXPECT_GE(store.sampleCount(kLow), 100u - 50);
  Json low = streamIn(store.toJson(now, 1000), kLow);
  EXPECT_EQ(low["segments"][0]["end"], kStart + 199);  // the oldest went

  mseedtest::Stream other = lowRate(kStart, 10);
  other.station = "B";
  put(store, other, now);
  other.station = "C";
  put(store, other, now);
  put(store, other, now);
  Json doc = store.toJson(now, 1000);
  EXPECT_EQ(doc["streams"].size(), 2u);
  EXPECT_EQ(doc["streams_left_out"], 1);
}

// 100 Hz over ten minutes in 500 columns: a pair per column, each the
// least and largest sample of its 1.2 s.
TEST(TraceColumns, DenseStreamsGiveTheRangeOfEachColumn) {
  mseedtest::Stream s;
  s.start = kStart + 0.005;
  s.samples = mseedtest::sine(60000, 3000, 777);
  s.samples[31234] = 99999;  // a spike must show
  double now = kStart + 600;
  TraceStore store;
  put(store, s, now);
  Json doc = store.toJson(now, 500);
  EXPECT_EQ(doc["columns"], 500);
  EXPECT_DOUBLE_EQ(doc["column_seconds"], 1.2);
  const Json &high = streamIn(doc, kHigh);
  ASSERT_EQ(high["segments"].size(), 1u);
  const Json &seg = high["segments"][0];
  EXPECT_FALSE(seg.contains("samples"));
  EXPECT_EQ(seg["sample_count"], 60000);
  EXPECT_EQ(seg["column"], 0);
  ASSERT_EQ(seg["minmax"].size(), 500u);
  std::vector<std::pair<int, int>> want(500, {INT32_MAX, INT32_MIN});
  for (int i = 0; i < 60000; ++i) {
    auto &[lo, hi] = want[static_cast<int>((0.005 + i / 100.0) / 1.2)];
    lo = std::min(lo, s.samples[i]);
    hi = std::max(hi, s.samples[i]);
  }
  for (size_t c = 0; c < 500; ++c) {
    EXPECT_EQ(seg["minmax"][c][0], want[c].first) << c;
    EXPECT_EQ(seg["minmax"][c][1], want[c].second) << c;
  }
  EXPECT_EQ(seg["minmax"][31234 * 500 / 60000][1], 99999);

  // Columns asked for are kept within bounds; a sparse stream gives its samples.
  EXPECT_EQ(store.toJson(now, 1)["columns"], TraceStore::kMinColumns);
  EXPECT_EQ(store.toJson(now, 1 << 30)["columns"], TraceStore::kMaxColumns);
  const Json fine = streamIn(store.toJson(now - 590, TraceStore::kMaxColumns), kHigh);
  EXPECT_EQ(fine["segments"][0]["sample_count"], 1000);  // 0.12 s a column: 10 s of samples
  EXPECT_TRUE(fine["segments"][0].contains("minmax"));
}

TEST(TraceRecords, ThoseThatDoNotCheckAreCountedAndTheRestDrawn) {
  mseedtest::Stream s;
  s.samples = mseedtest::sine(3000);
  std::vector<std::string> r = mseedtest::pack(s);
  ASSERT_GE(r.size(), 4u);
  double now = s.start + 100;
  TraceStore store;
  std::string packet = r[0] + mseedtest::withBrokenSteim(r[1]) + r[2];
  store.addPacket(kHigh, packet.data(), packet.size(), now);
  Json high = streamIn(store.toJson(now, 1000), kHigh);
  EXPECT_EQ(high["records"], 2);
  EXPECT_EQ(high["bad_records"], 1);
  EXPECT_EQ(high["segments"].size(), 2u);  // the broken record is a gap
  std::string problem = high["problem"];
  EXPECT_EQ(problem.rfind("record at byte 512: Steim frames do not decode", 0), 0u) << problem;

  for (const std::string &bad : {mseedtest::withBadHeader(r[3]), mseedtest::withBadStartTime(r[3]),
                                 mseedtest::truncated(r[3]), std::string("not a record at all")}) {
    store.addPacket(kHigh, bad.data(), bad.size(), now);
  }
  mseedtest::Stream other = s;
  other.station = "OTHER";
  std::string foreign = mseedtest::pack(other)[3];
  store.addPacket(kHigh, foreign.data(), foreign.size(), now);
  high = streamIn(store.toJson(now, 1000), kHigh);
  EXPECT_EQ(high["bad_records"], 1 + 5);
  EXPECT_EQ(high["problem"], "record at byte 0: a record of XX.OTHER.00.HHZ");
  EXPECT_EQ(high["records"], 2);

  // A stream seen only through bad records still shows, without samples.
  store.addPacket("XX_BAD_HHZ/MSEED", "junk", 4, now);
  Json bad = streamIn(store.toJson(now, 1000), "XX_BAD_HHZ/MSEED");
  EXPECT_EQ(bad["bad_records"], 1);
  EXPECT_TRUE(bad["newest_sample_time"].is_null());
}

TEST(TraceExpression, PatternsAreAlternativesMatchedWhole) {
  std::string why;
  EXPECT_EQ(traceExpression({"XX_.*_HHZ_00/MSEED", "YY_A_.*"}, why),
            "(XX_.*_HHZ_00/MSEED)|(YY_A_.*)");
  EXPECT_EQ(traceExpression({"ok", "("}, why), "");
  EXPECT_NE(why.find("'('"), std::string::npos) << why;
  EXPECT_EQ(traceExpression({""}, why), "");
}

TEST(MonitorPage, DocumentsAreEmbeddedWhereTheyBelongAndCannotEndTheScript) {
  std::string page =
      monitorPage(R"({"name":"__TARN_TRACES__</script>"})", R"({"patterns":["__TARN_STATUS__"]})");
  size_t status = page.find("const initialStatus = {\"name\":\"__TARN_TRACES__<\\/script>\"};");
  size_t traces = page.find("const initialTraces = {\"patterns\":[\"__TARN_STATUS__\"]};");
  EXPECT_NE(status, std::string::npos);
  EXPECT_NE(traces, std::string::npos);
  EXPECT_EQ(page.find("</script>"), page.rfind("</script>"));
}

}  // namespace
}  // namespace tarntool
