// Ring files damaged on disk: a flipped bit costs at most the packet it
// hits, damaged checkpoints are rebuilt from the records, and no packet id
// is ever given out twice under one ring instance.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "process.h"
#include "tarnserver/crc32c.h"
#include "tarnserver/ring.h"
#include "tarnserver/ring_format.h"

namespace tarnserver {
namespace {

// Packet `seq` of the model: its size, bytes and source follow from seq.
size_t sizeOf(uint64_t seq) { return (seq * 37) % 300; }
std::string bytesFor(uint64_t seq) {
  return std::string(sizeOf(seq), static_cast<char>(seq % 251));
}
std::string srcFor(uint64_t seq) { return "S/" + std::to_string(seq % 5); }

class RingRecovery : public ::testing::Test {
 protected:
  static constexpr uint64_t kArea = 1 << 15;
  static constexpr uint64_t kPackets = 700;  // several laps of the area

  // Writes the model's packets; leaves the file closed (checkpointed).
  void SetUp() override {
    auto r = open(kArea);
    for (uint64_t s = 0; s < kPackets; ++s) {
      std::string b = bytesFor(s);
      r->append(srcFor(s), static_cast<double>(s), b.data(), static_cast<uint32_t>(b.size()));
    }
    oldest_ = r->oldestSeq();
  }
  std::unique_ptr<Ring> open(uint64_t size = 0) {
    RingOptions o;
    o.size = size;
    o.path = path_;
    std::string err;
    auto r = Ring::open(o, err);
    EXPECT_TRUE(r) << err;
    return r;
  }
  void poke(uint64_t fileOff, const void *p, size_t n) {
    int fd = ::open(path_.c_str(), O_RDWR);
    ASSERT_EQ(pwrite(fd, p, n, static_cast<off_t>(fileOff)), static_cast<ssize_t>(n));
    ::close(fd);
  }
  void flipBit(uint64_t bit) {
    int fd = ::open(path_.c_str(), O_RDWR);
    off_t at = static_cast<off_t>(format::kFileHeaderSize + bit / 8);
    unsigned char c;
    ASSERT_EQ(pread(fd, &c, 1, at), 1);
    c ^= static_cast<unsigned char>(1u << (bit % 8));
    ASSERT_EQ(pwrite(fd, &c, 1, at), 1);
    ::close(fd);
  }
  // The bit number of the first byte of the source name of the record at `off`.
  static uint64_t firstNameByte(uint64_t off) { return (off + sizeof(format::RecordHeader)) * 8; }
  void damageCheckpoints() {
    std::string junk(80, '\x5a');
    poke(offsetof(format::FileHeader, slots), junk.data(), junk.size());
  }
  // Every packet the ring serves is the model's; returns how many it holds.
  uint64_t expectModel(const Ring &r) {
    uint64_t held = 0;
    for (uint64_t s = r.oldestSeq(); s < r.nextSeq(); ++s) {
      if (r.isHole(s)) continue;
      PacketRef p = r.packet(s);
      EXPECT_EQ(std::string(p.data, p.nbytes), bytesFor(s)) << s;
      EXPECT_EQ(p.src, srcFor(s)) << s;
      ++held;
    }
    return held;
  }

  testsupport::TempDir dir_;
  std::string path_ = dir_.file("ring");
  uint64_t oldest_ = 0;
};

TEST_F(RingRecovery, AFlippedBitCostsAtMostThePacketItHits) {
  const uint64_t live = kPackets - oldest_;
  std::string pristine = testsupport::readFile(path_);
  for (unsigned seed = 1; seed <= 20; ++seed) {
    SCOPED_TRACE(seed);
    testsupport::writeFile(path_, pristine);
    flipBit(std::mt19937(seed)() % (kArea * 8));
    auto r = open();
    EXPECT_EQ(r->nextSeq(), kPackets);
    uint64_t held = expectModel(*r);
    EXPECT_GE(held + 1, live);
    if (held < live) {
      EXPECT_NE(r->openReport()[0].find("1 lost in 1 damaged place"), std::string::npos)
          << r->openReport()[0];
    }
  }
}

TEST_F(RingRecovery, DamageAtEitherEndIsCountedAndIdsAreNotReused) {
  std::string pristine = testsupport::readFile(path_);
  uint64_t oldestOff = open()->offsetOf(oldest_), newestOff = open()->offsetOf(kPackets - 1);
  // The oldest record, with the checkpoints intact: the loss is reported.
  flipBit(firstNameByte(oldestOff));
  auto r = open();
  EXPECT_EQ(r->oldestSeq(), oldest_ + 1);
  ASSERT_EQ(r->openReport().size(), 2u);
  EXPECT_NE(r->openReport()[1].find("lost 1 packet (id " + std::to_string(oldest_) + ")"),
            std::string::npos)
      << r->openReport()[1];
  r.reset();
  // The newest record, with both checkpoints damaged too: its id stays taken.
  testsupport::writeFile(path_, pristine);
  damageCheckpoints();
  flipBit(firstNameByte(newestOff));
  r = open();
  EXPECT_EQ(r->nextSeq(), kPackets);
  EXPECT_EQ(expectModel(*r), kPackets - oldest_ - 1);
  EXPECT_NE(r->openReport()[0].find("rebuilt from the records"), std::string::npos)
      << r->openReport()[0];
  EXPECT_EQ(r->append("S/x", 1, "", 0), kPackets);
}

TEST_F(RingRecovery, DamagedCheckpointsAreRebuiltFromTheRecords) {
  uint64_t instance = open()->instance();
  damageCheckpoints();
  auto r = open();
  EXPECT_EQ(r->instance(), instance);
  EXPECT_EQ(r->nextSeq(), kPackets);
  EXPECT_GE(expectModel(*r), kPackets - oldest_);
  EXPECT_EQ(r->append("S/x", 1, "", 0), kPackets);

  // A checkpoint whose checksum holds but whose numbers cannot be true is
  // not trusted either.
  r.reset();
  format::Checkpoint c{};
  c.gen = 99;
  c.tailSeq = 0;
  c.nextSeq = 1ull << 60;
  c.crc = crc32c(0, &c, 32);
  poke(offsetof(format::FileHeader, slots), &c, sizeof c);
  poke(offsetof(format::FileHeader, slots) + sizeof c, &c, sizeof c);
  EXPECT_EQ(open()->nextSeq(), kPackets + 1);
}

TEST_F(RingRecovery, NothingRecognisableStartsAnotherRingInstance) {
  uint64_t instance = open()->instance();
  damageCheckpoints();
  std::string zeros(kArea, '\0');
  poke(format::kFileHeaderSize, zeros.data(), zeros.size());
  auto r = open();
  EXPECT_TRUE(r->empty());
  EXPECT_NE(r->instance(), instance);
  EXPECT_NE(r->openReport()[0].find("new ring instance"), std::string::npos) << r->openReport()[0];
  r.reset();
  EXPECT_NE(open()->instance(), instance) << "the new instance is kept in the file";
}

TEST_F(RingRecovery, AHoleLeavesWithThePacketsAroundIt) {
  uint64_t mid = (oldest_ + kPackets) / 2;
  flipBit(firstNameByte(open()->offsetOf(mid)));
  auto r = open();
  ASSERT_TRUE(r->isHole(mid));
  EXPECT_EQ(r->packetCount() + 1, r->count());
  for (uint64_t s = kPackets; r->oldestSeq() <= mid; ++s) {
    std::string b = bytesFor(s);
    r->append(srcFor(s), static_cast<double>(s), b.data(), static_cast<uint32_t>(b.size()));
  }
  EXPECT_GT(r->oldestSeq(), mid);
  EXPECT_FALSE(r->isHole(r->oldestSeq()));
  EXPECT_EQ(r->packetCount(), r->count());
  expectModel(*r);
}

}  // namespace
}  // namespace tarnserver
