// Checked by an implementation no one here wrote: seisplotjs, the field's
// JavaScript library, run in Node, reads the records of the test set as the
// files hold them, as the relay archived them (SDS day files), and as
// `tarn tail --data` shows them; every record's stream, start and samples
// equal what was packed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <map>
#include <nlohmann/json.hpp>

#include "mseed_samples.h"
#include "platform/mseed/mseed_record.h"
#include "platform/tarnclient/tarnclient.h"
#include "relay_e2e.h"

namespace e2e {
namespace {

using nlohmann::json;
using std::chrono::seconds;

struct Expected {
  std::vector<double> starts;    // of its records, in order
  std::vector<int32_t> samples;  // all of them, in order
};

std::string streamId(const mseedtest::Stream &s) {
  return s.network + "." + s.station + "." + s.location + "." + s.channel;
}

std::string nodeScript() { return std::string(RELAY_SOURCE_DIR) + "/tests/e2e/js/read_mseed.mjs"; }

std::string nodeDir() {
  if (const char *dir = std::getenv("TARN_NODE_DIR")) return dir;
  return std::string(std::getenv("HOME") ? std::getenv("HOME") : "/root") +
         "/.cache/tarn2tarn_pre/node";
}

// What seisplotjs read, by stream: each record's start, and the samples.
std::map<std::string, Expected> readWithSeisplotjs(const std::vector<std::string> &args,
                                                   const std::string &input = "") {
  std::vector<std::string> argv = {"/usr/bin/env", "TARN_NODE_DIR=" + nodeDir(), "node",
                                   nodeScript()};
  argv.insert(argv.end(), args.begin(), args.end());
  auto r = testsupport::runProgram(argv, seconds(120), input);
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  std::map<std::string, Expected> read;
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);) {
    json record = json::parse(line);
    Expected &e = read[record["stream"].get<std::string>()];
    e.starts.push_back(record["start"].get<double>());
    for (double v : record["samples"]) e.samples.push_back(static_cast<int32_t>(v));
  }
  return read;
}

class Seisplotjs : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(access((nodeDir() + "/node_modules/seisplotjs/package.json").c_str(), R_OK), 0)
        << "seisplotjs is not installed in " << nodeDir() << ": run make deps";
    for (const mseedtest::Stream &s : mseedtest::standardSet()) {
      std::vector<std::string> records = mseedtest::pack(s);
      Expected &e = expected[streamId(s)];
      for (const std::string &r : records) {
        std::vector<mseed::Record> h;
        ASSERT_EQ(mseed::headers(r.data(), r.size(), &h), "");
        e.starts.push_back(h[0].start);
        all.push_back(r);
      }
      e.samples.insert(e.samples.end(), s.samples.begin(), s.samples.end());
      files[s.station] += mseedtest::joined(records);
    }
  }
  // Every stream seisplotjs read holds the packed samples, its records
  // starting at the packed starts (to the millisecond it keeps).
  void expectSame(const std::map<std::string, Expected> &read, const std::string &how) {
    ASSERT_EQ(read.size(), expected.size()) << how;
    for (const auto &[stream, want] : expected) {
      auto got = read.find(stream);
      ASSERT_NE(got, read.end()) << how << ": " << stream;
      EXPECT_TRUE(got->second.samples == want.samples) << how << ": " << stream;
      ASSERT_EQ(got->second.starts.size(), want.starts.size()) << how << ": " << stream;
      for (size_t i = 0; i < want.starts.size(); ++i) {
        EXPECT_NEAR(got->second.starts[i], want.starts[i], 0.001) << how << ": " << stream;
      }
    }
  }

  testsupport::TempDir dir;
  std::map<std::string, Expected> expected;
  std::map<std::string, std::string> files;  // by station: its records
  std::vector<std::string> all;              // every record
};

TEST_F(Seisplotjs, ReadsTheTestSetTheArchiveAndWhatTailShowsAsPacked) {
  std::vector<std::string> paths;
  for (const auto &[station, bytes] : files) {
    paths.push_back(dir.file(station + ".mseed"));
    testsupport::writeFile(paths.back(), bytes);
  }
  expectSame(readWithSeisplotjs(paths), "the test set's files");

  tarntest::TarnTestServer src;
  int fd = tarnopen(src.name().c_str(), "w&");
  ASSERT_GE(fd, 0);
  for (const std::string &r : all) {
    std::vector<mseed::Record> h;
    mseed::headers(r.data(), r.size(), &h);
    ASSERT_EQ(tarnput(fd, mseed::sourceName(h[0]).c_str(), h[0].start, r.data(),
                      static_cast<int>(r.size())),
              0);
  }
  ASSERT_EQ(tarnclose(fd), 0);

  auto tail = testsupport::runProgram({testsupport::programPath("tarn"), "tail", src.name(),
                                       "--from", "oldest", "-t", "1", "--json", "--data"});
  ASSERT_EQ(tail.exitStatus, 0) << tail.err;
  expectSame(readWithSeisplotjs({"-"}, tail.out), "the records tarn tail shows");

  std::string root = dir.file("archive");
  testsupport::RelayPf pf;
  pf.connections =
      reader("in", src.name(), "q", "starttime 2000-01-01\ncheck_unstuff true\n") +
      testsupport::connectionEntry("name arch\nwrite_to_sds " + root + "\nread_from_queue q\n");
  Relay relay(pf);
  std::vector<std::string> archived;
  ASSERT_TRUE(testsupport::waitUntil(
      [&] {
        auto found = testsupport::runProgram({"/usr/bin/find", root, "-type", "f"}).out;
        size_t bytes = 0;
        archived.clear();
        std::istringstream names(found);
        for (std::string name; std::getline(names, name);) {
          archived.push_back(name);
          bytes += testsupport::readFile(name).size();
        }
        size_t want = 0;
        for (const std::string &r : all) want += r.size();
        return bytes >= want;
      },
      seconds(60)))
      << relay.output();
  EXPECT_EQ(relay.terminate(), 0) << relay.output();
  std::sort(archived.begin(), archived.end());
  expectSame(readWithSeisplotjs(archived), "the SDS archive's day files");
}

}  // namespace
}  // namespace e2e
