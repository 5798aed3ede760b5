// The SeedLink port over WebSocket, checked by clients no one here wrote:
// seisplotjs's SeedLink 3.1 and 4.0 clients in Node (with the `ws`
// package), and seisplotjs on a page in headless Chromium that plots what
// it gets. A real tarnserver is fed miniSEED records with `tarn import`;
// every client must receive exactly those records, byte for byte and in
// order per stream, and one that reconnects with its last sequence numbers
// gets the rest with no gap and no repeat.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <nlohmann/json.hpp>

#include "monitor_process.h"
#include "mseed_samples.h"
#include "relay_e2e.h"

namespace e2e {
namespace {

using nlohmann::json;
using std::chrono::seconds;

std::string nodeDir() {
  if (const char *dir = std::getenv("TARN_NODE_DIR")) return dir;
  return std::string(std::getenv("HOME") ? std::getenv("HOME") : "/root") +
         "/.cache/tarn2tarn_pre/node";
}

std::string script(const std::string &name) {
  return std::string(RELAY_SOURCE_DIR) + "/tests/e2e/js/" + name;
}

std::string unbase64(const std::string &text) {
  std::string out;
  uint32_t bits = 0;
  int have = 0;
  for (char c : text) {
    const char *digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const char *at = c ? std::strchr(digits, c) : nullptr;
    if (!at) continue;  // '=' and the like
    bits = bits << 6 | static_cast<uint32_t>(at - digits);
    if ((have += 6) >= 8) out += static_cast<char>(bits >> (have -= 8));
  }
  return out;
}

// One record as a client received it.
struct Received {
  std::string station;
  uint64_t sequence = 0;
  std::string bytes;
};
using ByStream = std::map<std::string, std::vector<std::string>>;  // records, in order

class SeedlinkSeisplotjs : public testing::Test {
 protected:
  void SetUp() override {
    for (const char *package : {"seisplotjs", "ws"}) {
      ASSERT_EQ(access((nodeDir() + "/node_modules/" + package + "/package.json").c_str(), R_OK), 0)
          << package << " is not installed in " << nodeDir() << ": run make deps";
    }
    // The test set (512- and 4096-byte records) and a long stream, each
    // station's records in a file of its own.
    std::vector<mseedtest::Stream> streams = mseedtest::standardSet();
    mseedtest::Stream longer;
    longer.network = "XT", longer.station = "S6A", longer.samples = mseedtest::sine(150000);
    streams.push_back(longer);
    std::map<std::string, std::string> files;
    for (const mseedtest::Stream &s : streams) {
      std::string id = s.network + "." + s.station + "." + s.location + "." + s.channel;
      for (const std::string &r : mseedtest::pack(s)) {
        expected[id].push_back(r);
        files[s.network + "_" + s.station] += r;
        ++total;
        if (r.size() == 512) ++total512;
      }
      stations.insert(s.network + "_" + s.station);
      std::string station = s.network + "_" + s.station;  // S5A has two parts
      if (s.recordLength == 512 && (smallStations.empty() || smallStations.back() != station))
        smallStations.push_back(station);
    }
    std::vector<std::string> argv = {testsupport::programPath("tarn"), "import", server.name()};
    for (const auto &[station, bytes] : files) {
      argv.push_back(dir.file(station + ".mseed"));
      testsupport::writeFile(argv.back(), bytes);
    }
    auto imported = testsupport::runProgram(argv, seconds(120));
    ASSERT_EQ(imported.exitStatus, 0) << imported.err;
    port = seedlinkPort();
    ASSERT_GT(port, 0) << server.log();
  }

  int seedlinkPort() const {
    const std::string &name = server.seedlinkName();
    return name.empty() ? 0 : std::atoi(name.c_str() + name.rfind(':') + 1);
  }

  std::string url() const { return "ws://127.0.0.1:" + std::to_string(port); }

  // Runs seisplotjs's client of protocol `proto` over `chosen` stations
  // (NET_STA, or NET_STA:LAST to resume) until `records` came.
  std::vector<Received> read(int proto, const std::vector<std::string> &chosen, size_t records,
                             std::string *error = nullptr) {
    std::vector<std::string> argv = {"/usr/bin/env", "TARN_NODE_DIR=" + nodeDir(),
                                     "node",         script("seedlink_client.mjs"),
                                     "--url",        url(),
                                     "--proto",      std::to_string(proto),
                                     "--records",    std::to_string(records),
                                     "--seconds",    "90"};
    for (const std::string &s : chosen) argv.insert(argv.end(), {"--station", s});
    auto r = testsupport::runProgram(argv, seconds(120));
    if (error) {
      *error = r.err;
    } else {
      EXPECT_EQ(r.exitStatus, 0) << r.err << server.log();
    }
    std::vector<Received> got;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
      json j = json::parse(line, nullptr, false);
      if (j.is_discarded()) continue;
      got.push_back(
          {j["station"], j["sequence"].get<uint64_t>(), unbase64(j["data"].get<std::string>())});
      EXPECT_EQ(got.back().bytes.size(), j["size"].get<size_t>());
    }
    return got;
  }

  std::vector<std::string> allStations() const { return {stations.begin(), stations.end()}; }

  // What `got` holds, by stream (the stream named by the record itself).
  static ByStream byStream(const std::vector<Received> &got) {
    ByStream out;
    for (const Received &r : got) {
      auto field = [&](size_t at, size_t n) {
        std::string s = r.bytes.substr(at, n);
        return s.substr(0, s.find_last_not_of(' ') + 1);
      };
      out[field(18, 2) + "." + field(8, 5) + "." + field(13, 2) + "." + field(15, 3)].push_back(
          r.bytes);
    }
    return out;
  }

  // The expected records, of 512 bytes only when `small`.
  ByStream want(bool small) const {
    ByStream out;
    for (const auto &[id, records] : expected) {
      for (const std::string &r : records) {
        if (!small || r.size() == 512) out[id].push_back(r);
      }
    }
    return out;
  }

  testsupport::TempDir dir;
  tarntest::TarnTestServer server{{"--seedlink", "0", "-s", "64M"}};
  int port = 0;
  ByStream expected;
  std::set<std::string> stations;
  std::vector<std::string> smallStations;  // those of 512-byte records
  size_t total = 0, total512 = 0;
};

TEST_F(SeedlinkSeisplotjs, V3AndV4ClientsReceiveEveryRecordPutInOrder) {
  std::vector<Received> v4 = read(4, allStations(), total);
  EXPECT_EQ(v4.size(), total);
  EXPECT_TRUE(byStream(v4) == want(false)) << "v4: not the records put";
  for (size_t i = 1; i < v4.size(); ++i) EXPECT_LT(v4[i - 1].sequence, v4[i].sequence);

  size_t big = 0;
  for (const Received &r : v4) big += r.bytes.size() == 4096;
  EXPECT_GT(big, 10u);  // the 4096-byte records did reach the v4 client

  // 3.1 carries 512-byte records only; a 3.1 client asking for larger ones
  // is told why.
  std::vector<Received> v3 = read(3, smallStations, total512);
  EXPECT_EQ(v3.size(), total512);
  EXPECT_TRUE(byStream(v3) == want(true)) << "v3: not the 512-byte records put";
  std::string error;
  EXPECT_TRUE(read(3, {"XT_S2A"}, 1, &error).empty());
  EXPECT_NE(error.find("larger than 512 bytes go through protocol 4.0 only"), std::string::npos)
      << error;
}

TEST_F(SeedlinkSeisplotjs, ClientsResumingFromTheirLastSequenceGetNoGapAndNoRepeat) {
  for (int proto : {4, 3}) {
    size_t all = proto == 4 ? total : total512;
    std::vector<std::string> chosen = proto == 4 ? allStations() : smallStations;
    std::vector<Received> first = read(proto, chosen, all / 3);
    ASSERT_GE(first.size(), all / 3) << proto;
    first.resize(all / 3);  // what came after the count is not counted as seen
    std::map<std::string, uint64_t> last;
    for (const Received &r : first) last[r.station] = r.sequence;
    std::vector<std::string> resume;
    for (const std::string &s : chosen) {
      resume.push_back(last.count(s) ? s + ":" + std::to_string(last[s]) : s);
    }
    std::vector<Received> rest = read(proto, resume, all - first.size());
    std::vector<Received> both = first;
    both.insert(both.end(), rest.begin(), rest.end());
    EXPECT_TRUE(byStream(both) == want(proto == 3)) << "protocol " << proto;
  }
}

TEST_F(SeedlinkSeisplotjs, PageInHeadlessChromiumPlotsWhatItReceives) {
  Chromium chromium("1200,700");
  if (chromium.path().empty())
    GTEST_SKIP() << "no browser: chromium could not be installed on this machine";
  // Three stations, one of 4096-byte records; the page stops at their count.
  size_t want = 0;
  for (const auto &[id, records] : expected) {
    for (const char *station : {"XT.S1A.", "XT.S2A.", "XT.S6A."}) {
      if (id.rfind(station, 0) == 0) want += records.size();
    }
  }
  testsupport::ChildProcess page({"/usr/bin/env", "TARN_NODE_DIR=" + nodeDir(), "node",
                                  script("seedlink_page.mjs"), "--url", url(), "--proto", "4",
                                  "--records", std::to_string(want), "--seconds", "90", "--station",
                                  "XT_S1A", "--station", "XT_S2A", "--station", "XT_S6A"});
  const std::string marker = "serving http://";
  ASSERT_TRUE(testsupport::waitUntil([&] { return page.out().find(marker) != std::string::npos; },
                                     seconds(30)))
      << page.err();
  std::string address = page.out().substr(page.out().find(marker) + 8);
  address = address.substr(0, address.find('\n'));

  testsupport::ProcessResult dom = chromium.run("--dump-dom", address);
  ASSERT_EQ(dom.exitStatus, 0) << dom.err;
  EXPECT_NE(dom.out.find("<title>SeedLink records " + std::to_string(want) + "</title>"),
            std::string::npos)
      << page.out() << dom.out.substr(0, 2000);
  EXPECT_EQ(countOf(dom.out, "<sp-seismograph"), 3) << page.out();

  std::string shot = std::string(RELAY_BUILD_DIR) + "/seedlink-seisplotjs.png";
  std::remove(shot.c_str());
  testsupport::ProcessResult screenshot = chromium.run("--screenshot=" + shot, address);
  EXPECT_EQ(screenshot.exitStatus, 0) << screenshot.err;
  EXPECT_GT(testsupport::readFile(shot).size(), 10000u) << shot;
  page.signal(SIGTERM);
}

}  // namespace
}  // namespace e2e
