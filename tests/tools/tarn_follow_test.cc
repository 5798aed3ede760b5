// tarn import --follow against a real server: files grown by a writer in
// random cuts, the importer killed and started again, files rotated,
// truncated, removed and made anew: every record stored once, whole, in order
// per stream.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <regex>
#include <thread>

#include "mseed_samples.h"
#include "platform/mseed/mseed_record.h"
#include "platform/tarnclient/tarnclient.h"
#include "platform/tarnclient/tarnclient_internal.h"
#include "process.h"
#include "tarn_test_server.h"

namespace tarntest {
namespace {

using Records = std::vector<std::string>;
using namespace std::chrono_literals;

Records pack(const std::string &station, const std::string &channel, int samples) {
  mseedtest::Stream s;
  s.station = station;
  s.channel = channel;
  s.samples = mseedtest::sine(samples);
  return mseedtest::pack(s);
}

std::string sourceOf(const std::string &record) {
  std::vector<mseed::Record> h;
  mseed::check(record.data(), record.size(), &h);
  return mseed::sourceName(h.at(0));
}

void append(const std::string &path, const std::string &bytes) {
  std::ofstream(path, std::ios::binary | std::ios::app) << bytes;
}

class TarnFollow : public ::testing::Test {
 protected:
  void SetUp() override { ::mkdir(folder().c_str(), 0755); }
  std::string folder() const { return dir_.file("in"); }
  std::string in(const std::string &name) const { return folder() + "/" + name; }

  void startImporter() {
    testsupport::SpawnOptions o;
    o.output = dir_.file("import" + std::to_string(++runs_) + ".out");
    o.error = dir_.file("import" + std::to_string(runs_) + ".err");
    importer_ = std::make_unique<testsupport::ChildProcess>(
        std::vector<std::string>{testsupport::programPath("tarn"), "import", "--follow", folder(),
                                 "--state", dir_.file("state"), "--match", "*.mseed",
                                 server_.name()},
        o);
  }
  // Ends the importer as an operator would, once it is following.
  int terminate() {
    std::string out = dir_.file("import" + std::to_string(runs_) + ".out");
    EXPECT_TRUE(testsupport::waitUntil(
        [&] { return testsupport::readFile(out).find("following") != std::string::npos; }, 20s));
    importer_->signal(SIGTERM);
    return importer_->wait(20s);
  }
  std::string logs() const {
    std::string all;
    for (int i = 1; i <= runs_; ++i)
      all += testsupport::readFile(dir_.file("import" + std::to_string(i) + ".err"));
    return all;
  }
  // The packets the server holds per source name.
  std::map<std::string, uint64_t> counts() {
    std::map<std::string, uint64_t> out;
    int fd = tarnopen(server_.name().c_str(), "r&");
    tarnclient::RingFigures f;
    if (fd >= 0 && tarnclient::stat(fd, f))
      for (const auto &s : f.sources) out[s.name] = s.packets;
    if (fd >= 0) tarnclose(fd);
    return out;
  }
  bool holdsAtLeast(const std::string &src, uint64_t n, std::chrono::milliseconds limit = 30s) {
    return testsupport::waitUntil([&] { return counts()[src] >= n; }, limit);
  }
  // Every packet, in ring order: (source name, bytes).
  std::vector<std::pair<std::string, std::string>> held() {
    std::vector<std::pair<std::string, std::string>> out;
    int fd = tarnopen(server_.name().c_str(), "r&");
    tarnposition(fd, "oldest");
    char src[64];
    char *buf = nullptr;
    int bufsize = 0, id, n;
    double t;
    while (out.size() < 20000 && tarnreap_timeout(fd, 0.5, &id, src, &t, &buf, &n, &bufsize) == 0)
      out.emplace_back(src, std::string(buf, static_cast<size_t>(n)));
    std::free(buf);
    tarnclose(fd);
    return out;
  }
  // Each stream's records, each once, whole, in order, and nothing else.
  void expectEachOnceInOrder(const std::map<std::string, Records> &streams) {
    std::map<std::string, Records> got;
    for (auto &[src, bytes] : held()) got[src].push_back(bytes);
    EXPECT_EQ(got.size(), streams.size());
    for (const auto &[src, records] : streams) {
      ASSERT_EQ(got[src].size(), records.size()) << src;
      for (size_t i = 0; i < records.size(); ++i)
        ASSERT_TRUE(got[src][i] == records[i]) << src << " record " << i;
    }
  }

  testsupport::TempDir dir_;
  TarnTestServer server_;
  std::unique_ptr<testsupport::ChildProcess> importer_;
  int runs_ = 0;
};

// A writer appends each file's records in random cuts of 1 to 700 bytes,
// three files per station, while the importer is killed and started again;
// a file is removed once taken and a new one is made.
TEST_F(TarnFollow, EveryRecordOnceWholeInOrderThroughKillsCutsAndNewFiles) {
  std::map<std::string, Records> streams;  // by source name
  std::vector<std::pair<std::string, Records>> files;
  for (const char *station : {"STA", "STB"})
    for (const char *channel : {"HHZ", "HHN", "HHE"}) {
      Records r = pack(station, channel, 30000);
      files.emplace_back(std::string(station) + "." + channel + ".mseed", r);
      streams[sourceOf(r[0])] = r;
    }
  std::mt19937 random(40);
  auto write = [&](std::vector<std::pair<std::string, Records>> todo, unsigned seed) {
    std::mt19937 cuts(seed);
    std::vector<std::string> rest;
    for (auto &[name, records] : todo) rest.push_back(mseedtest::joined(records));
    for (int step = 0; step < 100000; ++step) {
      std::vector<size_t> open;
      for (size_t i = 0; i < rest.size(); ++i)
        if (!rest[i].empty()) open.push_back(i);
      if (open.empty()) break;
      size_t i = open[cuts() % open.size()];
      size_t n = std::min<size_t>(rest[i].size(), 1 + cuts() % 700);
      append(in(todo[i].first), rest[i].substr(0, n));
      rest[i].erase(0, n);
      std::this_thread::sleep_for(std::chrono::microseconds(cuts() % 3000));
    }
  };
  auto killAndRestart = [&](int times) {
    for (int k = 0; k < times; ++k) {
      std::this_thread::sleep_for(std::chrono::milliseconds(150 + random() % 250));
      importer_->signal(SIGKILL);
      importer_->wait(10s);
      startImporter();
    }
  };
  startImporter();
  std::thread writer(write, files, 1);
  killAndRestart(3);
  writer.join();
  // The first file is removed once the server holds it; a new one is made.
  const std::string removed = sourceOf(files[0].second[0]);
  ASSERT_TRUE(holdsAtLeast(removed, files[0].second.size())) << logs();
  ::unlink(in(files[0].first).c_str());
  Records fresh = pack("STC", "HHZ", 30000);
  streams[sourceOf(fresh[0])] = fresh;
  writer =
      std::thread(write, std::vector<std::pair<std::string, Records>>{{"STC.HHZ.mseed", fresh}}, 2);
  killAndRestart(2);
  writer.join();
  for (const auto &[src, records] : streams)
    ASSERT_TRUE(holdsAtLeast(src, records.size())) << src << logs();
  ASSERT_TRUE(testsupport::waitUntil(
      [&] {
        return testsupport::readFile(dir_.file("state")).find(files[0].first) == std::string::npos;
      },
      20s));
  EXPECT_EQ(terminate(), 0) << logs();
  expectEachOnceInOrder(streams);
}

// A file renamed within the folder keeps what was taken of it; a file
// truncated and written anew, and a new file under a taken file's name, are
// taken from their start; a second importer on the same state is refused;
// files whose device was numbered anew (a reboot) are the same files.
TEST_F(TarnFollow, RotatedFilesKeepTheirPlaceAndTruncatedOnesStartAgain) {
  Records a = pack("STA", "HHZ", 3000), b = pack("STB", "HHZ", 2000), c = pack("STC", "HHZ", 1500);
  testsupport::writeFile(in("a.mseed"), mseedtest::joined(a));
  startImporter();
  ASSERT_TRUE(holdsAtLeast(sourceOf(a[0]), a.size())) << logs();
  ASSERT_EQ(::rename(in("a.mseed").c_str(), in("a.1.mseed").c_str()), 0);
  testsupport::writeFile(in("a.mseed"), mseedtest::joined(b));
  ASSERT_TRUE(holdsAtLeast(sourceOf(b[0]), b.size())) << logs();
  testsupport::writeFile(in("a.1.mseed"), mseedtest::joined(c));  // truncated, then written
  ASSERT_TRUE(holdsAtLeast(sourceOf(c[0]), c.size())) << logs();

  testsupport::ProcessResult second =
      testsupport::runProgram({testsupport::programPath("tarn"), "import", "--follow", folder(),
                               "--state", dir_.file("state"), server_.name()});
  EXPECT_EQ(second.exitStatus, 1);
  EXPECT_NE(second.err.find("is in use by pid " + std::to_string(importer_->pid())),
            std::string::npos)
      << second.err;
  EXPECT_EQ(terminate(), 0) << logs();
  EXPECT_NE(logs().find("a.1.mseed: shorter"), std::string::npos) << logs();

  std::string state = testsupport::readFile(dir_.file("state"));
  testsupport::writeFile(dir_.file("state"),
                         std::regex_replace(state, std::regex("\nfile \\d+"), "\nfile 7"));
  startImporter();
  Records d = pack("STD", "HHZ", 1000);
  append(in("a.mseed"), mseedtest::joined(d));
  ASSERT_TRUE(holdsAtLeast(sourceOf(d[0]), d.size())) << logs();
  EXPECT_EQ(terminate(), 0) << logs();
  expectEachOnceInOrder(
      {{sourceOf(a[0]), a}, {sourceOf(b[0]), b}, {sourceOf(c[0]), c}, {sourceOf(d[0]), d}});
}

}  // namespace
}  // namespace tarntest
