// A DataLink session on its own, over a ring in memory: what a WRITE
// stores and answers, what is refused and how, positions, MATCH and READ,
// the stream and its end, INFO, and bytes that are not DataLink.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "mseed_samples.h"
#include "platform/datalink/datalink_wire.h"
#include "tarnserver/datalink_session.h"

namespace tarnserver {
namespace {

using Message = datalink::DatalinkReader::Message;

// Messages are put together by hand: the test does not trust the writer of
// the library it tests against.
std::string dl(const std::string &header, const std::string &data = "") {
  return std::string("DL") + static_cast<char>(header.size()) + header + data;
}

std::string write(const std::string &id, const std::string &records, const char *flags = "A") {
  return dl("WRITE " + id + " 0 0 " + flags + " " + std::to_string(records.size()), records);
}

class FakeServer : public ServerView {
 public:
  std::string serverId() const override { return "tarnserver 127.0.0.1:6510"; }
  double startTime() const override { return 1796601600.0; }
  uint32_t clientCount() const override { return 1; }
  TrafficRates rates() const override { return {}; }
  std::vector<ClientListing> connections() const override {
    ClientListing v;
    v.port = "DataLink", v.peer = "127.0.0.1:5000", v.info.identity = "probe:me:1:x";
    return {v};
  }
};

class DatalinkSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RingOptions o;
    o.size = 4 << 20;
    std::string err;
    ring_ = Ring::open(o, err);
    ASSERT_TRUE(ring_) << err;
    mseedtest::Stream s;
    s.samples = mseedtest::sine(3000);
    records_ = mseedtest::pack(s);  // XX.STA.00.HHZ
    s.station = "OTH", s.location = "";
    others_ = mseedtest::pack(s);  // XX.OTH..HHZ
    ASSERT_GE(records_.size(), 3u);
  }
  std::unique_ptr<DatalinkSession> make(bool writer = true) {
    ClientAccess access;
    if (writer) access.write = WritePermit::anySource();
    access.host = "127.0.0.2", access.tarn = "127.0.0.1:6510";
    return std::make_unique<DatalinkSession>(*ring_, limits_, server_, access, nullptr);
  }
  // Feeds the bytes and returns the messages answered.
  std::vector<Message> send(DatalinkSession &s, const std::string &bytes, bool alive = true) {
    EXPECT_EQ(s.consume(bytes.data(), bytes.size()) >= 0, alive);
    return answers(s);
  }
  std::vector<Message> answers(DatalinkSession &s) {
    reader_.feed(s.outData(), s.outSize());
    s.consumed(s.outSize());
    std::vector<Message> out;
    Message m;
    while (reader_.next(m) == datalink::DatalinkReader::Status::kReady) out.push_back(m);
    return out;
  }

  std::unique_ptr<Ring> ring_;
  SessionLimits limits_;
  FakeServer server_;
  datalink::DatalinkReader reader_{datalink::Sender::kServer, 1 << 20};
  std::vector<std::string> records_, others_;
};

TEST_F(DatalinkSessionTest, WritesStoreEachRecordAsAPacketAndAcknowledgeOnlyWithA) {
  auto s = make();
  auto got = send(*s, write("XX_STA_00_HHZ/MSEED", records_[0]) +
                          write("XX_STA_00_HHZ/MSEED", records_[1] + records_[2], "N") +
                          write("XX_OTH__HHZ/mseed", others_[0]));
  ASSERT_EQ(got.size(), 2u);  // the N write is not answered
  EXPECT_EQ(got[0].header, "OK 0 " + std::to_string(got[0].data.size()));
  EXPECT_EQ(got[1].header.substr(0, 5), "OK 3 ");
  ASSERT_EQ(ring_->count(), 4u);
  const char *names[] = {"XX_STA_HHZ_00/MSEED", "XX_STA_HHZ_00/MSEED", "XX_STA_HHZ_00/MSEED",
                         "XX_OTH_HHZ/MSEED"};
  const std::string *bytes[] = {&records_[0], &records_[1], &records_[2], &others_[0]};
  for (uint64_t i = 0; i < 4; ++i) {
    PacketRef p = ring_->packet(i);
    EXPECT_EQ(p.src, names[i]);
    EXPECT_EQ(std::string(p.data, p.nbytes), *bytes[i]);
  }
  EXPECT_DOUBLE_EQ(ring_->timeOf(0), 1796601600.0);  // the record's start
  EXPECT_EQ(s->putsStored(), 4u);
}

TEST_F(DatalinkSessionTest, RefusedWritesAreAnsweredWithTheReasonAndStoreNothing) {
  auto s = make();
  struct Case {
    std::string message, reason;
  } cases[] = {
      {write("XX_STA_00_HHZ/MSEED", mseedtest::withBrokenSteim(records_[0])), "Steim"},
      {write("XX_STA_00_HHZ/MSEED", mseedtest::truncated(records_[0])), "truncated"},
      {write("XX_STA_00_HHZ/MSEED", records_[0] + others_[0]), "stream XX.OTH"},
      {write("XX_STA_10_HHZ/MSEED", records_[0]), "its records are of XX.STA.00.HHZ"},
      {write("XX_STA_00_HHZ/MSEED3", records_[0]), "only miniSEED"},
      {write("XX_STA_HHZ/MSEED", records_[0]), "NET_STA_LOC_CHAN"},
      {write("XX_STA_00_HHZ/MSEED", records_[0], "X"), "flags"},
  };
  for (const Case &c : cases) {
    auto got = send(*s, c.message);
    ASSERT_EQ(got.size(), 1u) << c.reason;
    EXPECT_EQ(got[0].header.substr(0, 6), "ERROR ");
    EXPECT_NE(got[0].data.find(c.reason), std::string::npos) << got[0].data;
  }
  // A refusal is answered even when no answer was asked for, and refused
  // writes do not count as refused commands.
  for (int i = 0; i < DatalinkSession::kMaxErrors; ++i)
    EXPECT_EQ(send(*s, write("XX_STA_00_HHZ/MSEED", "junk", "N")).size(), 1u);
  EXPECT_TRUE(ring_->empty());
}

TEST_F(DatalinkSessionTest, StreamSendsWhatPassesMatchAndRejectFromThePosition) {
  auto s = make();
  send(*s, write("XX_STA_00_HHZ/MSEED", records_[0]) + write("XX_OTH__HHZ/MSEED", others_[0]) +
               write("XX_STA_00_HHZ/MSEED", records_[1]));
  auto got = send(
      *s, dl("MATCH 3", "STA") + dl("REJECT ^YY") + dl("POSITION SET EARLIEST 0") + dl("STREAM"));
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0].header, "OK 1 18");  // one stream selected
  EXPECT_EQ(got[2].header.substr(0, 5), "OK 0 ");
  s->pump(1 << 20);
  std::string late = write("XX_STA_00_HHZ/MSEED", records_[2]);  // refused while streaming
  ASSERT_GE(s->consume(late.data(), late.size()), 0);
  s->pump(1 << 20);
  got = send(*s, dl("ENDSTREAM"));
  ASSERT_EQ(got.size(), 4u);
  datalink::PacketHeader h;
  ASSERT_TRUE(datalink::parsePacketHeader(got[0].header, h)) << got[0].header;
  EXPECT_EQ(h.streamId, "XX_STA_00_HHZ/MSEED");
  EXPECT_EQ(h.pktid, 0);
  EXPECT_EQ(h.dataStart, 1796601600000000);
  EXPECT_GT(h.dataEnd, h.dataStart);
  EXPECT_EQ(got[0].data, records_[0]);
  ASSERT_TRUE(datalink::parsePacketHeader(got[1].header, h));
  EXPECT_EQ(h.pktid, 2);
  EXPECT_EQ(got[1].data, records_[1]);
  EXPECT_EQ(got[2].header.substr(0, 6), "ERROR ");
  EXPECT_EQ(got[3].header, "ENDSTREAM");
  EXPECT_EQ(ring_->count(), 3u);
}

TEST_F(DatalinkSessionTest, PositionsAndReadNameTheirPackets) {
  auto s = make();
  for (int i = 0; i < 3; ++i) send(*s, write("XX_STA_00_HHZ/MSEED", records_[i], "N"));
  const int64_t arrival = ring_->arrivalOf(1);
  // SET checks the packet's time; READ leaves the position.
  auto got = send(*s, dl("POSITION SET 1 " + std::to_string(arrival + 1)) +
                          dl("POSITION SET 1 " + std::to_string(arrival)) + dl("READ 0") +
                          dl("READ 7") + dl("STREAM"));
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(got[0].header.substr(0, 6), "ERROR ");
  EXPECT_EQ(got[1].header.substr(0, 5), "OK 1 ");
  EXPECT_EQ(got[2].data, records_[0]);
  datalink::PacketHeader h;
  ASSERT_TRUE(datalink::parsePacketHeader(got[2].header, h));
  EXPECT_EQ(h.packetTime, ring_->arrivalOf(0));
  EXPECT_EQ(got[3].header.substr(0, 6), "ERROR ");
  s->pump(1 << 20);
  got = send(*s, dl("ENDSTREAM"));
  ASSERT_EQ(got.size(), 2u);  // packet 2, after packet 1
  EXPECT_EQ(got[0].data, records_[2]);

  // AFTER a record's start takes the next record; LATEST the next to come.
  const int64_t second = std::llround(ring_->timeOf(1) * 1e6);
  got = send(*s, dl("POSITION AFTER " + std::to_string(second)) + dl("POSITION SET LATEST 0") +
                     dl("POSITION AFTER 4000000000000000"));
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0].header.substr(0, 5), "OK 2 ");
  EXPECT_EQ(got[1].header.substr(0, 5), "OK 2 ");
  EXPECT_EQ(got[2].header.substr(0, 6), "ERROR ");
}

TEST_F(DatalinkSessionTest, InfoAnswersCarryTheRingAndHideConnectionsFromReaders) {
  auto writer = make();
  send(*writer, write("XX_STA_00_HHZ/MSEED", records_[0]) + write("XX_OTH__HHZ/MSEED", others_[0]));
  auto got = send(*writer, dl("INFO STATUS") + dl("INFO STREAMS OTH") + dl("INFO CONNECTIONS"));
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0].header, "INFO STATUS " + std::to_string(got[0].data.size()));
  for (const char *attr : {"ServerID=\"tarnserver 127.0.0.1:6510\"", "LatestPacketID=\"1\"",
                           "StartTime=\"2026-12-07 00:00:00.000000\"", "TotalStreams=\"2\""}) {
    EXPECT_NE(got[0].data.find(attr), std::string::npos) << attr << "\n" << got[0].data;
  }
  EXPECT_NE(got[1].data.find("<Stream Name=\"XX_OTH__HHZ/MSEED\""), std::string::npos);
  EXPECT_EQ(got[1].data.find("XX_STA_00_HHZ"), std::string::npos);
  EXPECT_NE(got[2].data.find("ClientID=\"probe:me:1:x\""), std::string::npos);
  auto reader = make(false);
  got = send(*reader, dl("INFO CONNECTIONS") + dl("INFO NONSENSE"));
  ASSERT_EQ(got.size(), 2u);
  EXPECT_NE(got[0].data.find("may write"), std::string::npos);
  EXPECT_EQ(got[1].header.substr(0, 6), "ERROR ");
}

TEST_F(DatalinkSessionTest, BytesThatAreNotDatalinkEndTheSession) {
  struct Case {
    std::string bytes, reason;
  } cases[] = {
      {"GET /\r\n", "must begin with \"DL\""},
      {dl("WRITE XX_STA_00_HHZ/MSEED 0 0 A 4000000"), "more than the"},
      {dl("MATCH 100000"), "longer than the 4096 allowed"},
      {dl("WRITE x 0 0 A many"), "is not a number"},
      {std::string("DL\0", 3), "empty header"},
  };
  for (const Case &c : cases) {
    auto s = make();
    auto got = send(*s, c.bytes, false);
    ASSERT_EQ(got.size(), 1u) << c.reason;
    EXPECT_NE(got[0].data.find(c.reason), std::string::npos) << got[0].data;
  }
  auto s = make();  // refused commands, past the bound
  std::string many;
  for (int i = 0; i < DatalinkSession::kMaxErrors; ++i) many += dl("FROB");
  send(*s, many, false);
  EXPECT_NE(s->error().find("commands refused"), std::string::npos);
}

}  // namespace
}  // namespace tarnserver
