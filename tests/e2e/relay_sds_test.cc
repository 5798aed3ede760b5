// Files of miniSEED records, `tarn import` onto a tarn server, the relay
// into an SDS archive: the archive holds every record once, in order, in
// the day file of its start; the relay killed with SIGKILL while it writes
// and started again on its statefile leaves no record missing and none
// twice; the archive removed under the relay loses no record that was
// not yet on disk.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdlib>
#include <filesystem>
#include <map>

#include "mseed_samples.h"
#include "platform/mseed/mseed_record.h"
#include "relay_e2e.h"

namespace e2e {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// Records of three channels, the last starting just before midnight so
// that a record spans it.
std::vector<std::string> channelRecords(const std::string &channel, double start, int samples) {
  mseedtest::Stream s;
  s.channel = channel;
  s.start = start;
  s.samples = mseedtest::sine(samples);
  return mseedtest::pack(s);
}

// Every record in the archive's day files, by stream, in file order.
std::map<std::string, std::vector<std::string>> archived(const std::string &root) {
  std::map<std::string, std::vector<std::string>> streams;
  std::string listing = testsupport::runProgram({"/usr/bin/find", root, "-type", "f"}).out;
  std::vector<std::string> files;
  for (size_t at = 0; at < listing.size();) {
    size_t end = listing.find('\n', at);
    files.push_back(listing.substr(at, end - at));
    at = end + 1;
  }
  std::sort(files.begin(), files.end());
  for (const std::string &file : files) {
    std::string bytes = testsupport::readFile(file);
    for (size_t at = 0; at < bytes.size();) {
      int length = mseed::recordLength(bytes.data() + at, bytes.size() - at);
      if (length <= 0) {
        ADD_FAILURE() << file << " holds no record at byte " << at;
        break;
      }
      std::vector<mseed::Record> h;
      mseed::headers(bytes.data() + at, static_cast<size_t>(length), &h);
      streams[h.at(0).channel].push_back(bytes.substr(at, static_cast<size_t>(length)));
      at += static_cast<size_t>(length);
    }
  }
  return streams;
}

class RelaySds : public testing::Test {
 protected:
  std::unique_ptr<Relay> start() {
    testsupport::RelayPf pf;
    pf.connections =
        reader("in", src.name(), "q", "starttime 2000-01-01\ncheck_unstuff true\n") +
        testsupport::connectionEntry("name arch\nwrite_to_sds " + root() + "\nread_from_queue q\n");
    auto relay =
        std::make_unique<Relay>(pf, std::vector<std::string>{"-S", dir.file("relay.state"), "-v"});
    EXPECT_TRUE(relay->waitFor("Connected to SDS archive") && relay->waitFor("Repositioned tarn"))
        << relay->output();
    return relay;
  }
  std::string root() const { return dir.file("archive"); }
  // The packet id the statefile's position resumes after; -1 without one.
  long savedPktid() {
    std::string text = testsupport::readFile(dir.file("relay.state"));
    size_t at = text.find("\" after ");
    return at == std::string::npos ? -1 : std::atol(text.c_str() + at + 8);
  }

  // Writes each channel's records to a file of its own and starts `tarn
  // import` on them, `perSecond` records a second.
  std::unique_ptr<testsupport::ChildProcess> importFiles(
      const std::map<std::string, std::vector<std::string>> &channels, int perSecond) {
    std::vector<std::string> argv = {testsupport::programPath("tarn"), "import", "--rate",
                                     std::to_string(perSecond), src.name()};
    for (const auto &[name, records] : channels) {
      argv.push_back(dir.file(name + ".mseed"));
      testsupport::writeFile(argv.back(), mseedtest::joined(records));
    }
    return std::make_unique<testsupport::ChildProcess>(argv);
  }

  testsupport::TempDir dir;
  tarntest::TarnTestServer src;
};

TEST_F(RelaySds, KilledWhileWritingAndStartedAgainTheArchiveHoldsEveryRecordOnce) {
  const double midnight = 1796601600.0;
  std::map<std::string, std::vector<std::string>> channels = {
      {"HHZ", channelRecords("HHZ", midnight - 600, 180000)},
      {"HHN", channelRecords("HHN", midnight - 600, 180000)},
      {"HHE", channelRecords("HHE", midnight - 3, 150000)}};
  size_t total = 0;
  for (const auto &[name, records] : channels) total += records.size();
  auto relay = start();
  auto import = importFiles(channels, 1500);
  // Killed once a good part, but not all, is in the archive.
  bool midway = testsupport::waitUntil(
      [&] {
        size_t n = 0;
        for (const auto &[name, records] : archived(root())) n += records.size();
        return n >= total / 3;
      },
      seconds(60));
  relay->process().signal(SIGKILL);
  relay->process().wait(seconds(30));
  relay = start();
  EXPECT_EQ(import->wait(seconds(120)), 0) << import->err() << import->out();
  EXPECT_TRUE(midway);
  bool all = testsupport::waitUntil(
      [&] {
        size_t n = 0;
        for (const auto &[name, records] : archived(root())) n += records.size();
        return n >= total;
      },
      seconds(120));
  EXPECT_TRUE(all) << relay->output();
  EXPECT_EQ(relay->terminate(), 0) << relay->output();
  auto stored = archived(root());
  for (const auto &[name, records] : channels) {
    EXPECT_EQ(stored[name].size(), records.size()) << name << ": none missing, none twice";
    EXPECT_TRUE(stored[name] == records) << name << ": the records, in order";
  }
  std::printf("%zu records archived once each across a SIGKILL; %s\n", total,
              relay->waitFor("already, and were not written again", 1, milliseconds(1))
                  ? "the repeats were recognised"
                  : "nothing was read twice");
}

// `rm -rf` of the archive while records flow, then a SIGKILL and a restart:
// what was on disk before the removal is gone with it, and every record
// after that is in the archive made anew, once and in order.
TEST_F(RelaySds, TheArchiveRemovedWhileRecordsFlowLosesNoRecordNotYetOnDisk) {
  const std::vector<std::string> records = channelRecords("HHZ", 1796601600.0, 2000000);
  auto count = [&] { return archived(root())["HHZ"].size(); };
  auto relay = start();
  auto import = importFiles({{"HHZ", records}}, 2000);
  ASSERT_TRUE(testsupport::waitUntil([&] { return count() >= records.size() / 4; }, seconds(60)));
  size_t before = count();
  std::filesystem::remove_all(root());
  EXPECT_TRUE(relay->waitFor("removed or replaced while records went to", 1, seconds(30)))
      << relay->output();
  // Killed once a save has passed the removal: what was read before it,
  // done and gone with the archive, is not read again.
  ASSERT_TRUE(testsupport::waitUntil([&] { return savedPktid() > static_cast<long>(before); },
                                     seconds(60)));
  relay->process().signal(SIGKILL);
  relay->process().wait(seconds(30));
  relay = start();
  EXPECT_EQ(import->wait(seconds(120)), 0) << import->err();
  EXPECT_TRUE(testsupport::waitUntil(
      [&] {
        auto stored = archived(root())["HHZ"];
        return !stored.empty() && stored.back() == records.back();
      },
      seconds(120)))
      << relay->output();
  EXPECT_EQ(relay->terminate(), 0) << relay->output();
  std::vector<std::string> stored = archived(root())["HHZ"];
  ASSERT_LE(stored.size(), records.size()) << relay->output();
  size_t gone = records.size() - stored.size();
  EXPECT_LE(gone, before) << "only records on disk before the removal are gone";
  EXPECT_TRUE(std::equal(stored.begin(), stored.end(), records.begin() + gone))
      << "the rest once each, in order";
  std::printf("archive removed with %zu of %zu records in it: %zu of them were gone with it, "
              "every later record is there once\n",
              before, records.size(), gone);
}

}  // namespace
}  // namespace e2e
