// A session on its own: how much one call may answer and do, what an
// address may read and write, and reading across a packet lost on disk.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "process.h"
#include "tarnserver/client_session.h"
#include "tarnserver/ring_format.h"

namespace tarnserver {
namespace {

using namespace tarnwire;

// Frames are put together by hand: the test does not trust the writer it
// tests against.
std::vector<char> frame(Type type, const std::string &body = "") {
  std::vector<char> f(kHeaderSize + body.size());
  uint32_t len = static_cast<uint32_t>(body.size());
  std::memcpy(f.data(), &len, 4);
  f[4] = static_cast<char>(type);
  if (!body.empty()) std::memcpy(f.data() + kHeaderSize, body.data(), body.size());
  return f;
}

template <typename T>
std::string bytes(T v) {
  return std::string(reinterpret_cast<const char *>(&v), sizeof v);
}

std::vector<char> hello(uint8_t mode = 0) {
  return frame(kHello, bytes(kMagic) + bytes(kVersion) + static_cast<char>(mode));
}

std::vector<char> put(const std::string &src) {
  return frame(kPut, bytes(1.0) + static_cast<char>(src.size()) + src);
}

std::vector<char> position(PositionKind kind, int32_t id) {
  return frame(kPosition, static_cast<char>(kind) + bytes(id) + bytes(0.0));
}

class Session : public ::testing::Test {
 protected:
  void SetUp() override {
    RingOptions o;
    o.size = 1 << 20;
    std::string err;
    ring_ = Ring::open(o, err);
    ASSERT_TRUE(ring_) << err;
  }
  std::unique_ptr<ClientSession> make(ClientAccess access = {}) {
    auto s = std::make_unique<ClientSession>(*ring_, limits_, figures_, std::move(access));
    std::vector<char> h = hello();
    EXPECT_EQ(s->consume(h.data(), h.size()), static_cast<ssize_t>(h.size()));
    s->consumed(s->outSize());
    return s;
  }
  // The error text a session answers `input` with, or "" when it takes it.
  static std::string refusal(ClientSession &s, const std::vector<char> &input) {
    if (s.consume(input.data(), input.size()) >= 0) return "";
    return s.error();
  }

  std::unique_ptr<Ring> ring_;
  SessionLimits limits_;
  ServerFigures figures_;
};

TEST_F(Session, AnswersStopAfterTheFrameThatFillsTheOutput) {
  for (int i = 0; i < 1000; ++i) ring_->append("SOURCE_" + std::to_string(i) + "/XYZ", i, "", 0);
  limits_.outputLimit = 256 << 10;  // each answer is about 36 KiB
  auto s = make();
  std::vector<char> burst;
  for (int i = 0; i < 1000; ++i) {
    std::vector<char> f = frame(kStat);
    burst.insert(burst.end(), f.begin(), f.end());
  }
  size_t handled = 0;
  for (int turn = 0; turn < 1000 && handled < burst.size(); ++turn) {
    ssize_t used = s->consume(burst.data() + handled, burst.size() - handled);
    ASSERT_GT(used, 0);
    handled += static_cast<size_t>(used);
    EXPECT_LT(s->outSize(), limits_.outputLimit + (40 << 10))
        << "at most one answer past the limit";
    s->consumed(s->outSize());
  }
  EXPECT_EQ(handled, burst.size());
}

TEST_F(Session, ATurnDoesABoundedShareOfWork) {
  for (int i = 0; i < 2000; ++i) ring_->append("S/" + std::to_string(i), i, "", 0);
  auto s = make();
  std::vector<char> burst = frame(kSelect, "Z.*");
  for (int i = 0; i < 20000; ++i) {
    std::vector<char> f = position(kNewest, 0);
    burst.insert(burst.end(), f.begin(), f.end());
  }
  ssize_t used = s->consume(burst.data(), burst.size());
  ASSERT_GT(used, 0);
  EXPECT_LT(static_cast<size_t>(used), burst.size() / 10) << "the rest waits for later turns";
}

TEST_F(Session, AddressesReadAndWriteOnlyWhatTheyMay) {
  AccessPolicy policy;
  std::string err;
  ASSERT_TRUE(policy.addReaders("10.0.0.0/8", err) && policy.addWriters("10.1.0.0/16=GOOD/.*", err))
      << err;
  auto access = [&](uint32_t addr) {
    ClientAccess a;
    a.mayConnect = policy.mayConnect(addr);
    a.write = policy.permitFor(addr);
    a.host = "HOST";
    a.tarn = "TARN";
    return a;
  };
  ClientSession stranger(*ring_, limits_, figures_, access(0xc0a80001));
  EXPECT_EQ(refusal(stranger, hello()), "connecting to TARN is not allowed from HOST");
  ClientSession reader(*ring_, limits_, figures_, access(0x0a020304));
  EXPECT_EQ(refusal(reader, hello(1)), "writing to TARN is not allowed from HOST");
  auto reading = make(access(0x0a020304));
  EXPECT_EQ(refusal(*reading, put("GOOD/x")), "writing to TARN is not allowed from HOST");
  EXPECT_EQ(reading->errorCode(), kErrRefused);
  auto writer = make(access(0x0a010203));
  std::vector<char> both = put("GOOD/x"), bad = put("BAD/x");
  both.insert(both.end(), bad.begin(), bad.end());
  EXPECT_EQ(refusal(*writer, both), "writing source 'BAD/x' to TARN is not allowed from HOST");
  EXPECT_EQ(writer->outData()[4], kAck) << "the stored put is acknowledged before the refusal";
  EXPECT_EQ(ring_->packetCount(), 1u);

  std::vector<Network> nets;
  for (const char *bad : {"10.0.0.0/33", "10.0.0", "", "10.0.0.1,", "host.example"}) {
    EXPECT_FALSE(parseNetworks(bad, nets, err)) << bad;
  }
  EXPECT_FALSE(policy.addWriters("127.0.0.1=(", err));
  EXPECT_NE(err.find("bad source-name pattern"), std::string::npos) << err;
}

// The limit counts a packet's bytes alone: one of exactly the limit is taken,
// one byte more refused with both sizes.
TEST_F(Session, APacketOfTheLimitIsTakenAndOneByteMoreIsRefusedSayingBoth) {
  limits_.maxPacket = 16;
  AccessPolicy policy;
  std::string err;
  ASSERT_TRUE(policy.addWriters("10.0.0.0/8", err)) << err;
  ClientAccess writer;
  writer.write = policy.permitFor(0x0a000001);
  auto s = make(writer);
  auto sized = [](size_t n) {
    return frame(kPut, bytes(1.0) + static_cast<char>(3) + "A/x" + std::string(n, 'x'));
  };
  EXPECT_EQ(refusal(*s, sized(16)), "");
  EXPECT_EQ(refusal(*s, sized(17)),
            "packet of 17 bytes is larger than the 16 bytes this server takes per packet, source "
            "name and frame not counted");
  EXPECT_EQ(ring_->packetCount(), 1u);
}

TEST(SessionOnDisk, StreamingStepsOverAPacketLostOnDisk) {
  testsupport::TempDir dir;
  RingOptions o;
  o.size = 1 << 16;
  o.path = dir.file("ring");
  std::string err;
  uint64_t off;
  {
    auto r = Ring::open(o, err);
    for (int i = 0; i < 5; ++i) r->append("S/x", i, "abc", 3);
    off = r->offsetOf(2);
  }
  int fd = ::open(o.path.c_str(), O_RDWR);
  ASSERT_EQ(pwrite(fd, "#", 1, static_cast<off_t>(format::kFileHeaderSize + off + 33)), 1);
  ::close(fd);
  auto ring = Ring::open(o, err);
  ASSERT_TRUE(ring && ring->isHole(2)) << err;
  SessionLimits limits;
  ServerFigures figures;
  ClientSession s(*ring, limits, figures);
  std::vector<char> input = hello();
  for (int32_t id : {2, 0}) {  // at the lost packet's id, then from the start
    for (const std::vector<char> &f : {position(kAtId, id), frame(kStart, bytes(id))}) {
      input.insert(input.end(), f.begin(), f.end());
    }
  }
  ASSERT_EQ(s.consume(input.data(), input.size()), static_cast<ssize_t>(input.size()));
  s.pump(1 << 20);
  EXPECT_EQ(s.packetsSent(), 4u);
  EXPECT_FALSE(s.wantsPackets());
}

}  // namespace
}  // namespace tarnserver
