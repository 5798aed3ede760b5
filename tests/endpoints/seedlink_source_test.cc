// The SeedLink reader against a real tarnserver --seedlink, across a
// restart on its statefile: a station that had sent nothing before the
// restart gets what arrived meanwhile, and the one that had resumes after
// its last record done; and when the server lost its ring and numbers anew
// up to the saved place, every record it holds now is taken.
#include "endpoints/seedlink_source.h"

#include <gtest/gtest.h>

#include "base/stop.h"
#include "mseed_samples.h"
#include "platform/statefile/statefile.h"
#include "platform/tarnclient/tarnclient.h"
#include "process.h"
#include "relay_e2e.h"
#include "tarn/tarn_packet.h"
#include "tarn_test_server.h"
#include "test_context.h"

namespace {

// The statefile of the test.
class Saver : public PositionSaver {
 public:
  explicit Saver(std::string path) : m_path(std::move(path)) {}
  const std::string &statefile() const override { return m_path; }
  void saveNow() override { bury(); }

 private:
  std::string m_path;
};

// Records `from` .. `from + n - 1` of a station's HHZ channel, put in order.
bool put(const std::string &tarn, const std::string &station, int from, int n) {
  mseedtest::Stream s;
  s.station = station;
  s.samples = mseedtest::sine((from + n + 1) * 1000);
  std::vector<std::string> records = mseedtest::pack(s);
  int fd = tarnopen(tarn.c_str(), "w&");
  bool ok = fd >= 0;
  for (int i = from; ok && i < from + n; ++i) {
    std::string name = "XX_" + station + "_HHZ_00/MSEED";
    ok = tarnput(fd, name.c_str(), 1796601600.0 + i, records.at(i).data(),
                 static_cast<int>(records[i].size())) == 0;
  }
  return tarnclose(fd) == 0 && ok;
}

// Reads `n` packets (or what comes in 10 s), each done at once; their names.
std::vector<std::string> read(PacketSource &source, size_t n) {
  std::vector<std::string> names;
  for (int i = 0; i < 100 && names.size() < n; ++i) {
    PacketBatch batch;
    source.next(0.1, batch);
    for (auto &p : batch) {
      names.push_back(p->srcname());
      p->done();
    }
    source.handled();
  }
  return names;
}

TEST(SeedLinkSource, AStationSilentBeforeARestartGetsWhatArrivedMeanwhile) {
  Stop.store(0);
  testsupport::TempDir dir;
  int port = e2e::freePort();
  tarntest::TarnTestServer server({"--seedlink", "127.0.0.1:" + std::to_string(port)});
  Saver saver(dir.file("state"));
  RelayContext context = testsupport::testContext(0.2, "relay1", &saver);
  SeedLinkEndpoint endpoint;
  endpoint.server = "127.0.0.1:" + std::to_string(port);
  endpoint.selection = "XX_STA XX_STB";
  ASSERT_EQ(parseSeedLinkSelection(endpoint.selection, endpoint.stations), "");
  std::string why;

  exhume(saver.statefile().c_str(), &Stop, 0, 0);
  {
    SeedLinkSource source(endpoint, "in", ReaderSettings{}, context);
    ASSERT_EQ(source.open(why), OpenResult::kOpened) << why;
    ASSERT_TRUE(put(server.name(), "STA", 0, 3));
    EXPECT_EQ(read(source, 3).size(), 3u);
    bury();
  }
  // Meanwhile STA and STB (which had sent nothing) go on.
  ASSERT_TRUE(put(server.name(), "STA", 3, 2));
  ASSERT_TRUE(put(server.name(), "STB", 0, 2));
  exhume(saver.statefile().c_str(), &Stop, 0, 0);
  SeedLinkSource source(endpoint, "in", ReaderSettings{}, context);
  ASSERT_EQ(source.open(why), OpenResult::kOpened) << why;
  EXPECT_EQ(read(source, 4),
            (std::vector<std::string>{"XX_STA_HHZ_00/MSEED", "XX_STA_HHZ_00/MSEED",
                                      "XX_STB_HHZ_00/MSEED", "XX_STB_HHZ_00/MSEED"}));
}

TEST(SeedLinkSource, AServerThatNumbersAnewIsReadFromItsOldestRecord) {
  Stop.store(0);
  testsupport::TempDir dir;
  int port = e2e::freePort();
  tarntest::TarnTestServer server({"--seedlink", "127.0.0.1:" + std::to_string(port)});
  Saver saver(dir.file("state"));
  RelayContext context = testsupport::testContext(0.2, "relay1", &saver);
  SeedLinkEndpoint endpoint;
  endpoint.server = "127.0.0.1:" + std::to_string(port);
  endpoint.selection = "XX_ST?";  // one wildcard: one place asked for both stations
  ASSERT_EQ(parseSeedLinkSelection(endpoint.selection, endpoint.stations), "");
  std::string why;

  exhume(saver.statefile().c_str(), &Stop, 0, 0);
  {
    SeedLinkSource source(endpoint, "in", ReaderSettings{}, context);
    ASSERT_EQ(source.open(why), OpenResult::kOpened) << why;
    ASSERT_TRUE(put(server.name(), "STA", 0, 4));
    ASSERT_TRUE(put(server.name(), "STB", 0, 2));
    EXPECT_EQ(read(source, 6).size(), 6u);
    bury();
  }
  // The server restarts without a ring file: its numbers begin again, up
  // to the place the statefile keeps (the record asked for is the next to
  // come), and the record that then gets that number is another one.
  server.restart();
  ASSERT_TRUE(put(server.name(), "STB", 2, 3));
  exhume(saver.statefile().c_str(), &Stop, 0, 0);
  SeedLinkSource source(endpoint, "in", ReaderSettings{}, context);
  ASSERT_EQ(source.open(why), OpenResult::kOpened) << why;
  ASSERT_TRUE(put(server.name(), "STB", 5, 1));
  EXPECT_EQ(read(source, 4), std::vector<std::string>(4, "XX_STB_HHZ_00/MSEED"));
}

// A reader that started with the records to come and was stopped before
// any of its records was done saves its place at its first record: after
// the restart it reads from that record, and neither what came before it
// nor anything twice.
TEST(SeedLinkSource, APlaceSavedAtAFirstRecordNotYetDoneResumesThere) {
  Stop.store(0);
  testsupport::TempDir dir;
  int port = e2e::freePort();
  tarntest::TarnTestServer server({"--seedlink", "127.0.0.1:" + std::to_string(port)});
  Saver saver(dir.file("state"));
  RelayContext context = testsupport::testContext(0.2, "relay1", &saver);
  SeedLinkEndpoint endpoint;
  endpoint.server = "127.0.0.1:" + std::to_string(port);
  endpoint.selection = "XX_STA";
  ASSERT_EQ(parseSeedLinkSelection(endpoint.selection, endpoint.stations), "");
  std::string why;
  ASSERT_TRUE(put(server.name(), "STA", 0, 3));  // before the reader: not wanted
  exhume(saver.statefile().c_str(), &Stop, 0, 0);
  {
    SeedLinkSource source(endpoint, "in", ReaderSettings{}, context);
    ASSERT_EQ(source.open(why), OpenResult::kOpened) << why;
    ASSERT_TRUE(put(server.name(), "STA", 3, 2));
    std::vector<std::shared_ptr<TarnPacket>> held;
    for (int i = 0; i < 100 && held.size() < 2; ++i) {
      PacketBatch batch;
      source.next(0.1, batch);
      held.insert(held.end(), batch.begin(), batch.end());
    }
    ASSERT_EQ(held.size(), 2u);
    bury();  // none done
    for (auto &p : held) p->done();
  }
  exhume(saver.statefile().c_str(), &Stop, 0, 0);
  SeedLinkSource source(endpoint, "in", ReaderSettings{}, context);
  ASSERT_EQ(source.open(why), OpenResult::kOpened) << why;
  EXPECT_EQ(read(source, 2).size(), 2u);
  PacketBatch more;
  source.next(0.5, more);
  EXPECT_TRUE(more.empty()) << more.size() << " more: read from before the place, or twice";
}

}  // namespace
