// `tarn status` and `tarn monitor` against real tarn servers and a running
// relay: each connection as the relay's status packets say, a relay stopped
// in order shown stopped (not stale, not marked), a server that cannot be reached shown down,
// /metrics as promtool reads it, the page as a browser shows it, and bad input refused.
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <nlohmann/json.hpp>
#include <sstream>

#include "monitor_process.h"
#include "platform/pf/pf.h"
#include "relay_e2e.h"

namespace {

using e2e::installed;
using e2e::MonitorProcess;
using Json = nlohmann::json;
using testsupport::ProcessResult;
using testsupport::programPath;
using testsupport::runProgram;

const char kTarget[] = "watched";
const char kStatusSource[] = "watched/pf/st";

// A connection to the monitor on 127.0.0.1, whose reads give up after 30 s;
// -1 when it fails.
int connectTo(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  timeval wait{30, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) return fd;
  close(fd);
  return -1;
}

// What the monitor says before it closes the connection; "timeout" when it
// keeps it open for 30 s.
std::string untilClosed(int fd) {
  std::string got;
  char buffer[4096];
  for (;;) {
    ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n == 0) return got;
    if (n < 0) return errno == EINTR ? got : "timeout";
    got.append(buffer, static_cast<size_t>(n));
  }
}

std::string answerTo(int port, const std::string &request) {
  int fd = connectTo(port);
  if (fd < 0) return "cannot connect";
  if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) < 0) return "cannot send";
  std::string got = untilClosed(fd);
  close(fd);
  return got;
}

ProcessResult tarn(std::vector<std::string> args, const std::string &input = "") {
  args.insert(args.begin(), programPath("tarn"));
  return runProgram(args, std::chrono::seconds(60), input);
}

// Polls `fetch` until `done` holds for what it returns, at most a minute.
Json waitForDocument(const std::function<Json()> &fetch,
                     const std::function<bool(const Json &)> &done) {
  Json doc;
  testsupport::waitUntil([&] { return done(doc = fetch()); }, std::chrono::seconds(60));
  return doc;
}

const Json *relayIn(const Json &doc) {
  if (!doc.contains("relays")) return nullptr;
  for (const Json &r : doc["relays"]) {
    if (r["target"] == kTarget) return &r;
  }
  return nullptr;
}

// Both connections in state yes, and the reader has passed a packet on.
bool relayWorking(const Json &doc) {
  const Json *r = relayIn(doc);
  if (!r || r->at("connections").size() != 2) return false;
  for (const Json &c : r->at("connections")) {
    if (c["state"] != "yes" || (c["direction"] == "read" && c["latency_seconds"].is_null()))
      return false;
  }
  return true;
}

bool relayStopped(const Json &doc) {
  const Json *r = relayIn(doc);
  return r && r->at("stopped") == true;
}

// The relay's connections in `doc` as the status packet it names as the
// newest says: state, queued packets and latency (none before a packet).
void expectAsItsStatusPacket(const Json &doc, const std::string &server) {
  const Json *relay = relayIn(doc);
  ASSERT_NE(relay, nullptr) << doc.dump(2);
  ProcessResult tail = tarn({"tail", server, "--from", "oldest", "-m", kStatusSource, "-t", "0.5",
                             "--json", "--unstuff"});
  std::string text;
  std::istringstream lines(tail.out);
  for (std::string line; std::getline(lines, line);) {
    Json p = Json::parse(line);
    if (p["time"] == relay->at("report_time")) text = p["text"];
  }
  Pf *pf = nullptr, *dls = nullptr;
  ASSERT_EQ(pfcompile(text.c_str(), &pf), 0) << "no status packet of that time:\n" << tail.out;
  ASSERT_EQ(pfget(pf, "dls", &dls), PFARR);
  EXPECT_EQ(relay->at("connections").size(), static_cast<size_t>(pfmaxtbl(dls)));
  for (const Json &c : relay->at("connections")) {
    Pf *arr = nullptr;
    ASSERT_EQ(pfget(dls, c["name"].get<std::string>().c_str(), &arr), PFARR) << c;
    EXPECT_EQ(c["state"], pfget_string(arr, "con")) << c;
    EXPECT_EQ(c["queue_depth"], std::atol(pfget_string(arr, "nq"))) << c;
    double dlt = std::strtod(pfget_string(arr, "dlt"), nullptr);
    if (dlt >= 999999999.0)
      EXPECT_TRUE(c["latency_seconds"].is_null()) << c;
    else
      EXPECT_EQ(c["latency_seconds"], dlt) << c;
  }
  pffree(pf);
}

void expectStoppedUnmarked(const Json &doc) {
  const Json *relay = relayIn(doc);
  ASSERT_NE(relay, nullptr);
  EXPECT_EQ(relay->at("attention"), false);
  EXPECT_EQ(relay->at("stale"), false);
  for (const Json &c : relay->at("connections")) {
    EXPECT_EQ(c["state"], "stopped") << c;
    EXPECT_EQ(c["attention"], false) << c;
  }
}

// Two servers and a relay between them that reports every second to the
// destination; a third tarn name where nothing listens.
class WatchedNetwork : public ::testing::Test {
 protected:
  void SetUp() override {
    testsupport::RelayPf pf;
    pf.connections =
        e2e::reader("from_src", src_.name(), "q") + e2e::writer("to_dst", dst_.name(), "q");
    pf.status = "run true\nwrite_to_queue q\n";
    pf.timing = "pfstatusreport 1\ninternal_timeout 1\nshutdown_grace_period 15\n";
    relay_ = std::make_unique<e2e::Relay>(pf, std::vector<std::string>{"-v", "-t", kTarget});
    ASSERT_TRUE(e2e::relayReady(*relay_, 2, 1)) << relay_->output();
    ASSERT_TRUE(e2e::gen(src_.name(), {"-n", "20", "-r", "100"}));
  }
  void stopRelay() { ASSERT_EQ(relay_->terminate(), 0) << relay_->output(); }

  // A document from `tarn status --json` (the exit status in *status).
  Json statusJson(int *status = nullptr) {
    ProcessResult r = tarn({"status", src_.name(), dst_.name(), gone_, "--json"});
    if (status) *status = r.exitStatus;
    return Json::parse(r.out, nullptr, false);
  }

  tarntest::TarnTestServer src_, dst_;
  std::string gone_ = ":" + std::to_string(e2e::freePort());
  std::unique_ptr<e2e::Relay> relay_;
};

TEST_F(WatchedNetwork, StatusShowsEachConnectionAsTheStatusPacketsSayAndAStoppedRelayStopped) {
  Json doc = waitForDocument([&] { return statusJson(); }, relayWorking);
  ASSERT_TRUE(relayWorking(doc)) << doc.dump(2);
  expectAsItsStatusPacket(doc, dst_.name());
  EXPECT_EQ(doc["servers"][2]["up"], false);
  EXPECT_EQ(doc["servers"][2]["error"], "cannot be reached");
  EXPECT_EQ(doc["servers"][1]["up"], true);
  EXPECT_GT(doc["servers"][1]["ring"]["packets"], 20);
  std::string table = tarn({"status", src_.name(), dst_.name()}).out;
  EXPECT_NE(table.find("from_src"), std::string::npos) << table;
  EXPECT_EQ(table.find("\n!"), std::string::npos) << table;

  stopRelay();
  int status = -1;
  doc = waitForDocument([&] { return statusJson(&status); }, relayStopped);
  ASSERT_TRUE(relayStopped(doc)) << doc.dump(2);
  EXPECT_EQ(status, 1);  // a server could not be reached
  expectStoppedUnmarked(doc);
  expectAsItsStatusPacket(doc, dst_.name());
  table = tarn({"status", src_.name(), dst_.name()}).out;
  EXPECT_EQ(table.find("STALE"), std::string::npos) << table;
  size_t row = table.find("\n  watched  from_src");  // not marked
  ASSERT_NE(row, std::string::npos) << table;
  std::string line = table.substr(row + 1, table.find('\n', row + 1) - row - 1);
  EXPECT_NE(line.find(" stopped "), std::string::npos) << line;  // the state, then the note
  EXPECT_EQ(line.substr(line.rfind("  ") + 2, 8), "stopped ") << line;
  EXPECT_EQ(line.substr(line.size() - 4), " ago") << line;
}

TEST_F(WatchedNetwork, MonitorServesTheSameAndMetricsThatPromtoolAccepts) {
  std::string promtool = installed("promtool");
  if (promtool.empty())
    GTEST_SKIP() << "promtool is missing: scripts/install-deps.sh installs Debian's prometheus";
  MonitorProcess monitor({src_.name(), dst_.name(), gone_});
  // A second monitor that forgets relays silent for a second.
  MonitorProcess forgetting({src_.name(), dst_.name()}, {"--forget-after", "1"});
  auto checkMetrics = [&](const std::string &want, bool final) {
    std::string type;
    std::string metrics = monitor.get("/metrics", &type);
    EXPECT_EQ(type, "text/plain; version=0.0.4; charset=utf-8");
    ProcessResult check =
        runProgram({promtool, "check", "metrics"}, std::chrono::seconds(60), metrics);
    EXPECT_EQ(check.exitStatus, 0) << check.out << check.err << metrics;
    EXPECT_EQ(check.out + check.err, "") << metrics;  // no lint problem either
    EXPECT_NE(metrics.find(want), std::string::npos) << metrics;
    const std::string reader =
        "{relay=\"watched\",connection=\"from_src\",direction=\"read\",tarn=\"" + src_.name() +
        "\",queue=\"q\"";
    for (const char *state : {"stopped", "reg", "sleeping", "yes"})
      EXPECT_NE(metrics.find("tarn_relay_connection_state" + reader + ",state=\"" + state + "\"}"),
                std::string::npos)
          << state << metrics;
    if (!final) return;  // all 20 packets fed: counted, stored
    EXPECT_NE(metrics.find("tarn_relay_connection_packets_total" + reader + "} 20\n"),
              std::string::npos)
        << metrics;
    EXPECT_NE(metrics.find("tarn_server_stored_packets_total{tarn=\"" + src_.name() + "\"} 20\n"),
              std::string::npos)
        << metrics;
    EXPECT_NE(metrics.find("tarn_server_up{tarn=\"" + gone_ + "\"} 0\n"), std::string::npos)
        << metrics;
  };

  Json doc = waitForDocument([&] { return monitor.status(); }, relayWorking);
  ASSERT_TRUE(relayWorking(doc)) << doc.dump(2) << monitor.err();
  expectAsItsStatusPacket(doc, dst_.name());
  EXPECT_EQ(doc["servers"][2]["up"], false);
  EXPECT_FALSE(doc["relays"][0]["connections"][0]["history"]["queue_depth"].empty());
  checkMetrics(
      "tarn_relay_connection_up{relay=\"watched\",connection=\"from_src\",direction=\"read\"",
      false);

  stopRelay();
  doc = waitForDocument([&] { return monitor.status(); }, relayStopped);
  ASSERT_TRUE(relayStopped(doc)) << doc.dump(2);
  expectStoppedUnmarked(doc);
  checkMetrics("tarn_relay_stale{relay=\"watched\"} 0\n", true);
  Json forgotten =
      waitForDocument([&] { return forgetting.status(); },
                      [](const Json &d) { return d.contains("relays") && !relayIn(d); });
  EXPECT_EQ(relayIn(forgotten), nullptr) << forgotten.dump(2);
  EXPECT_EQ(forgetting.get("/metrics").find("relay=\"watched\""), std::string::npos);
  EXPECT_NE(monitor.err().find("tarn '" + gone_ + "' is down: cannot be reached"),
            std::string::npos)
      << monitor.err();
}

TEST_F(WatchedNetwork, PageInHeadlessChromiumShowsEveryConnection) {
  e2e::Chromium chromium;
  if (chromium.path().empty())
    GTEST_SKIP() << "no browser: chromium could not be installed on this machine";
  MonitorProcess monitor({src_.name(), dst_.name(), gone_});
  ASSERT_TRUE(relayWorking(waitForDocument([&] { return monitor.status(); }, relayWorking)));
  std::string shot = std::string(RELAY_BUILD_DIR) + "/monitor-page.png";
  auto run = [&](const std::string &what) { return chromium.run(what, monitor.url()); };
  ProcessResult dom = run("--dump-dom");
  ASSERT_EQ(dom.exitStatus, 0) << dom.err;
  for (const char *c : {"from_src", "to_dst"}) {
    EXPECT_NE(dom.out.find("<span class=\"name\">" + std::string(c) + "</span>"), std::string::npos)
        << dom.out;
  }
  EXPECT_NE(dom.out.find("relay watched"), std::string::npos);
  EXPECT_NE(dom.out.find(">down<"), std::string::npos);  // the server that cannot be reached
  std::remove(shot.c_str());
  ProcessResult screenshot = run("--screenshot=" + shot);
  EXPECT_EQ(screenshot.exitStatus, 0) << screenshot.err;
  EXPECT_GT(testsupport::readFile(shot).size(), 1000u) << shot;
}

TEST(TarnStatus, BadInputRefusedAndBrokenStatusPacketsShown) {
  tarntest::TarnTestServer server;
  for (std::vector<std::string> args :
       std::vector<std::vector<std::string>>{{"status"},
                                             {"status", "host:port"},
                                             {"status", server.name(), "--watch", "0.01"},
                                             {"status", server.name(), "--bogus"},
                                             {"monitor"},
                                             {"monitor", server.name(), "-l", "bogus"},
                                             {"monitor", server.name(), "-l", "127.0.0.1:70000"},
                                             {"monitor", server.name(), "-l", "::1:80"},
                                             {"monitor", server.name(), "-i", "0"},
                                             {"monitor", server.name(), "-l"},
                                             {"monitor", server.name(), "--trace", "XX_("},
                                             {"monitor", server.name(), "--trace", ""},
                                             {"monitor", server.name(), "--trace-minutes", "61"},
                                             {"monitor", server.name(), "--trace-minutes", "x"},
                                             {"monitor", server.name(), "--trace"},
                                             {"status", server.name(), "--forget-after", "x"},
                                             {"monitor", server.name(), "--forget-after", "-1"}}) {
    ProcessResult r = tarn(args);
    EXPECT_EQ(r.exitStatus, 2) << args.back();
    EXPECT_NE(r.err.find("usage: tarn"), std::string::npos) << r.err;
  }
  // The server's own port is taken.
  ProcessResult taken = tarn({"monitor", server.name(), "-l", server.name()});
  EXPECT_EQ(taken.exitStatus, 1);
  EXPECT_NE(taken.err.find("cannot listen on 127.0.0.1:"), std::string::npos) << taken.err;
  // So is a running monitor's: the second one refuses to share it.
  {
    MonitorProcess first({server.name()});
    std::string address = "127.0.0.1:" + std::to_string(first.port());
    ProcessResult second = tarn({"monitor", server.name(), "-l", address});
    EXPECT_EQ(second.exitStatus, 1) << second.out;
    EXPECT_NE(second.err.find("cannot listen on " + address + ": Address already in use"),
              std::string::npos)
        << second.err;
  }

  ASSERT_EQ(tarn({"put", server.name()},
                 "{\"srcname\": \"broken/pf/st\", \"time\": 1, \"text\": \"junk\"}\n")
                .exitStatus,
            0);
  // Its time is long past: forgotten unless forgetting is off.
  EXPECT_TRUE(Json::parse(tarn({"status", server.name(), "--json"}).out)["relays"].empty());
  ProcessResult r = tarn({"status", server.name(), "--json", "--forget-after", "0"});
  ASSERT_EQ(r.exitStatus, 1) << r.err;  // a report that does not read needs attention
  Json doc = Json::parse(r.out);
  ASSERT_EQ(doc["relays"].size(), 1u) << r.out;
  EXPECT_EQ(doc["relays"][0]["target"], "broken");
  EXPECT_EQ(doc["relays"][0]["problem"], "does not unstuff: truncated packet");
  EXPECT_EQ(doc["relays"][0]["stale"], true);
  EXPECT_NE(tarn({"status", server.name(), "--forget-after", "0"})
                .out.find("newest report does not read"),
            std::string::npos);
}

// The connection of a writer whose server is killed: its status packets
// (carried to a third server) say sleeping with the link lost, and tarn
// status flags it; once the server is back it is yes again, unflagged.
TEST(TarnStatus, AWriterWhoseServerIsKilledIsFlaggedUntilTheServerIsBack) {
  tarntest::TarnTestServer src, dst, watch;
  testsupport::RelayPf pf;
  pf.connections = e2e::reader("from_src", src.name(), "q") +
                   e2e::writer("to_dst", dst.name(), "q") +
                   e2e::writer("to_watch", watch.name(), "sq");
  pf.status = "run true\nwrite_to_queue sq\n";
  pf.timing = "pfstatusreport 1\ninternal_timeout 1\nshutdown_grace_period 15\n";
  e2e::Relay relay(pf, {"-v", "-t", kTarget});
  ASSERT_TRUE(e2e::relayReady(relay, 3, 1)) << relay.output();
  auto status = [&] {
    return Json::parse(tarn({"status", watch.name(), "--json"}).out, nullptr, false);
  };
  // The state of to_dst at the newest report: (con, link, attention).
  auto toDst = [](const Json &doc) {
    const Json *r = relayIn(doc);
    if (r) {
      for (const Json &c : r->at("connections")) {
        if (c["name"] == "to_dst")
          return c["state"].get<std::string>() + " " + c["link"].dump() + " " +
                 c["attention"].dump();
      }
    }
    return std::string("absent");
  };
  auto is = [&](const std::string &want) {
    return [&, want](const Json &doc) { return toDst(doc) == want; };
  };
  Json doc = waitForDocument(status, is("yes \"up\" false"));
  ASSERT_EQ(toDst(doc), "yes \"up\" false") << doc.dump(2);

  dst.kill();
  ASSERT_TRUE(e2e::gen(src.name(), {"-n", "5", "-r", "100"}));
  doc = waitForDocument(status, is("sleeping \"lost\" true"));
  ASSERT_EQ(toDst(doc), "sleeping \"lost\" true") << doc.dump(2) << relay.output();
  EXPECT_EQ(relayIn(doc)->at("attention"), true);
  std::string table = tarn({"status", watch.name()}).out;
  EXPECT_NE(table.find("\n!  watched  to_dst"), std::string::npos) << table;
  EXPECT_NE(table.find("sleeping (link lost)"), std::string::npos) << table;

  dst.restart();
  doc = waitForDocument(status, is("yes \"up\" false"));
  EXPECT_EQ(toDst(doc), "yes \"up\" false") << doc.dump(2) << relay.output();
  EXPECT_TRUE(testsupport::waitUntil([&] { return e2e::newestId(dst.name()) >= 0; },
                                     std::chrono::seconds(60)))
      << "the packets put while the server was away arrive";
  EXPECT_EQ(relay.terminate(), 0) << relay.output();
  // The last report counts the mended link and the packets delivered.
  doc = waitForDocument(status, is("stopped \"none\" false"));
  ASSERT_EQ(toDst(doc), "stopped \"none\" false") << doc.dump(2);
  for (const Json &c : relayIn(doc)->at("connections")) {
    if (c["name"] != "to_dst") continue;
    EXPECT_EQ(c["counters"]["reconnections"], 1) << c;
    EXPECT_EQ(c["counters"]["packets"], 5) << c;
  }
}

TEST(TarnStatus, WatchRedrawsUntilInterrupted) {
  tarntest::TarnTestServer server;
  testsupport::ChildProcess watch({programPath("tarn"), "status", server.name(), "--watch", "0.2"});
  EXPECT_TRUE(testsupport::waitUntil([&] { return e2e::countOf(watch.out(), "\033[H") >= 3; },
                                     std::chrono::seconds(30)));
  watch.signal(SIGINT);
  EXPECT_EQ(watch.wait(std::chrono::seconds(30)), 0);
  EXPECT_NE(watch.out().find("No relay's status packets on these servers."), std::string::npos)
      << watch.out();
}

// Clients that hang hold no one up: with 50 sending half a request and 200
// sending nothing, a scrape is answered; a request never finished is told
// 408 and closed, an idle connection closed; bad requests are refused.
TEST(TarnMonitor, HangingClientsLeaveScrapesAnsweredAndAreClosed) {
  tarntest::TarnTestServer server;
  MonitorProcess monitor({server.name()});
  std::vector<int> hanging;
  for (int i = 0; i < 250; ++i) {
    int fd = connectTo(monitor.port());
    ASSERT_GE(fd, 0) << i;
    hanging.push_back(fd);
    const char half[] = "GET /api/status HTTP/1.1\r\nHost: 127";
    if (i < 50) {
      ASSERT_GT(send(fd, half, sizeof half - 1, MSG_NOSIGNAL), 0);
    }
  }
  EXPECT_TRUE(monitor.status().contains("servers")) << monitor.err();
  EXPECT_EQ(untilClosed(hanging[0]).rfind("HTTP/1.1 408 ", 0), 0u);
  EXPECT_EQ(untilClosed(hanging[100]), "");
  for (int fd : hanging) close(fd);

  EXPECT_EQ(answerTo(monitor.port(), "POST / HTTP/1.1\r\nContent-Length: 2\r\n\r\nhi")
                .rfind("HTTP/1.1 405 ", 0),
            0u);
  EXPECT_EQ(answerTo(monitor.port(), "GET / HTTP/1.1\r\nX: " + std::string(16366, 'x'))
                .rfind("HTTP/1.1 431 ", 0),
            0u);
  EXPECT_EQ(answerTo(monitor.port(), "GET /nothing HTTP/1.0\r\n\r\n").rfind("HTTP/1.1 404 ", 0),
            0u);
  std::string metrics =
      answerTo(monitor.port(), "GET /metrics HTTP/1.1\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(metrics.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << metrics;
  EXPECT_NE(metrics.find("Cache-Control: no-store"), std::string::npos) << metrics;
}

// A page of another site that points its name at this machine (DNS
// rebinding) reaches the monitor under that name: refused, unless the
// operator said it is one of the monitor's names.
TEST(TarnMonitor, AnswersOnlyUnderItsOwnNamesUnlessTold) {
  tarntest::TarnTestServer server;
  MonitorProcess monitor({server.name()}, {"--allow-host", "relay.example.org"});
  auto ask = [&](const std::string &host) {
    return answerTo(monitor.port(),
                    "GET /api/status HTTP/1.1\r\nHost: " + host + "\r\nConnection: close\r\n\r\n");
  };
  std::string refused = ask("rebound.example:6580");
  EXPECT_EQ(refused.rfind("HTTP/1.1 421 ", 0), 0u) << refused;
  EXPECT_NE(refused.find("not served under the name 'rebound.example:6580'"), std::string::npos)
      << refused;
  for (const std::string &host : {"127.0.0.1:" + std::to_string(monitor.port()),
                                 std::string("localhost"), std::string("relay.example.org:80")})
    EXPECT_EQ(ask(host).rfind("HTTP/1.1 200 ", 0), 0u) << host;
}

}  // namespace
