// `tarn monitor --trace` against a real tarn server fed miniSEED packets
// with `tarn put`: the streams the patterns choose, read from before the
// monitor started and as they arrive, come out of /api/traces with their
// segments, gaps and samples, a record that does not check is counted and
// not drawn, and the page draws them in headless Chromium.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <ctime>
#include <nlohmann/json.hpp>

#include "monitor_process.h"
#include "mseed_samples.h"
#include "platform/mseed/mseed_record.h"
#include "relay_e2e.h"

namespace {

using Json = nlohmann::json;
using testsupport::ProcessResult;

const char kLow[] = "XX_STA_LHZ_00/MSEED";
const char kHigh[] = "XX_STA_HHZ_00/MSEED";
const char kOther[] = "XX_OTH_HHZ_00/MSEED";
constexpr int kColumns = 1000;

std::string base64(const std::string &bytes) {
  static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < bytes.size(); i += 3) {
    uint32_t v = static_cast<unsigned char>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    if (i + 2 < bytes.size()) v |= static_cast<unsigned char>(bytes[i + 2]);
    for (size_t k = 0; k < 4; ++k)
      out += i + k <= bytes.size() ? digits[(v >> (18 - 6 * k)) & 63] : '=';
  }
  return out;
}

double startOf(const std::string &record) {
  std::vector<mseed::Record> headers;
  EXPECT_EQ(mseed::check(record.data(), record.size(), &headers), "");
  return headers.empty() ? 0 : headers[0].start;
}

double endOf(const std::string &record) {
  std::vector<mseed::Record> headers;
  mseed::check(record.data(), record.size(), &headers);
  return headers.empty() ? 0 : headers[0].end;
}

// A `tarn put` line.
std::string line(const std::string &srcname, double time, const std::string &bytes) {
  return Json({{"srcname", srcname}, {"time", time}, {"data", base64(bytes)}}).dump() + "\n";
}

// One packet per record, as a station's packets come.
std::string lines(const std::string &srcname, const std::vector<std::string> &records) {
  std::string out;
  for (const std::string &r : records) out += line(srcname, startOf(r), r);
  return out;
}

bool put(const std::string &tarn, const std::string &input) {
  ProcessResult r = testsupport::runProgram({testsupport::programPath("tarn"), "put", tarn},
                                            std::chrono::seconds(60), input);
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  return r.exitStatus == 0;
}

const Json *streamIn(const Json &doc, const std::string &name) {
  if (!doc.is_object() || !doc.contains("streams")) return nullptr;
  for (const Json &s : doc["streams"]) {
    if (s["name"] == name) return &s;
  }
  return nullptr;
}

// A server holding the first half of a 1 Hz stream (a gap follows), two
// minutes of a 100 Hz stream with one record damaged, and a stream that no
// pattern chooses; the second half of the 1 Hz stream is put once the
// monitor has read the first.
class TracedStreams : public ::testing::Test {
 protected:
  void SetUp() override {
    double t0 = std::floor(static_cast<double>(std::time(nullptr))) - 400;
    mseedtest::Stream low;
    low.channel = "LHZ";
    low.rate = 1;
    low.encoding = 3;
    low.recordLength = 256;
    low.start = t0;
    lowSamples_ = mseedtest::sine(300);
    low.samples.assign(lowSamples_.begin(), lowSamples_.begin() + 150);
    lowFirst_ = mseedtest::pack(low);  // 3 records
    low.start = t0 + 150 + 60;         // a minute missing
    low.samples.assign(lowSamples_.begin() + 150, lowSamples_.end());
    lowSecond_ = mseedtest::pack(low);

    mseedtest::Stream high;
    high.start = t0 + 100;
    high.samples = mseedtest::sine(12000, 3000, 400);
    highSamples_ = high.samples;
    high_ = mseedtest::pack(high);
    ASSERT_GT(high_.size(), 6u);
    std::string sent = lines(kHigh, {high_.begin(), high_.begin() + 3}) +
                       line(kHigh, startOf(high_[3]), mseedtest::withBrokenSteim(high_[3])) +
                       lines(kHigh, {high_.begin() + 4, high_.end()});
    mseedtest::Stream other = high;
    other.station = "OTH";

    ASSERT_TRUE(
        put(server_.name(), lines(kLow, lowFirst_) + sent + lines(kOther, mseedtest::pack(other))));
  }

  // Starts the monitor and waits until it has read what the server holds,
  // then puts the rest and waits for it too.
  std::unique_ptr<e2e::MonitorProcess> startAndFeed() {
    auto monitor = std::make_unique<e2e::MonitorProcess>(
        std::vector<std::string>{server_.name()},
        std::vector<std::string>{"--trace", kLow, "--trace", "XX_STA_HH.*", "--trace-minutes",
                                 "10"});
    auto hasRead = [&](size_t lowRecords) {
      return testsupport::waitUntil(
          [&] {
            Json doc = traces(*monitor);
            const Json *low = streamIn(doc, kLow), *high = streamIn(doc, kHigh);
            return low && high && low->at("records") == lowRecords &&
                   high->at("records") == high_.size() - 1 && high->at("bad_records") == 1;
          },
          std::chrono::seconds(60));
    };
    EXPECT_TRUE(hasRead(lowFirst_.size())) << traces(*monitor).dump(1) << monitor->err();
    EXPECT_TRUE(put(server_.name(), lines(kLow, lowSecond_)));
    EXPECT_TRUE(hasRead(lowFirst_.size() + lowSecond_.size())) << traces(*monitor).dump(1);
    return monitor;
  }

  static Json traces(const e2e::MonitorProcess &monitor) {
    return Json::parse(monitor.get("/api/traces?columns=" + std::to_string(kColumns)), nullptr,
                       false);
  }

  tarntest::TarnTestServer server_;
  std::vector<int32_t> lowSamples_, highSamples_;
  std::vector<std::string> lowFirst_, lowSecond_, high_;
};

TEST_F(TracedStreams, TracesHaveTheSegmentsAndSamplesOfTheChosenStreams) {
  auto monitor = startAndFeed();
  Json doc = traces(*monitor);
  EXPECT_EQ(doc["patterns"], Json({kLow, "XX_STA_HH.*"}));
  EXPECT_EQ(doc["window_seconds"], 600);
  EXPECT_EQ(doc["columns"], kColumns);
  ASSERT_EQ(doc["streams"].size(), 2u) << doc.dump(1);  // not the other station's
  EXPECT_EQ(streamIn(doc, kOther), nullptr);

  // 1 Hz: every sample, in two segments either side of the missing minute.
  const Json &low = *streamIn(doc, kLow);
  ASSERT_EQ(low["segments"].size(), 2u) << low.dump(1);
  const Json &before = low["segments"][0], &after = low["segments"][1];
  EXPECT_EQ(before["start"], startOf(lowFirst_[0]));
  EXPECT_EQ(before["end"], endOf(lowFirst_.back()));
  EXPECT_EQ(after["start"], startOf(lowSecond_[0]));
  EXPECT_EQ(before["samples"],
            Json(std::vector<int>(lowSamples_.begin(), lowSamples_.begin() + 150)));
  EXPECT_EQ(after["samples"], Json(std::vector<int>(lowSamples_.begin() + 150, lowSamples_.end())));
  EXPECT_EQ(low["sample_rate"], 1.0);
  EXPECT_EQ(low["newest_sample_time"], endOf(lowSecond_.back()));
  EXPECT_GT(low["newest_sample_age_seconds"], 30);
  EXPECT_EQ(low["bad_records"], 0);

  // 100 Hz: the damaged record is left out (a gap) and counted; each side
  // comes as a least and a largest sample per column.
  const Json &high = *streamIn(doc, kHigh);
  EXPECT_EQ(high["sample_rate"], 100.0);
  EXPECT_EQ(high["bad_records"], 1);
  EXPECT_NE(high["problem"].get<std::string>().find("Steim frames do not decode"),
            std::string::npos)
      << high;
  ASSERT_EQ(high["segments"].size(), 2u) << high.dump(1);
  EXPECT_EQ(high["segments"][0]["start"], startOf(high_[0]));
  EXPECT_NEAR(high["segments"][0]["end"], endOf(high_[2]), 1e-6);
  EXPECT_EQ(high["segments"][1]["start"], startOf(high_[4]));
  EXPECT_NEAR(high["segments"][1]["end"], endOf(high_.back()), 1e-6);
  int count = 0, lo = INT32_MAX, hi = INT32_MIN;
  for (const Json &seg : high["segments"]) {
    ASSERT_TRUE(seg.contains("minmax")) << seg.dump();
    EXPECT_LE(seg["minmax"].size(), 2u * 120 * kColumns / 600);  // two minutes' columns at most
    count += seg["sample_count"].get<int>();
    for (const Json &pair : seg["minmax"]) {
      lo = std::min(lo, pair[0].get<int>());
      hi = std::max(hi, pair[1].get<int>());
    }
  }
  std::vector<mseed::Record> damaged;
  mseed::check(high_[3].data(), high_[3].size(), &damaged);
  EXPECT_EQ(count, 12000 - damaged.at(0).samples);
  EXPECT_EQ(lo, *std::min_element(highSamples_.begin(), highSamples_.end()));
  EXPECT_EQ(hi, *std::max_element(highSamples_.begin(), highSamples_.end()));
}

TEST_F(TracedStreams, PageInHeadlessChromiumDrawsEachTraceWithItsGaps) {
  e2e::Chromium chromium("1400,1000");
  if (chromium.path().empty())
    GTEST_SKIP() << "no browser: chromium could not be installed on this machine";
  auto monitor = startAndFeed();
  ProcessResult dom = chromium.run("--dump-dom", monitor->url());
  ASSERT_EQ(dom.exitStatus, 0) << dom.err;
  std::string shown = dom.out.substr(0, dom.out.find("<script"));  // not the page's own code
  for (const char *name : {kLow, kHigh}) {
    EXPECT_NE(shown.find("<span class=\"trace-name\">" + std::string(name) + "</span>"),
              std::string::npos)
        << shown;
  }
  EXPECT_EQ(shown.find("<span class=\"trace-name\">" + std::string(kOther)), std::string::npos);
  EXPECT_EQ(e2e::countOf(shown, "<path class=\"segment\""), 4) << shown;
  EXPECT_EQ(e2e::countOf(shown, "<rect class=\"gap\""), 2) << shown;
  EXPECT_NE(shown.find("1 record does not check"), std::string::npos);
  EXPECT_NE(shown.find("newest sample "), std::string::npos);
  EXPECT_NE(shown.find("<svg class=\"axis\""), std::string::npos);

  std::string shot = std::string(RELAY_BUILD_DIR) + "/monitor-traces.png";
  std::remove(shot.c_str());
  ProcessResult screenshot = chromium.run("--screenshot=" + shot, monitor->url());
  EXPECT_EQ(screenshot.exitStatus, 0) << screenshot.err;
  EXPECT_GT(testsupport::readFile(shot).size(), 1000u) << shot;
}

}  // namespace
