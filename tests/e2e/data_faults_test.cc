// Faults in the data as `tarn status` shows them, with real programs: an
// archive on a full filesystem, a damaged record, a silent stream, a relay
// killed before it could say goodbye, and the exit status scripts read.
#include <gtest/gtest.h>
#include <signal.h>

#include <ctime>
#include <functional>
#include <nlohmann/json.hpp>
#include <thread>

#include "monitor_process.h"
#include "mseed_samples.h"
#include "platform/tarnclient/tarnclient.h"
#include "relay_e2e.h"

namespace e2e {
namespace {

using Json = nlohmann::json;
using e2e::MonitorProcess;
using std::chrono::seconds;
using tarntest::TarnTestServer;
using testsupport::programPath;
using testsupport::RelayPf;
using testsupport::runProgram;

struct Status {
  int exit = -1;
  Json doc;
};

Status status(const std::vector<std::string> &args) {
  std::vector<std::string> argv = {programPath("tarn"), "status", "--json"};
  argv.insert(argv.end(), args.begin(), args.end());
  testsupport::ProcessResult r = runProgram(argv, seconds(60));
  return {r.exitStatus, Json::parse(r.out, nullptr, false)};
}

// The connection `name` of the only relay in the document, or null.
Json connection(const Json &doc, const std::string &name) {
  if (!doc.is_object() || doc["relays"].empty()) return nullptr;
  for (const Json &c : doc["relays"][0]["connections"])
    if (c["name"] == name) return c;
  return nullptr;
}

// Waits for a `tarn status` document of `tarn` that `done` accepts.
Status waitForStatus(const std::string &tarn, const std::function<bool(const Json &)> &done,
                     const std::vector<std::string> &more = {}) {
  Status s;
  std::vector<std::string> args = {tarn};
  args.insert(args.end(), more.begin(), more.end());
  testsupport::waitUntil(
      [&] {
        s = status(args);
        return done(s.doc);
      },
      seconds(60));
  return s;
}

bool put(const std::string &tarn, const std::string &src, double time, const std::string &bytes) {
  int fd = tarnopen(tarn.c_str(), "w&");
  bool ok = fd >= 0 && tarnput(fd, src.c_str(), time, bytes.data(), int(bytes.size())) == 0;
  if (fd >= 0) tarnclose(fd);
  return ok;
}

std::vector<std::string> records(int samples) {
  mseedtest::Stream s;
  s.samples = mseedtest::sine(samples);
  return mseedtest::pack(s);
}

RelayPf withStatus(const std::string &connections, const TarnTestServer &mon) {
  RelayPf pf;
  pf.connections = connections + writer("status_out", mon.name(), "st");
  pf.status = "run true\nwrite_to_queue st\n";
  pf.timing = "pfstatusreport 1\ninternal_timeout 1\nshutdown_grace_period 15\n";
  return pf;
}

// A damaged record is rejected, named once with what is wrong with it, and
// counted under its cause in the status packets.
TEST(DataFaults, ADamagedRecordIsCountedAsRejectedWithItsReason) {
  TarnTestServer src, dst, mon;
  std::vector<std::string> recs = records(3000);
  ASSERT_GE(recs.size(), 3u);
  recs[1] = mseedtest::withBrokenSteim(recs[1]);
  for (size_t i = 0; i < recs.size(); ++i)
    ASSERT_TRUE(put(src.name(), "XX_STA_HHZ_00/MSEED", 1796601600.0 + double(i), recs[i]));
  Relay relay(
      withStatus(reader("in", src.name(), "q", "starttime 2000-01-01\ncheck_unstuff true\n") +
                     writer("out", dst.name(), "q"),
                 mon),
      {"-v", "-t", "checked"});
  ASSERT_TRUE(waitForCount(dst.name(), recs.size() - 1)) << relay.output();
  Status s = waitForStatus(mon.name(), [](const Json &d) {
    Json c = connection(d, "in");
    return c.is_object() && c["counters"]["rejected_total"] == 1;
  });
  EXPECT_EQ(connection(s.doc, "in")["counters"]["rejected"], Json({{"no_unstuff", 1}})) << s.doc;
  EXPECT_EQ(relay.terminate(), 0);
  EXPECT_EQ(countOf(relay.output(), "packet doesn't unstuff ("), 1) << relay.output();
  EXPECT_NE(relay.output().find("(not valid miniSEED records: "), std::string::npos)
      << relay.output();
}

// A stream without a new packet for longer than --silent-after is flagged,
// and makes `tarn status` exit 1; one that keeps coming is not. Exit 0 when
// nothing needs attention, 2 when no server could be reached.
TEST(DataFaults, SilentStreamsAreFlaggedAndTheExitStatusSaysWhatNeedsAttention) {
  TarnTestServer tarn;
  double now = double(std::time(nullptr));
  ASSERT_TRUE(put(tarn.name(), "QUIET_1/X", now, "x"));
  Status fresh = status({tarn.name(), "--silent-after", "600"});
  EXPECT_EQ(fresh.exit, 0) << fresh.doc;
  EXPECT_EQ(fresh.doc["silent_streams"], 0);
  EXPECT_EQ(fresh.doc["streams"][0]["silent"], false);
  EXPECT_LT(fresh.doc["streams"][0]["feed_latency_seconds"].get<double>(), 60.0);

  std::this_thread::sleep_for(std::chrono::milliseconds(2100));  // silence is time passing
  ASSERT_TRUE(put(tarn.name(), "LOUD_1/X", double(std::time(nullptr)), "x"));
  Status quiet = status({tarn.name(), "--silent-after", "2"});
  EXPECT_EQ(quiet.exit, 1) << quiet.doc;
  EXPECT_EQ(quiet.doc["attention"], true);
  EXPECT_EQ(quiet.doc["silent_streams"], 1);
  for (const Json &st : quiet.doc["streams"])
    EXPECT_EQ(st["silent"], st["name"] == "QUIET_1/X") << st;
  std::string table =
      runProgram({programPath("tarn"), "status", tarn.name(), "--silent-after", "2"}, seconds(60))
          .out;
  EXPECT_NE(table.find("!  QUIET_1/X"), std::string::npos) << table;

  Status none = status({":" + std::to_string(freePort())});
  EXPECT_EQ(none.exit, 2) << none.doc;
}

// A relay killed in its first second said no final report: it goes stale,
// then lost, and is never shown as stopped.
TEST(DataFaults, ARelayKilledInItsFirstSecondIsLostNotStopped) {
  TarnTestServer src, dst, mon;
  Relay relay(withStatus(reader("in", src.name(), "q") + writer("out", dst.name(), "q"), mon),
              {"-v", "-t", "shortlived"});
  ASSERT_TRUE(testsupport::waitUntil([&] { return newestId(mon.name()) >= 0; }, seconds(30)));
  relay.process().signal(SIGKILL);
  relay.process().wait(seconds(30));
  Status s = waitForStatus(mon.name(), [](const Json &d) {
    return d.is_object() && !d["relays"].empty() && d["relays"][0]["lost"] == true;
  });
  ASSERT_EQ(s.doc["relays"][0]["lost"], true) << s.doc;
  EXPECT_EQ(s.doc["relays"][0]["stopped"], false);
  EXPECT_EQ(s.doc["relays"][0]["attention"], true);
  EXPECT_EQ(s.exit, 1);
}

// An SDS archive on a filesystem that fills up: its writer's connection is
// flagged, with the reason, the time and the room left, until space is
// freed; then every record is archived once. The filesystem is a small
// tmpfs in a namespace of the test's own (where the machine allows one),
// which the relay runs in.
TEST(DataFaults, AnArchiveOnAFullFilesystemIsFlaggedUntilSpaceIsFreed) {
  testsupport::TempDir dir;
  TarnTestServer src, mon;
  std::vector<std::string> recs = records(20000);  // about 60 records of 512 bytes
  std::string sds = dir.file("sds"), copy = dir.file("copy");
  RelayPf pf = withStatus(reader("in", src.name(), "q", "starttime 2000-01-01\n") +
                              testsupport::connectionEntry("name arch\nwrite_to_sds " + sds +
                                                           "/archive\nread_from_queue q\n"),
                          mon);
  testsupport::writeFile(dir.file("relay.pf"), pf.text());
  // Room for the filler and a few records; the filler goes when asked, the
  // archive is copied out before the namespace ends.
  std::string script =
      "mkdir -p " + sds + " && mount -t tmpfs -o size=64k tmpfs " + sds + " || exit 99\n" +
      "dd if=/dev/zero of=" + sds + "/filler bs=4k count=14 2>/dev/null\n" +
      programPath("tarn2tarn_pre") + " -p " + dir.file("relay.pf") + " -t full -v & relay=$!\n" +
      "for i in $(seq 600); do [ -e " + dir.file("free") + " ] && break; sleep 0.1; done\n" +
      "rm -f " + sds + "/filler\n" + "for i in $(seq 600); do [ -e " + dir.file("done") +
      " ] && break; sleep 0.1; done\n" + "cp -r " + sds + "/archive " + copy +
      "; kill -TERM $relay; wait $relay\n";
  testsupport::ChildProcess ns({"/usr/bin/env", "unshare", "-rm", "sh", "-c", script});
  for (size_t i = 0; i < recs.size(); ++i)
    ASSERT_TRUE(put(src.name(), "XX_STA_HHZ_00/MSEED", 1796601600.0 + double(i), recs[i]));
  Status full = waitForStatus(mon.name(), [&](const Json &d) {
    Json c = connection(d, "arch");
    return !ns.running() || (c.is_object() && c["fault"].is_string());
  });
  if (!ns.running() && (ns.wait(seconds(1)) == 99 || ns.wait(seconds(1)) == 1))
    GTEST_SKIP() << "no tmpfs here: " << ns.err();
  Json arch = connection(full.doc, "arch");
  ASSERT_TRUE(arch.is_object() && arch["fault"].is_string()) << full.doc << ns.err();
  EXPECT_NE(arch["fault"].get<std::string>().find("No space left on device"), std::string::npos);
  EXPECT_GT(arch["fault_since"].get<double>(), 0);
  EXPECT_LT(arch["free_bytes"].get<double>(), 8192);
  EXPECT_EQ(arch["attention"], true);
  EXPECT_EQ(full.exit, 1);
  // The page too: the archive's row marked, with why.
  e2e::Chromium chromium("1400,1000");
  std::unique_ptr<MonitorProcess> monitor;
  if (!chromium.path().empty()) {
    monitor = std::make_unique<MonitorProcess>(std::vector<std::string>{mon.name()});
    testsupport::waitUntil([&] { return !monitor->status()["relays"].empty(); }, seconds(30));
    std::string dom = chromium.run("--dump-dom", monitor->url()).out;
    dom = dom.substr(0, dom.find("<script"));
    size_t row = dom.find(
        "<tr class=\"attention\"><td><span class=\"mark\">!</span></td><td "
        "class=\"connection\"><span class=\"name\">arch<");
    ASSERT_NE(row, std::string::npos) << dom;
    EXPECT_NE(dom.find("No space left on device", row), std::string::npos);
  }

  testsupport::writeFile(dir.file("free"), "");
  Status freed = waitForStatus(mon.name(), [&](const Json &d) {
    Json c = connection(d, "arch");
    return c.is_object() && c["fault"].is_null() && c["counters"]["packets"] == recs.size();
  });
  Json after = connection(freed.doc, "arch");
  EXPECT_TRUE(after.is_object() && after["fault"].is_null()) << freed.doc;
  EXPECT_EQ(after["attention"], false);
  if (monitor) {
    testsupport::waitUntil([&] { return connection(monitor->status(), "arch")["fault"].is_null(); },
                           seconds(30));
    std::string dom = chromium.run("--dump-dom", monitor->url()).out;
    EXPECT_NE(dom.find("Nothing needs attention."), std::string::npos);
  }
  testsupport::writeFile(dir.file("done"), "");
  EXPECT_EQ(ns.wait(seconds(60)), 0) << ns.err();
  std::string files = runProgram({"/usr/bin/find", copy, "-type", "f"}).out;
  std::string day = testsupport::readFile(files.substr(0, files.find('\n')));
  EXPECT_TRUE(day == mseedtest::joined(recs))
      << "every record once, in order: " << day.size() << " bytes archived of "
      << mseedtest::joined(recs).size();
}

}  // namespace
}  // namespace e2e
