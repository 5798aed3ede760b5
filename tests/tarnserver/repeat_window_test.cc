// The window of stored identities: repeats within it, its edges, numbers
// that start again, eviction of origins, hostile numbers; its rebuilding
// from a ring file, and plain ring files of the earlier format; a session
// that acknowledges a repeat without storing it.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "process.h"
#include "tarnserver/client_session.h"
#include "tarnserver/crc32c.h"
#include "tarnserver/repeat_window.h"
#include "tarnserver/ring.h"
#include "tarnserver/ring_format.h"

namespace tarnserver {
namespace {

constexpr uint64_t kSpan = RepeatWindow::kSpan;

TEST(RepeatWindow, RemembersEveryNumberWithinTheSpanInAnyOrder) {
  RepeatWindow w;
  for (uint64_t s : {10u, 12u, 11u, 5u}) EXPECT_FALSE(w.seen(1, s)) << s;
  for (uint64_t s : {10u, 12u, 11u, 5u}) EXPECT_TRUE(w.seen(1, s)) << s;
  EXPECT_FALSE(w.seen(2, 10)) << "another origin";
  EXPECT_FALSE(w.seen(1, 13));
  EXPECT_FALSE(w.seen(1, 6)) << "a gap below the highest is not a repeat";
  // The window's edges: the oldest number still held, the first one past.
  RepeatWindow e;
  EXPECT_FALSE(e.seen(1, 1000));
  EXPECT_FALSE(e.seen(1, 1000 + kSpan - 1));
  EXPECT_TRUE(e.seen(1, 1000)) << "exactly at the far edge";
  EXPECT_FALSE(e.seen(1, 1000 + kSpan));  // moves the window past 1000
  EXPECT_FALSE(e.seen(1, 1000)) << "fell out: stored again, not refused";
  EXPECT_TRUE(e.seen(1, 1000 + kSpan));
  // Moving up clears what the window passes over, in words and in bits.
  RepeatWindow m;
  for (uint64_t s = 0; s < 200; ++s) m.seen(1, s);
  EXPECT_FALSE(m.seen(1, 199 + kSpan - 3));
  for (uint64_t s = 196 + kSpan - 3; s < 199 + kSpan - 3; ++s) EXPECT_FALSE(m.seen(1, s)) << s;
  EXPECT_TRUE(m.seen(1, 199)) << "still inside";
  EXPECT_EQ(w.repeats(), 0u) << "the caller counts";
}

TEST(RepeatWindow, NumbersThatStartAgainAndHostileJumps) {
  RepeatWindow w;
  const uint64_t lastId = 2147483647;  // tarn ids wrap to 0 after it
  for (uint64_t s = lastId - 5; s <= lastId; ++s) EXPECT_FALSE(w.seen(1, s));
  for (uint64_t s = 0; s < 5; ++s) EXPECT_FALSE(w.seen(1, s)) << "after the wrap: new";
  EXPECT_TRUE(w.seen(1, 3)) << "the window started over at the wrap";
  EXPECT_FALSE(w.seen(1, lastId - 2)) << "the numbers before the wrap are forgotten";
  // Huge and alternating numbers cost a reset each, never more memory.
  RepeatWindow h;
  for (uint64_t i = 0; i < 1000; ++i) {
    uint64_t s = (i % 2) ? UINT64_MAX - i : i * kSpan * 7;
    h.seen(42, s);
  }
  EXPECT_EQ(h.origins(), 1u);
  EXPECT_TRUE(h.seen(42, UINT64_MAX - 999));
}

TEST(RepeatWindow, KeepsABoundedNumberOfOriginsEvictingTheLeastRecentlyUsed) {
  RepeatWindow w(3);
  w.seen(1, 7);
  w.seen(2, 7);
  w.seen(3, 7);
  EXPECT_TRUE(w.seen(1, 7));  // 1 is now the most recent, 2 the least
  w.seen(4, 7);               // evicts 2
  EXPECT_EQ(w.origins(), 3u);
  EXPECT_TRUE(w.seen(1, 7));
  EXPECT_TRUE(w.seen(3, 7));
  EXPECT_FALSE(w.seen(2, 7)) << "evicted: forgotten";
  // A flood of origins never holds more than the bound.
  RepeatWindow f;
  for (uint64_t o = 0; o < 5 * RepeatWindow::kMaxOrigins; ++o) f.seen(o, o);
  EXPECT_EQ(f.origins(), RepeatWindow::kMaxOrigins);
  EXPECT_LE(f.memoryHeld(), size_t{17} << 20);
}

class IdentityFile : public ::testing::Test {
 protected:
  std::unique_ptr<Ring> open(uint64_t size) {
    RingOptions o;
    o.size = size;
    o.path = path_;
    std::string err;
    auto r = Ring::open(o, err);
    EXPECT_TRUE(r) << err;
    return r;
  }
  testsupport::TempDir dir_;
  std::string path_ = dir_.file("ring");
};

TEST_F(IdentityFile, TheWindowIsRebuiltFromTheRecordsAndPacketsReadAsBefore) {
  {
    auto r = open(1 << 16);
    for (uint64_t i = 0; i < 20; ++i) {
      PacketIdentity id{9, 100 + i};
      ASSERT_FALSE(r->repeated(id));
      std::string b(30, static_cast<char>('a' + i));
      r->append(i % 2 ? "S/b" : "S/a", 1.0 * i, b.data(), 30, i == 7 ? nullptr : &id);
    }
  }
  auto r = open(0);
  EXPECT_EQ(r->packetCount(), 20u);
  EXPECT_TRUE(r->repeated(PacketIdentity{9, 100}));
  EXPECT_TRUE(r->repeated(PacketIdentity{9, 119}));
  EXPECT_FALSE(r->repeated(PacketIdentity{9, 107})) << "stored without its identity";
  EXPECT_FALSE(r->repeated(PacketIdentity{8, 100}));
  EXPECT_EQ(r->repeatWindow().repeats(), 2u);
  PacketRef p = r->packet(5);
  EXPECT_EQ(p.src, "S/b");
  EXPECT_EQ(std::string(p.data, p.nbytes), std::string(30, 'f'));
}

TEST_F(IdentityFile, AFileOfThePlainFormatOpensAndIsMarkedAsTheNewOne) {
  {
    auto r = open(1 << 16);
    r->append("S/a", 1.0, "xyz", 3);
  }
  // Make it a version 1 file, as servers before identities wrote them.
  int fd = ::open(path_.c_str(), O_RDWR);
  format::FileHeader h;
  ASSERT_EQ(pread(fd, &h, sizeof h, 0), static_cast<ssize_t>(sizeof h));
  EXPECT_EQ(h.version, format::kFileVersion);
  h.version = format::kPlainFileVersion;
  h.crc = crc32c(0, &h, 32);
  ASSERT_EQ(pwrite(fd, &h, 40, 0), 40);
  auto r = open(0);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->packetCount(), 1u);
  EXPECT_EQ(r->openReport()[0].find("format version 1 to 2") != std::string::npos, true)
      << r->openReport()[0];
  ASSERT_EQ(pread(fd, &h, sizeof h, 0), static_cast<ssize_t>(sizeof h));
  EXPECT_EQ(h.version, format::kFileVersion);
  ::close(fd);
}

TEST(IdentifiedPuts, ARepeatIsAcknowledgedNotStoredAndCounted) {
  using namespace tarnwire;
  RingOptions o;
  o.size = 1 << 20;
  std::string err;
  auto ring = Ring::open(o, err);
  ASSERT_TRUE(ring) << err;
  SessionLimits limits;
  ServerFigures figures;
  ClientAccess access;
  access.write = WritePermit::anySource();
  ClientSession s(*ring, limits, figures, access);
  std::vector<char> in = encoded(Hello{kMagic, kVersion, 1});
  for (int round = 0; round < 2; ++round)
    for (uint64_t seq : {5u, 6u}) encode(in, IdentifiedPut{77, seq, 1.0, "S/a", "bytes"});
  encode(in, Put{1.0, "S/a", "plain"});
  encode(in, Put{1.0, "S/a", "plain"});
  encode(in, Stat{});
  ASSERT_EQ(s.consume(in.data(), in.size()), static_cast<ssize_t>(in.size())) << s.error();
  EXPECT_EQ(ring->packetCount(), 4u) << "two identified once each, both plain ones";
  EXPECT_EQ(s.putsStored(), 6u) << "every put acknowledged";
  std::string_view out(s.outData(), s.outSize());
  FrameHeader fh;
  ASSERT_TRUE(peekHeader(out.data(), out.size(), fh));
  Welcome w;
  ASSERT_TRUE(decode(out.substr(kHeaderSize, fh.length), w));
  EXPECT_EQ(w.features & kFeatureIdentifiedPuts, kFeatureIdentifiedPuts);
  size_t at = kHeaderSize + fh.length;
  StatEnd end;
  while (peekHeader(out.data() + at, out.size() - at, fh)) {
    if (fh.type == kStatEnd) {
      ASSERT_TRUE(decode(out.substr(at + kHeaderSize, fh.length), end));
    }
    at += kHeaderSize + fh.length;
  }
  EXPECT_EQ(end.repeats, 2u);
  // Frames cut short or too long are refused like plain puts.
  ClientSession t(*ring, limits, figures, access);
  std::vector<char> bad = encoded(Hello{kMagic, kVersion, 1});
  std::vector<char> cut = encoded(IdentifiedPut{1, 2, 1.0, "S/a", ""});
  uint32_t shortLen = 12;  // ends inside the sequence
  std::memcpy(cut.data(), &shortLen, 4);
  cut.resize(kHeaderSize + shortLen);
  bad.insert(bad.end(), cut.begin(), cut.end());
  EXPECT_EQ(t.consume(bad.data(), bad.size()), -1);
  EXPECT_EQ(t.errorCode(), kErrFrame);
}

// A ring that holds exactly one largest packet without an identity takes
// such a packet put with one, without it (it would never fit otherwise).
TEST(IdentifiedPuts, AFullSizePacketInARingWithoutRoomForItsIdentityIsStoredPlain) {
  using namespace tarnwire;
  RingOptions o;
  o.size = Ring::recordSize(3, 100);
  std::string err;
  auto ring = Ring::open(o, err);
  ASSERT_TRUE(ring) << err;
  SessionLimits limits;
  limits.maxPacket = 100;
  ServerFigures figures;
  ClientAccess access;
  access.write = WritePermit::anySource();
  ClientSession s(*ring, limits, figures, access);
  std::vector<char> in = encoded(Hello{kMagic, kVersion, 1});
  std::string bytes(100, 'x');
  for (uint64_t seq : {1u, 2u}) encode(in, IdentifiedPut{5, seq, 1.0, "S/a", bytes});
  ASSERT_EQ(s.consume(in.data(), in.size()), static_cast<ssize_t>(in.size())) << s.error();
  EXPECT_EQ(ring->packetCount(), 1u);
  EXPECT_EQ(ring->nextSeq(), 2u);
  EXPECT_EQ(std::string(ring->packet(1).data, 100), bytes);
}

}  // namespace
}  // namespace tarnserver
