// tarnserver's DataLink port, through a plain-TCP client written from the
// protocol description: records written with acknowledgement stream back
// byte for byte and are the ring's packets; writers outside -W are refused
// and store nothing; hostile clients are bounded while an honest writer is
// served.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include "datalink_client.h"
#include "mseed_samples.h"
#include "platform/tarnclient/tarnclient.h"
#include "tarn_test_server.h"

namespace tarntest {
namespace {

struct Written {
  std::string id, record;
};

// Records of two streams, one of 4096-byte records, in turn.
std::vector<Written> streams(int samples) {
  mseedtest::Stream a, b;
  a.samples = b.samples = mseedtest::sine(samples);
  b.station = "BIG", b.location = "", b.recordLength = 4096;
  std::vector<std::string> ra = mseedtest::pack(a), rb = mseedtest::pack(b);
  std::vector<Written> out;
  for (size_t i = 0; i < std::max(ra.size(), rb.size()); ++i) {
    if (i < ra.size()) out.push_back({"XX_STA_00_HHZ/MSEED", ra[i]});
    if (i < rb.size()) out.push_back({"XX_BIG__HHZ/MSEED", rb[i]});
  }
  return out;
}

class DatalinkServer : public ::testing::Test {
 protected:
  explicit DatalinkServer(std::vector<std::string> extra = {}) : server_(with(std::move(extra))) {}
  static std::vector<std::string> with(std::vector<std::string> args) {
    args.insert(args.end(), {"--datalink", "0", "-m", "64k"});
    return args;
  }
  std::unique_ptr<DatalinkClient> client(const char *from = "127.0.0.1") {
    auto c = std::make_unique<DatalinkClient>(server_.datalinkName(), from);
    EXPECT_TRUE(c->connected()) << server_.log();
    return c;
  }
  // Packets of sources matching `expr` in the ring, through the tarn port.
  int sources(const char *expr) {
    int fd = tarnopen(server_.name().c_str(), "r&");
    int n = tarnselect(fd, expr);
    tarnclose(fd);
    return n;
  }
  TarnTestServer server_;
};

TEST_F(DatalinkServer, RecordsWrittenWithAcknowledgementStreamBackByteForByte) {
  std::vector<Written> written = streams(6000);
  auto writer = client();
  DatalinkClient::Answer id = writer->command("ID test:me:1:linux");
  EXPECT_EQ(id.header.rfind("ID DataLink ", 0), 0u) << id.header;
  EXPECT_NE(id.header.find("DLPROTO:1.0"), std::string::npos);
  EXPECT_NE(id.header.find("WRITE"), std::string::npos);
  for (size_t i = 0; i < written.size(); ++i) {
    DatalinkClient::Answer a = writer->write(written[i].id, written[i].record);
    ASSERT_TRUE(a.is("OK")) << a.header << a.data;
    EXPECT_EQ(a.words[1], std::to_string(i));  // the packet's id
  }
  EXPECT_EQ(sources("XX_STA_HHZ_00/MSEED|XX_BIG_HHZ/MSEED"), 2);

  auto reader = client();
  EXPECT_TRUE(reader->command("POSITION SET EARLIEST 0").is("OK"));
  reader->send("STREAM");
  for (size_t i = 0; i < written.size(); ++i) {
    DatalinkClient::Answer p = reader->next();
    ASSERT_TRUE(p.is("PACKET")) << i << ": " << p.header;
    EXPECT_EQ(p.words[1], written[i].id);
    EXPECT_EQ(p.words[2], std::to_string(i));
    EXPECT_TRUE(p.data == written[i].record) << i;
  }
  // Packets written now stream too; ENDSTREAM is answered after them.
  writer->sendWrite(written[0].id, written[0].record, "N");
  EXPECT_TRUE(writer->command("ID test:me:1:linux").is("ID"));  // no answer came before
  reader->send("ENDSTREAM");
  EXPECT_EQ(reader->next().words[2], std::to_string(written.size()));
  EXPECT_EQ(reader->next().header, "ENDSTREAM");
  EXPECT_TRUE(reader->command("READ 1").data == written[1].record);
}

class DatalinkAccess : public DatalinkServer {
 protected:
  DatalinkAccess() : DatalinkServer({"-W", "127.0.0.1=XX_STA_.*", "-A", "127.0.0.2", "-L", "2"}) {}
};

TEST_F(DatalinkAccess, WritesOutsideWritersAreRefusedAndTheTarnPortsRulesApply) {
  std::vector<Written> written = streams(600);
  auto stranger = client("127.0.0.2");
  EXPECT_EQ(stranger->command("ID test:me:1:linux").header.find("WRITE"), std::string::npos);
  // Refused when its header comes: its data is never read.
  DatalinkClient::Answer a = stranger->command("WRITE XX_STA_00_HHZ/MSEED 0 0 A 60000");
  EXPECT_TRUE(a.is("ERROR"));
  EXPECT_NE(a.data.find("not allowed from 127.0.0.2"), std::string::npos) << a.data;
  EXPECT_EQ(stranger->raw().readToEnd(), "");  // and dropped
  EXPECT_NE(client("127.0.0.3")->command("ID x").data.find("connecting to"), std::string::npos);
  {
    // A writer whose pattern leaves a stream out is refused that stream only.
    auto writer = client();
    a = writer->write("XX_BIG__HHZ/MSEED", written[1].record);
    EXPECT_TRUE(a.is("ERROR")) << a.header;
    EXPECT_TRUE(writer->write(written[0].id, written[0].record).is("OK"));
    auto second = client(), third = client();  // -L 2, shared with the tarn port
    EXPECT_NE(third->next().data.find("too many connections"), std::string::npos);
  }
  EXPECT_EQ(sources(".*"), 1);
  EXPECT_EQ(sources("XX_BIG.*"), 0);
}

class DatalinkHostile : public DatalinkServer {
 protected:
  DatalinkHostile() : DatalinkServer({"-L", "400", "-W", "127.0.0.1"}) {}
};

TEST_F(DatalinkHostile, HostileClientsAreBoundedWhileAnHonestWriterIsServed) {
  std::vector<Written> written = streams(300000);  // 0.9 MB of records
  {
    auto filler = client();  // ten rounds: far past what a stuck reader may hold
    for (int round = 0; round < 10; ++round) {
      for (const Written &w : written) ASSERT_TRUE(filler->sendWrite(w.id, w.record, "N"));
    }
    EXPECT_TRUE(filler->command("ID probe").is("ID"));  // all of them handled
  }
  std::vector<std::unique_ptr<DatalinkClient>> crowd;
  for (int i = 0; i < 3; ++i) {  // garbage, and streams that are never read
    crowd.push_back(client());
    crowd.back()->raw().send(std::string("\x01\xfe junk \x7f\r\n", 11));
    crowd.push_back(client());
    crowd.back()->send("POSITION SET EARLIEST 0");
    crowd.back()->send("STREAM");
  }
  for (int i = 0; i < 100; ++i) {  // huge writes that trickle, from writers and not
    crowd.push_back(client(i % 2 ? "127.0.0.1" : "127.0.0.3"));
    crowd.back()->send("WRITE XX_STA_00_HHZ/MSEED 0 0 A 65536", std::string(100, 'x'));
  }
  auto huge = client();
  EXPECT_NE(huge->command("WRITE XX_STA_00_HHZ/MSEED 0 0 A 70000").data.find("more than"),
            std::string::npos);
  auto web = client();
  web->raw().send(
      std::string("GET / HTTP/1.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                  "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                  "Sec-WebSocket-Version: 13\r\nSec-WebSocket-Protocol: SeedLink4.0"
                  "\r\n\r\n"));
  EXPECT_NE(web->raw().readToEnd().find("subprotocol DataLink1.0 needed"), std::string::npos);

  auto honest = client();
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 200; ++i)
    ASSERT_TRUE(honest->write(written[i].id, written[i].record).is("OK"));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
  EXPECT_TRUE(crowd[0]->raw().readToEnd().find("must begin with") != std::string::npos);
  EXPECT_LT(residentKb(server_.pid()), kBoundKb);
  EXPECT_TRUE(server_.running());
}

}  // namespace
}  // namespace tarntest
