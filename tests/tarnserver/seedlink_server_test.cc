// tarnserver's SeedLink port, through a client written from the protocol:
// both versions' handshakes and selections, resuming by sequence number
// without gap or repeat (across the 24-bit wrap of 3.1), time windows,
// INFO answers, records larger than 512 bytes, and hostile clients that
// must cost the server neither its other clients nor unbounded memory.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cstdio>
#include <memory>
#include <thread>

#include "mseed_samples.h"
#include "platform/tarnclient/tarnclient.h"
#include "platform/tarnclient/tarnclient_internal.h"
#include "seedlink_client.h"
#include "tarn_test_server.h"

namespace tarntest {
namespace {

using seedlink::Packet;

constexpr double kBase = 1796601600.0;  // 2026-12-07 00:00:00 UTC

struct Put {
  std::string src;
  std::vector<std::string> records;  // one packet each, times kBase + i
};

std::vector<std::string> records(const std::string &net, const std::string &sta,
                                 const std::string &chan, int length, int samples) {
  mseedtest::Stream s;
  s.network = net;
  s.station = sta;
  s.channel = chan;
  s.recordLength = length;
  s.samples = mseedtest::sine(samples);
  return mseedtest::pack(s);
}

class SeedlinkServer : public ::testing::Test {
 protected:
  explicit SeedlinkServer(std::vector<std::string> extra = {})
      : server_(withSeedlink(std::move(extra))) {}
  static std::vector<std::string> withSeedlink(std::vector<std::string> args) {
    args.insert(args.end(), {"--seedlink", "0"});
    return args;
  }

  // Puts the records as packets named `src`, times kBase, kBase + 1, ...
  void put(const std::string &src, const std::vector<std::string> &recs, double from = 0) {
    int fd = tarnopen(server_.name().c_str(), "w&");
    ASSERT_GE(fd, 0);
    for (size_t i = 0; i < recs.size(); ++i) {
      ASSERT_EQ(tarnput(fd, src.c_str(), kBase + from + static_cast<double>(i), recs[i].data(),
                        static_cast<int>(recs[i].size())),
                0);
    }
    ASSERT_EQ(tarnclose(fd), 0);
  }
  std::unique_ptr<SeedlinkClient> client(const char *from = "127.0.0.1") {
    auto c = std::make_unique<SeedlinkClient>(server_.seedlinkName(), from);
    EXPECT_TRUE(c->connected());
    return c;
  }
  // A v4 client's packets from sequence `from` for every station.
  std::vector<Packet> v4From(uint64_t from, size_t n) {
    auto c = client();
    EXPECT_EQ(c->command("SLPROTO 4.0"), "OK");
    EXPECT_EQ(c->command("STATION *_*"), "OK");
    EXPECT_EQ(c->command("DATA " + std::to_string(from)), "OK");
    c->send("END");
    return c->packets(n);
  }

  TarnTestServer server_;
};

TEST_F(SeedlinkServer, BothVersionsSelectWithWildcardsAndSendOnlyMiniseed) {
  auto hhz = records("XX", "STA", "HHZ", 512, 3000), hhn = records("XX", "STA", "HHN", 512, 3000);
  auto bhz = records("XX", "STA", "BHZ", 512, 3000), other = records("YY", "OTH", "HHZ", 512, 3000);
  for (size_t i = 0; i < 4; ++i) {
    put("XX_STA_HHZ_00/MSEED", {hhz[i]}, static_cast<double>(i));
    put("XX_STA_HHZ_00/RAW", {"not a record"}, static_cast<double>(i));
    put("XX_STA_HHN_00/MSEED", {hhn[i]}, static_cast<double>(i));
    put("XX_STA_BHZ_00/MSEED", {bhz[i]}, static_cast<double>(i));
    put("YY_OTH_HHZ_00/MSEED", {other[i]}, static_cast<double>(i));
  }
  std::vector<std::string> wanted;
  for (size_t i = 0; i < 4; ++i) wanted.insert(wanted.end(), {hhz[i], hhn[i]});

  auto v3 = client();
  v3->send("HELLO");
  EXPECT_NE(v3->answer().find("SLPROTO:3.1"), std::string::npos);
  EXPECT_NE(v3->answer().find(server_.name()), std::string::npos);
  EXPECT_EQ(v3->command("STATION STA XX"), "OK");
  EXPECT_EQ(v3->command("SELECT 00HH?.D"), "OK");
  EXPECT_EQ(v3->command("SELECT 00HH?.Q").rfind("ERROR", 0), 0u);
  EXPECT_EQ(v3->command("TIME 2026,12,07,00,00,00"), "OK");
  v3->send("END");
  std::vector<Packet> got = v3->packets(wanted.size() + 1);
  ASSERT_EQ(got.size(), wanted.size());
  uint64_t last = 0;
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].version, 3);
    EXPECT_EQ(got[i].payload, wanted[i]) << i;
    if (i > 0) {
      EXPECT_GT(got[i].sequence, last);
    }
    last = got[i].sequence;
  }

  auto v4 = client();
  EXPECT_EQ(v4->command("SLPROTO 4.0"), "OK");
  EXPECT_EQ(v4->command("STATION X?_S*"), "OK");
  EXPECT_EQ(v4->command("SELECT 00_H_H_?"), "OK");
  EXPECT_EQ(v4->command("SELECT !*_H_H_N"), "OK");
  EXPECT_EQ(v4->command("SELECT"), "OK");  // every stream again
  EXPECT_EQ(v4->command("SELECT *_H_H_?"), "OK");
  EXPECT_EQ(v4->command("STATION"),
            "ERROR ARGUMENTS STATION takes a station and a network, or NET_STA");
  EXPECT_EQ(v4->command("BOGUS").rfind("ERROR UNSUPPORTED", 0), 0u);
  EXPECT_EQ(v4->command("DATA 0"), "OK");
  v4->send("END");
  got = v4->packets(wanted.size());
  ASSERT_EQ(got.size(), wanted.size());
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].format, '2');
    EXPECT_EQ(got[i].subformat, 'D');
    EXPECT_EQ(got[i].stationId, "XX_STA");
    EXPECT_EQ(got[i].payload, wanted[i]) << i;
  }
  EXPECT_EQ(got.front().sequence, 0u);  // the ring's first packet id
}

class SeedlinkResume : public SeedlinkServer {
 protected:
  // Ids start 10 below 2^24, so 3.1's six hex digits wrap mid-stream.
  SeedlinkResume() : SeedlinkServer({"-i", std::to_string((1 << 24) - 10)}) {}
};

TEST_F(SeedlinkResume, ResumingWithTheLastSequenceGivesNoGapAndNoRepeat) {
  auto recs = records("XX", "STA", "HHZ", 512, 12000);
  ASSERT_GE(recs.size(), 30u);
  recs.resize(30);
  put("XX_STA_HHZ/MSEED", recs);
  const uint64_t first = (1 << 24) - 10;

  std::vector<Packet> all = v4From(first, 30);
  ASSERT_EQ(all.size(), 30u);
  EXPECT_EQ(all[0].sequence, first);
  // v4: the next packet wanted.
  std::vector<Packet> rest = v4From(all[11].sequence + 1, 18);
  ASSERT_EQ(rest.size(), 18u);
  EXPECT_EQ(rest[0].payload, recs[12]);

  // v3: the next packet wanted (the last received plus one), across the
  // wrap of its 24 bits.
  for (size_t last : {size_t{5}, size_t{9}, size_t{10}, size_t{20}}) {
    auto c = client();
    char hex[8];
    std::snprintf(hex, sizeof hex, "%06llX",
                  static_cast<unsigned long long>((first + last + 1) % (1 << 24)));
    EXPECT_EQ(c->command("STATION STA XX"), "OK");
    EXPECT_EQ(c->command(std::string("DATA ") + hex), "OK");
    c->send("END");
    std::vector<Packet> got = c->packets(29 - last);
    ASSERT_EQ(got.size(), 29 - last) << last;
    EXPECT_EQ(got[0].payload, recs[last + 1]);
    EXPECT_EQ(got[0].sequence, (first + last + 1) % (1 << 24));
  }
}

TEST_F(SeedlinkServer, TimeWindowsAndFetchEndTheTransfer) {
  auto recs = records("XX", "STA", "HHZ", 512, 12000);
  recs.resize(20);
  put("XX_STA_HHZ/MSEED", recs);
  {  // v3 TIME: packets of times [base+5, base+10), then END and the close
    auto c = client();
    EXPECT_EQ(c->command("STATION STA XX"), "OK");
    EXPECT_EQ(c->command("TIME 2026,12,07,00,00,05 2026,12,07,00,00,10"), "OK");
    c->send("END");
    std::vector<Packet> got = c->packets(20);
    ASSERT_EQ(got.size(), 5u);
    EXPECT_EQ(got[0].payload, recs[5]);
    EXPECT_TRUE(c->ended());
    EXPECT_EQ(c->raw().readToEnd(), "");  // closed
  }
  {  // v4 DATA ALL with ISO times, in uni-station form
    auto c = client();
    EXPECT_EQ(c->command("SLPROTO 4.0"), "OK");
    EXPECT_EQ(c->command("DATA ALL 2026-12-07T00:00:12Z 2026-12-07T00:00:14.000Z"), "OK");
    c->send("END");
    std::vector<Packet> got = c->packets(20);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[1].payload, recs[13]);
  }
  {  // v4: a window that ends before it starts is an error
    auto c = client();
    EXPECT_EQ(c->command("SLPROTO 4.0"), "OK");
    EXPECT_EQ(c->command("STATION XX_STA"), "OK");
    EXPECT_EQ(c->command("DATA ALL 2026-12-07T00:00:12Z 2026-12-07T00:00:11Z"),
              "ERROR ARGUMENTS the end time 2026-12-07T00:00:11Z is before the start time "
              "2026-12-07T00:00:12Z");
    EXPECT_EQ(c->command("TIME 2026-12-07T00:00:12Z 2026-12-07T00:00:11Z").rfind("ERROR ARGUMENTS", 0),
              0u);
  }
  {  // v3 uni-station FETCH from a sequence: the rest of the ring, then END
    auto c = client();
    c->send("FETCH 000010");
    std::vector<Packet> got = c->packets(20);
    EXPECT_EQ(got.size(), 4u);
    EXPECT_TRUE(c->ended());
  }
}

TEST_F(SeedlinkServer, InfoAnswersParseInBothVersions) {
  put("XX_STA_HHZ_00/MSEED", records("XX", "STA", "HHZ", 512, 3000));
  put("XX_ABC_BHN/MSEED", records("XX", "ABC", "BHN", 512, 3000));
  auto v4 = client();
  EXPECT_EQ(v4->command("SLPROTO 4.0"), "OK");
  v4->send("INFO STREAMS XX_S*");
  std::vector<Packet> info = v4->packets(1);
  ASSERT_EQ(info.size(), 1u);
  EXPECT_TRUE(info[0].info);
  auto j = nlohmann::json::parse(info[0].payload);
  ASSERT_EQ(j["station"].size(), 1u);
  EXPECT_EQ(j["station"][0]["id"], "XX_STA");
  EXPECT_EQ(j["station"][0]["stream"][0]["id"], "00_H_H_Z");
  EXPECT_EQ(v4->command("INFO GAPS").rfind("ERROR ARGUMENTS", 0), 0u);

  auto v3 = client();
  v3->send("INFO STATIONS");
  std::string xml;
  for (int i = 0; i < 100; ++i) {
    std::vector<Packet> p = v3->packets(1);
    ASSERT_EQ(p.size(), 1u);
    ASSERT_TRUE(p[0].info);
    size_t chars = (static_cast<unsigned char>(p[0].payload[30]) << 8) |
                   static_cast<unsigned char>(p[0].payload[31]);
    xml += p[0].payload.substr(56, chars);
    if (!p[0].infoMore) break;
  }
  EXPECT_NE(xml.find("<station name=\"STA\" network=\"XX\""), std::string::npos);
  EXPECT_NE(xml.find("<station name=\"ABC\" network=\"XX\""), std::string::npos);
  EXPECT_EQ(xml.substr(xml.size() - 12), "</seedlink>\n");
}

// Each port's clients, with what they said they are and what they read:
// through INFO CONNECTIONS, and through the tarn port's clients request.
TEST_F(SeedlinkServer, ConnectionsAreListedToSeedlinkAndTarnClients) {
  auto reader = client();
  EXPECT_EQ(reader->command("SLPROTO 4.0"), "OK");
  EXPECT_EQ(reader->command("USERAGENT probe/1.0"), "OK");
  EXPECT_EQ(reader->command("STATION XX_STA"), "OK");
  auto asker = client();
  EXPECT_EQ(asker->command("SLPROTO 4.0"), "OK");
  asker->send("INFO CONNECTIONS");
  std::vector<Packet> info = asker->packets(1);
  ASSERT_EQ(info.size(), 1u);
  auto j = nlohmann::json::parse(info[0].payload);
  ASSERT_EQ(j["connection"].size(), 2u) << info[0].payload;
  EXPECT_EQ(j["connection"][0]["useragent"], "probe/1.0");
  EXPECT_EQ(j["connection"][0]["selection"], "XX_STA");
  EXPECT_EQ(j["connection"][0]["protocol"], "seedlink 4.0");

  int fd = tarnopen(server_.name().c_str(), "r&");
  ASSERT_GE(fd, 0);
  ASSERT_EQ(tarnselect(fd, "XX_.*"), 0);
  tarnclient::ClientList list;
  ASSERT_TRUE(tarnclient::clients(fd, list));
  EXPECT_TRUE(list.served);
  ASSERT_EQ(list.clients.size(), 3u);
  EXPECT_EQ(list.total, 3u);
  EXPECT_EQ(list.clients[2].protocol, "tarn");
  EXPECT_EQ(list.clients[2].activity, "reads 'XX_.*'");
  EXPECT_GT(list.clients[2].bytesIn, 0u);
  tarnclose(fd);
}

TEST_F(SeedlinkServer, LargeRecordsGoThroughVersion4Only) {
  auto big = records("XX", "BIG", "HHZ", 4096, 20000);
  put("XX_BIG_HHZ/MSEED", big);
  auto v3 = client();
  EXPECT_EQ(v3->command("STATION BIG XX"), "OK");
  std::string refused = v3->command("DATA");
  EXPECT_EQ(refused.rfind("ERROR records larger than 512 bytes", 0), 0u) << refused;
  EXPECT_NE(refused.find("XX_BIG__HHZ (4096 bytes)"), std::string::npos) << refused;

  std::vector<Packet> got = v4From(0, big.size());
  ASSERT_EQ(got.size(), big.size());
  EXPECT_EQ(got.back().payload, big.back());
}

class SeedlinkHostile : public SeedlinkServer {
 protected:
  SeedlinkHostile() : SeedlinkServer({"-m", "64k", "-L", "400"}) {}
  void expectBothPortsServe() {
    ASSERT_TRUE(server_.running());
    ASSERT_TRUE(putPackets(server_.name(), "OK/x", 1, kBase));
    int fd = tarnopen(server_.name().c_str(), "r&");
    ASSERT_GE(fd, 0);
    EXPECT_GE(tarnposition(fd, "newest"), 0);
    tarnclose(fd);
    auto c = client();
    c->send("HELLO");
    EXPECT_NE(c->answer().find("SeedLink"), std::string::npos);
  }
};

TEST_F(SeedlinkHostile, GarbageAndHugeLinesAreAnsweredAndTheClientDropped) {
  {
    auto c = client();
    std::string garbage;
    for (int i = 0; i < 40; ++i) garbage += std::string("\x01\xfe junk \x7f", 10) + "\r\n";
    c->raw().send(garbage);
    std::string all = c->raw().readToEnd();  // ends: the server closed
    EXPECT_NE(all.find("ERROR command is not printable text"), std::string::npos);
  }
  {
    auto c = client();
    EXPECT_EQ(c->command("SLPROTO 4.0"), "OK");
    c->raw().send(std::string(1 << 20, 'A'));
    EXPECT_EQ(c->answer(), "ERROR LIMIT command line longer than 256 bytes");
  }
  expectBothPortsServe();
}

TEST_F(SeedlinkHostile, AClientThatNeverReadsCostsOthersNothing) {
  auto stuck = client();
  EXPECT_EQ(stuck->command("SLPROTO 4.0"), "OK");
  EXPECT_EQ(stuck->command("STATION *_*"), "OK");
  stuck->send("END");
  auto big = records("XX", "BIG", "HHZ", 4096, 600000);
  for (int round = 0; round < 40; ++round) put("XX_BIG_HHZ/MSEED", big);  // far past its buffers
  std::vector<Packet> got = v4From(0, 40 * big.size());
  EXPECT_EQ(got.size(), 40 * big.size());
  EXPECT_LT(residentKb(server_.pid()), kBoundKb);
  expectBothPortsServe();
}

TEST_F(SeedlinkHostile, ManyIdleConnectionsLeaveBothPortsServing) {
  std::vector<std::unique_ptr<SeedlinkClient>> idle;
  for (int i = 0; i < 300; ++i) idle.push_back(client());
  expectBothPortsServe();
  EXPECT_LT(residentKb(server_.pid()), kBoundKb);
}

class SeedlinkAccess : public SeedlinkServer {
 protected:
  SeedlinkAccess() : SeedlinkServer({"-A", "127.0.0.1", "-W", "127.0.0.1", "-L", "2"}) {}
};

TEST_F(SeedlinkAccess, NetworksAndSlotsOfTheTarnPortApply) {
  auto stranger = client("127.0.0.5");
  EXPECT_EQ(stranger->command("HELLO"),
            "ERROR connecting to " + server_.name() + " is not allowed from 127.0.0.5");
  EXPECT_EQ(stranger->raw().readToEnd(), "");  // and closed
  auto first = client(), second = client(), third = client();
  EXPECT_EQ(first->command("SLPROTO 4.0"), "OK");
  EXPECT_EQ(third->answer().rfind("ERROR LIMIT too many connections", 0), 0u);
}

}  // namespace
}  // namespace tarntest
