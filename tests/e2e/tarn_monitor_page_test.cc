// The monitor's page as an operator first sees it, in headless Chromium at
// 1000 px: three real relays between real tarn servers, one working, one
// whose destination server was killed (its writer sleeping, the link lost)
// and one stopped in order. The broken relay comes first and is named in the
// line that says what needs attention, the stopped one comes last, greyed,
// and nothing needs scrolling sideways. The screenshot is left in the build
// folder as monitor-attention.png.
#include <gtest/gtest.h>

#include <cstdio>
#include <nlohmann/json.hpp>
#include <regex>

#include "monitor_process.h"
#include "relay_e2e.h"

namespace {

using Json = nlohmann::json;

const Json *relayIn(const Json &doc, const std::string &target) {
  if (!doc.is_object() || !doc.contains("relays")) return nullptr;
  for (const Json &r : doc["relays"]) {
    if (r["target"] == target) return &r;
  }
  return nullptr;
}

// The relay's newest report: every connection "yes" with its link up.
bool working(const Json &doc, const std::string &target) {
  const Json *r = relayIn(doc, target);
  if (!r || r->at("attention") != false || r->at("connections").empty()) return false;
  for (const Json &c : r->at("connections")) {
    if (c["state"] != "yes" || c["link"] != "up") return false;
  }
  return true;
}

bool linkLost(const Json &doc, const std::string &target, const std::string &connection) {
  const Json *r = relayIn(doc, target);
  if (!r) return false;
  for (const Json &c : r->at("connections")) {
    if (c["name"] == connection) return c["link"] == "lost" && c["state"] == "sleeping";
  }
  return false;
}

e2e::Relay *startRelay(std::vector<std::unique_ptr<e2e::Relay>> &relays, const std::string &target,
                       const std::string &connections, const std::string &statusQueue) {
  testsupport::RelayPf pf;
  pf.connections = connections;
  pf.status = "run true\nwrite_to_queue " + statusQueue + "\n";
  pf.timing = "pfstatusreport 1\ninternal_timeout 1\nshutdown_grace_period 15\n";
  relays.push_back(std::make_unique<e2e::Relay>(pf, std::vector<std::string>{"-v", "-t", target}));
  return relays.back().get();
}

TEST(MonitorPage, WhatIsWrongComesFirstAndTheStoppedLastAt1000Pixels) {
  e2e::Chromium chromium("1000,1200");
  if (chromium.path().empty())
    GTEST_SKIP() << "no browser: chromium could not be installed on this machine";
  tarntest::TarnTestServer src, hub, far;
  std::vector<std::unique_ptr<e2e::Relay>> relays;
  // Named so that the order of their names is the opposite of the page's.
  e2e::Relay *archive = startRelay(
      relays, "archive",
      e2e::reader("from_src", src.name(), "q") + e2e::writer("to_hub", hub.name(), "q"), "q");
  e2e::Relay *backbone = startRelay(
      relays, "backbone",
      e2e::reader("from_src", src.name(), "q") + e2e::writer("to_hub", hub.name(), "q"), "q");
  e2e::Relay *coastal =
      startRelay(relays, "coastal",
                 e2e::reader("from_src", src.name(), "q") + e2e::writer("to_far", far.name(), "q") +
                     e2e::writer("to_hub", hub.name(), "sq"),
                 "sq");
  ASSERT_TRUE(e2e::relayReady(*archive, 2, 1)) << archive->output();
  ASSERT_TRUE(e2e::relayReady(*backbone, 2, 1)) << backbone->output();
  ASSERT_TRUE(e2e::relayReady(*coastal, 3, 1)) << coastal->output();
  ASSERT_TRUE(e2e::gen(src.name(), {"-n", "20", "-r", "100"}));
  ASSERT_EQ(archive->terminate(), 0) << archive->output();
  far.kill();
  ASSERT_TRUE(e2e::gen(src.name(), {"-n", "5", "-r", "100"}));

  e2e::MonitorProcess monitor({src.name(), hub.name(), far.name()});
  Json doc;
  auto ready = [&] {
    doc = monitor.status();
    const Json *a = relayIn(doc, "archive");
    return a && a->at("stopped") == true && working(doc, "backbone") &&
           linkLost(doc, "coastal", "to_far");
  };
  ASSERT_TRUE(testsupport::waitUntil(ready, std::chrono::seconds(60)))
      << doc.dump(2) << coastal->output();

  testsupport::ProcessResult dom = chromium.run("--dump-dom", monitor.url());
  ASSERT_EQ(dom.exitStatus, 0) << dom.err;
  std::string shown = dom.out.substr(0, dom.out.find("<script"));
  std::vector<std::string> order;
  std::regex block("<section class=\"relay-block (\\w+)\" data-target=\"(\\w+)\"");
  for (std::sregex_iterator it(shown.begin(), shown.end(), block), end; it != end; ++it)
    order.push_back((*it)[2].str() + " " + (*it)[1].str());
  EXPECT_EQ(order,
            (std::vector<std::string>{"coastal attention", "backbone working", "archive stopped"}))
      << shown;
  EXPECT_NE(shown.find("2 need attention: server " + far.name() +
                       " down, relay coastal (writer to_far sleeping, link lost)<"),
            std::string::npos)
      << shown;
  EXPECT_NE(shown.find("STOPPED"), std::string::npos);
  EXPECT_EQ(shown.find("STALE"), std::string::npos);
  std::smatch width;
  ASSERT_TRUE(std::regex_search(shown, width, std::regex("data-scroll-width=\"(\\d+)\"")));
  EXPECT_LE(std::stoi(width[1].str()), 1000) << "the page scrolls sideways";

  std::string shot = std::string(RELAY_BUILD_DIR) + "/monitor-attention.png";
  std::remove(shot.c_str());
  testsupport::ProcessResult screenshot = chromium.run("--screenshot=" + shot, monitor.url());
  EXPECT_EQ(screenshot.exitStatus, 0) << screenshot.err;
  EXPECT_GT(testsupport::readFile(shot).size(), 1000u) << shot;
  EXPECT_EQ(backbone->terminate(), 0) << backbone->output();
  EXPECT_EQ(coastal->terminate(), 0) << coastal->output();
}

// The page's own script, run in Node on a status document like the demo's
// last stage: a burst of 10,000 packets a second, then 5 a second, and one
// relay. The rate's scale reads whole, the trickle stands clear of 0, and
// the counts read right.
TEST(MonitorPage, ARateAfterABurstStaysVisibleAndTheCountsReadRight) {
  const double now = 1796601600;
  Json server = {{"tarn", ":6510"},
                 {"up", true},
                 {"packets_per_second", 5},
                 {"clients", 1},
                 {"sources", Json::array()},
                 {"ring", {{"used_ratio", 0.1}, {"packets", 20100}, {"size_bytes", 1 << 26},
                           {"newest_time", now}}},
                 {"history", {{"packets_per_second",
                               {{now - 900, 10000}, {now - 600, 5}, {now - 15, 5}}}}}};
  Json relay = {{"target", "demo"}, {"attention", false}, {"stopped", false}, {"stale", false},
                {"server", ":6511"}, {"report_age_seconds", 1}, {"report_interval_seconds", 2},
                {"run_time_seconds", 60}, {"rss_kib", nullptr}, {"problem", nullptr},
                {"connections", Json::array()}};
  Json status = {{"time", now}, {"servers", {server}}, {"relays", {relay}}};
  testsupport::TempDir dir;
  testsupport::writeFile(dir.file("status.json"), status.dump());
  testsupport::ProcessResult r = testsupport::runProgram(
      {"/usr/bin/env", "node", std::string(RELAY_SOURCE_DIR) + "/tests/e2e/js/monitor_page.mjs",
       std::string(RELAY_SOURCE_DIR) + "/src/tools/monitor_page.html", dir.file("status.json")});
  if (r.exitStatus == 127) GTEST_SKIP() << "no node: " << r.err;
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  Json shown = Json::parse(r.out);
  EXPECT_EQ(shown["summary"], "1 server, 1 relay, 0 streams");
  std::string servers = shown["servers"];
  EXPECT_NE(servers.find(">10k/s</text>"), std::string::npos) << servers;
  // The plot is 24 high, 0 at y 23: the last point, 5 a second, well above.
  std::smatch last;
  ASSERT_TRUE(std::regex_search(servers, last, std::regex(R"re(L[\d.]+,([\d.]+)"/>)re"))) << servers;
  EXPECT_LT(std::stod(last[1]), 21.0) << servers;
}

}  // namespace
