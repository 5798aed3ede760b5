// The DataLink wire format: messages either side writes read back whole in
// any pieces; each sender's data size is found where its messages carry
// it; bad preambles, headers and sizes are refused with a reason; stream
// ids and source names name each other both ways.
#include "platform/datalink/datalink_wire.h"

#include <gtest/gtest.h>

#include "platform/datalink/datalink_streams.h"

namespace {

using datalink::DatalinkReader;
using datalink::Sender;
using Status = DatalinkReader::Status;

std::vector<DatalinkReader::Message> readAll(const std::string &bytes, size_t step, Sender from) {
  DatalinkReader reader(from, 1 << 20);
  std::vector<DatalinkReader::Message> out;
  for (size_t at = 0; at < bytes.size(); at += step) {
    reader.feed(bytes.data() + at, std::min(step, bytes.size() - at));
    DatalinkReader::Message m;
    while (reader.next(m) == Status::kReady) out.push_back(m);
  }
  EXPECT_EQ(reader.buffered(), 0u);
  return out;
}

TEST(DatalinkWire, ServerMessagesReadBackInAnyPieces) {
  std::string bytes;
  datalink::appendOk(bytes, 42, "stored");
  datalink::appendError(bytes, 0, "");
  datalink::appendInfo(bytes, "STATUS", "<DataLink/>");
  datalink::PacketHeader h{"XX_STA__HHZ/MSEED", 7, 1700000000123456, 10, 20, 0};
  datalink::appendPacket(bytes, h, std::string(4096, 'r'));
  datalink::appendMessage(bytes, "ENDSTREAM");
  for (size_t step : {size_t{1}, size_t{7}, size_t{4096}, bytes.size()}) {
    auto got = readAll(bytes, step, Sender::kServer);
    ASSERT_EQ(got.size(), 5u) << step;
    EXPECT_EQ(got[0].header, "OK 42 6");
    EXPECT_EQ(got[0].data, "stored");
    EXPECT_EQ(got[1].header, "ERROR 0 0");
    EXPECT_EQ(got[2].data, "<DataLink/>");
    datalink::PacketHeader back;
    ASSERT_TRUE(datalink::parsePacketHeader(got[3].header, back));
    EXPECT_EQ(back.streamId, h.streamId);
    EXPECT_EQ(back.packetTime, h.packetTime);
    EXPECT_EQ(back.size, 4096u);
    EXPECT_EQ(got[4].header, "ENDSTREAM");
  }
}

TEST(DatalinkWire, ClientDataSizesAreWhereEachCommandCarriesThem) {
  std::string bytes;
  datalink::appendWrite(bytes, {"XX_STA__HHZ/MSEED", 1, 2, true, 0}, "rec");
  datalink::appendPattern(bytes, "MATCH", "IU_.*");
  datalink::appendMessage(bytes, "REJECT ^XX_");  // a pattern in the header: no data
  datalink::appendMessage(bytes, "POSITION SET 12 345");
  auto got = readAll(bytes, 3, Sender::kClient);
  ASSERT_EQ(got.size(), 4u);
  datalink::WriteHeader w;
  EXPECT_EQ(datalink::parseWriteHeader(got[0].header, w), "");
  EXPECT_TRUE(w.ack);
  EXPECT_EQ(got[0].data, "rec");
  EXPECT_EQ(got[1].data, "IU_.*");
  EXPECT_EQ(got[2].header, "REJECT ^XX_");
  EXPECT_EQ(got[3].header, "POSITION SET 12 345");
  EXPECT_NE(datalink::parseWriteHeader("WRITE id 1 2 Q 3", w), "");
}

TEST(DatalinkWire, BrokenMessagesAreRefusedWithAReason) {
  struct Case {
    std::string bytes, reason;
  } cases[] = {
      {"XL", "must begin with"},
      {std::string("DL\0", 3), "empty header"},
      {std::string("DL\x03\x01\x02\x03"), "not printable"},
      {std::string("DL\x06PACKET"), "without its data size"},
      {std::string("DL\x09OK 1 lots"), "is not a number"},
      {std::string("DL\x0cOK 1 2000000"), "more than the"},
  };
  for (const Case &c : cases) {
    datalink::Frame f;
    std::string why;
    EXPECT_EQ(datalink::peekFrame(c.bytes.data(), c.bytes.size(), Sender::kServer, 1 << 20, f, why),
              datalink::FrameStatus::kBad)
        << c.reason;
    EXPECT_NE(why.find(c.reason), std::string::npos) << why;
  }
  // Every prefix of a whole message wants more.
  std::string whole;
  datalink::appendOk(whole, 1, "fine");
  for (size_t n = 0; n < whole.size(); ++n) {
    datalink::Frame f;
    std::string why;
    EXPECT_EQ(datalink::peekFrame(whole.data(), n, Sender::kServer, 16, f, why),
              datalink::FrameStatus::kIncomplete)
        << n;
  }
}

TEST(DatalinkStreams, IdsAndSourceNamesNameEachOther) {
  EXPECT_EQ(datalink::streamIdOf("IU_ANMO_BHZ_00/MSEED"), "IU_ANMO_00_BHZ/MSEED");
  EXPECT_EQ(datalink::streamIdOf("XX_STA_HHZ/MSEED"), "XX_STA__HHZ/MSEED");
  EXPECT_EQ(datalink::streamIdOf("relay1/log"), "relay1/log");
  for (const char *none : {"A_B/MSEED", "A_B_C_D_E/MSEED", "has space/x", ""})
    EXPECT_EQ(datalink::streamIdOf(none), "") << none;
  std::string src;
  datalink::StreamCodes codes;
  EXPECT_EQ(datalink::sourceNameOf("IU_ANMO_00_BHZ/MSEED", src, codes), "");
  EXPECT_EQ(src, "IU_ANMO_BHZ_00/MSEED");
  EXPECT_EQ(datalink::sourceNameOf("XX_STA__HHZ/mseed", src, codes), "");
  EXPECT_EQ(src, "XX_STA_HHZ/MSEED");
  EXPECT_EQ(codes.location, "");
  for (const char *bad : {"XX_STA_HHZ/MSEED", "XX__00_HHZ/MSEED", "XX_STA_00_HHZ/JSON"}) {
    EXPECT_NE(datalink::sourceNameOf(bad, src, codes), "") << bad;
    EXPECT_EQ(src, "");
  }
}

}  // namespace
