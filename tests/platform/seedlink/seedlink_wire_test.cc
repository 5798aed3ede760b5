// The SeedLink wire format: headers written are read back whole whatever
// the pieces the bytes arrive in; bad signatures, sequences, oversize
// lengths and overlong lines are refused with a reason.
#include "platform/seedlink/seedlink_wire.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using seedlink::Packet;
using seedlink::PacketReader;
using Status = PacketReader::Status;

std::string record(char fill) { return std::string(seedlink::kV3RecordLength, fill); }

// Feeds `bytes` in pieces of `step` and takes every packet.
std::vector<Packet> readAll(const std::string &bytes, size_t step, PacketReader &reader) {
  std::vector<Packet> packets;
  for (size_t at = 0; at < bytes.size(); at += step) {
    reader.feed(bytes.data() + at, std::min(step, bytes.size() - at));
    Packet packet;
    while (reader.nextPacket(packet) == Status::kReady) packets.push_back(packet);
  }
  return packets;
}

TEST(SeedlinkWire, HeadersReadBackInAnyPieces) {
  std::string bytes;
  seedlink::appendV3DataHeader(bytes, (uint64_t{7} << 24) + 0xABCDE);
  bytes += record('a');
  seedlink::appendV3InfoHeader(bytes, true);
  bytes += record('b');
  seedlink::appendV3InfoHeader(bytes, false);
  bytes += record('c');
  std::string payload(4096, 'x');
  seedlink::appendV4Header(bytes, '2', 'D', payload.size(), uint64_t{1} << 40, "XX_ABCDE");
  bytes += payload;
  seedlink::appendV4Header(bytes, 'J', 'I', 2, seedlink::kNoSequence, "");
  bytes += "{}";
  EXPECT_EQ(bytes.substr(0, 8), "SL0ABCDE");

  for (size_t step : {size_t{1}, size_t{7}, bytes.size()}) {
    PacketReader reader;
    auto packets = readAll(bytes, step, reader);
    ASSERT_EQ(packets.size(), 5u) << step;
    EXPECT_EQ(packets[0].version, 3);
    EXPECT_EQ(packets[0].sequence, 0xABCDEu);
    EXPECT_EQ(packets[0].payload, record('a'));
    EXPECT_TRUE(packets[1].info && packets[1].infoMore);
    EXPECT_TRUE(packets[2].info && !packets[2].infoMore);
    EXPECT_EQ(packets[2].payload, record('c'));
    EXPECT_EQ(packets[3].version, 4);
    EXPECT_EQ(packets[3].format, '2');
    EXPECT_EQ(packets[3].subformat, 'D');
    EXPECT_EQ(packets[3].sequence, uint64_t{1} << 40);
    EXPECT_EQ(packets[3].stationId, "XX_ABCDE");
    EXPECT_EQ(packets[3].payload, payload);
    EXPECT_TRUE(packets[4].info);
    EXPECT_EQ(packets[4].sequence, seedlink::kNoSequence);
    EXPECT_EQ(packets[4].payload, "{}");
    EXPECT_EQ(reader.buffered(), 0u);
  }
}

TEST(SeedlinkWire, RefusesBadSignatureSequenceAndOversizeLength) {
  struct Case {
    std::string bytes, why;
  };
  std::string oversize;
  seedlink::appendV4Header(oversize, '2', 'D', 1u << 21, 1, "XX_A");
  std::vector<Case> cases = {{"XY" + std::string(600, 0), "signature"},
                             {"SL00G000" + record('a'), "sequence"},
                             {oversize, "exceeds"}};
  for (const auto &c : cases) {
    PacketReader reader;
    reader.feed(c.bytes.data(), c.bytes.size());
    Packet packet;
    EXPECT_EQ(reader.nextPacket(packet), Status::kBad);
    EXPECT_NE(reader.error().find(c.why), std::string::npos) << reader.error();
    EXPECT_EQ(reader.nextPacket(packet), Status::kBad);  // stays out of step
  }
}

TEST(SeedlinkWire, AnswerLinesAreBoundedAndThenPacketsFollow) {
  PacketReader reader(1 << 20, 16);
  std::string bytes = "SeedLink v4.0\r\nOK\n";
  seedlink::appendV3DataHeader(bytes, 1);
  bytes += record('d');
  std::string line;
  reader.feed(bytes.data(), 10);
  EXPECT_EQ(reader.nextLine(line), Status::kNeedMore);
  reader.feed(bytes.data() + 10, bytes.size() - 10);
  ASSERT_EQ(reader.nextLine(line), Status::kReady);
  EXPECT_EQ(line, "SeedLink v4.0");
  ASSERT_EQ(reader.nextLine(line), Status::kReady);
  EXPECT_EQ(line, "OK");
  bytes = "EN";  // a v3 server's END after a finished transfer
  reader.feed(bytes.data(), bytes.size());
  Packet packet;
  ASSERT_EQ(reader.nextPacket(packet), Status::kReady);
  EXPECT_EQ(packet.sequence, 1u);
  EXPECT_EQ(reader.nextPacket(packet), Status::kNeedMore);
  reader.feed("D", 1);
  EXPECT_EQ(reader.nextPacket(packet), Status::kEnd);

  std::string huge(17, 'x');
  reader.feed(huge.data(), huge.size());
  EXPECT_EQ(reader.nextLine(line), Status::kBad);
  EXPECT_NE(reader.error().find("longer than 16"), std::string::npos);
}

}  // namespace
