// The ring on its own: ordering, dropping the oldest, wrapping in the area,
// sources, and ring files surviving reopening, torn writes and damage.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "process.h"
#include "tarnserver/ring.h"
#include "tarnserver/ring_format.h"

namespace tarnserver {
namespace {

std::unique_ptr<Ring> openRing(uint64_t size, const std::string &path = "", uint64_t first = 0) {
  RingOptions o;
  o.size = size;
  o.path = path;
  o.firstSeq = first;
  std::string err;
  auto ring = Ring::open(o, err);
  EXPECT_TRUE(ring) << err;
  return ring;
}

std::string bytesOf(const Ring &r, uint64_t seq) {
  PacketRef p = r.packet(seq);
  return std::string(p.data, p.nbytes);
}

void fill(Ring &r, int n, size_t size, const std::string &src = "S/a") {
  for (int i = 0; i < n; ++i) {
    std::string b(size, static_cast<char>('a' + i % 26));
    r.append(src, i, b.data(), static_cast<uint32_t>(b.size()));
  }
}

TEST(Ring, KeepsPacketsInArrivalOrderUnchanged) {
  auto r = openRing(1 << 16);
  std::string binary("\0\1\2\xff", 4);
  r->append("A/x", 1.5, binary.data(), 4);
  r->append("B/y", -2.0, nullptr, 0);
  ASSERT_EQ(r->count(), 2u);
  EXPECT_EQ(bytesOf(*r, 0), binary);
  EXPECT_EQ(r->packet(1).src, "B/y");
  EXPECT_EQ(r->packet(1).nbytes, 0u);
  EXPECT_EQ(r->timeOf(1), -2.0);
  EXPECT_EQ(r->sources().liveCount(), 2u);
}

TEST(Ring, DropsTheOldestWhenFullAndWrapsInTheArea) {
  auto r = openRing(4096);
  fill(*r, 200, 100);  // 136-byte records: about 30 fit
  EXPECT_EQ(r->nextSeq(), 200u);
  EXPECT_LT(r->count(), 31u);
  EXPECT_GT(r->count(), 25u);
  EXPECT_EQ(r->dropped(), 200u - r->count());
  EXPECT_LE(r->usedBytes(), r->dataSize());
  for (uint64_t s = r->oldestSeq(); s < r->nextSeq(); ++s) {
    EXPECT_EQ(bytesOf(*r, s), std::string(100, static_cast<char>('a' + s % 26))) << s;
  }
}

TEST(Ring, MixedSizesNeverOverlap) {
  auto r = openRing(8192);
  for (int i = 0; i < 500; ++i) {
    std::string b(static_cast<size_t>((i * 97) % 3000), static_cast<char>(i));
    r->append("S/" + std::to_string(i % 7), i, b.data(), static_cast<uint32_t>(b.size()));
    for (uint64_t s = r->oldestSeq(); s < r->nextSeq(); ++s) {
      size_t want = static_cast<size_t>((s * 97) % 3000);
      ASSERT_EQ(bytesOf(*r, s), std::string(want, static_cast<char>(s)))
          << "after " << i << " at " << s;
    }
  }
}

TEST(Ring, ASourceLeavesTheTableWithItsLastPacket) {
  auto r = openRing(4096);
  r->append("OLD/x", 1, "", 0);
  fill(*r, 100, 100, "NEW/y");
  EXPECT_EQ(r->sources().liveCount(), 1u);
  uint64_t gen = r->sources().generation();
  r->append("OTHER/z", 2, "", 0);  // takes the freed slot
  EXPECT_NE(r->sources().generation(), gen);
}

TEST(Ring, SequenceNumbersStartWhereAsked) {
  auto r = openRing(4096, "", 2147483646);
  fill(*r, 3, 1);
  EXPECT_EQ(r->oldestSeq(), 2147483646u);
  EXPECT_EQ(r->nextSeq(), 2147483649u);  // ids 2147483646, 2147483647, 0
}

class RingFile : public ::testing::Test {
 protected:
  testsupport::TempDir dir_;
  std::string path_ = dir_.file("ring");
};

TEST_F(RingFile, PacketsAndNumbersSurviveReopening) {
  {
    auto r = openRing(4096, path_);
    fill(*r, 100, 50);
  }
  auto r = openRing(0, path_);
  EXPECT_EQ(r->nextSeq(), 100u);
  EXPECT_GT(r->count(), 10u);
  for (uint64_t s = r->oldestSeq(); s < r->nextSeq(); ++s)
    EXPECT_EQ(bytesOf(*r, s), std::string(50, 'a' + s % 26));
  r->append("S/a", 1, "z", 1);
  EXPECT_EQ(r->nextSeq(), 101u);
}

TEST_F(RingFile, AnEmptyRingKeepsItsNextNumber) {
  { openRing(4096, path_, 77); }
  EXPECT_EQ(openRing(0, path_)->nextSeq(), 77u);
}

TEST_F(RingFile, ADamagedRecordCostsOnlyItsOwnPacket) {
  uint64_t off2;
  {
    auto r = openRing(1 << 16, path_);
    fill(*r, 5, 100);
    off2 = 2 * Ring::recordSize(3, 100);
  }
  // Damage one byte of the third packet's bytes, as a write cut short would.
  int fd = ::open(path_.c_str(), O_RDWR);
  char c = 'Q';
  ASSERT_EQ(pwrite(fd, &c, 1, static_cast<off_t>(format::kFileHeaderSize + off2 + 60)), 1);
  ::close(fd);
  auto r = openRing(0, path_);
  EXPECT_EQ(r->packetCount(), 4u);
  EXPECT_EQ(r->nextSeq(), 5u);
  EXPECT_TRUE(r->isHole(2));
  EXPECT_EQ(bytesOf(*r, 3), std::string(100, 'd'));
  ASSERT_GE(r->openReport().size(), 2u);
  EXPECT_NE(r->openReport()[0].find("4 packets recovered, 1 lost"), std::string::npos)
      << r->openReport()[0];
  EXPECT_NE(r->openReport()[1].find("lost 1 packet (id 2)"), std::string::npos)
      << r->openReport()[1];
}

// A server killed while it wrote a record: the next opening keeps that
// number taken (a hole without bytes) and writes the next record where the
// torn one was. The opening after that keeps every packet all the same (it
// once took the hole for the mark of an older lap and dropped every packet
// before it).
TEST_F(RingFile, ARecordTornByAKillCostsOnlyItselfAtEveryLaterOpening) {
  const uint64_t len = Ring::recordSize(3, 100);
  {
    auto r = openRing(1 << 16, path_);
    fill(*r, 5, 100);
  }
  format::RecordHeader torn{};  // its header written, the rest not yet
  torn.kind = format::kRecordKind;
  torn.seq = 5;
  torn.nbytes = 100;
  torn.srclen = 3;
  int fd = ::open(path_.c_str(), O_RDWR);
  ASSERT_EQ(pwrite(fd, &torn, sizeof torn, static_cast<off_t>(format::kFileHeaderSize + 5 * len)),
            static_cast<ssize_t>(sizeof torn));
  ::close(fd);
  {
    auto r = openRing(0, path_);
    EXPECT_EQ(r->packetCount(), 5u);
    EXPECT_EQ(r->nextSeq(), 6u);
    fill(*r, 3, 100);
  }
  auto r = openRing(0, path_);
  EXPECT_EQ(r->packetCount(), 8u) << r->openReport()[0];
  EXPECT_EQ(r->oldestSeq(), 0u);
  EXPECT_TRUE(r->isHole(5));
  EXPECT_EQ(bytesOf(*r, 0), std::string(100, 'a'));
}

TEST_F(RingFile, DamagedOrForeignFilesAreRefusedWithAReason) {
  testsupport::writeFile(
      path_, "this is not a ring file, just some text that is long enough to hold a header");
  RingOptions o;
  o.path = path_;
  std::string err;
  EXPECT_FALSE(Ring::open(o, err));
  EXPECT_NE(err.find("not a tarn ring file"), std::string::npos) << err;

  std::string other = dir_.file("ring2");
  { openRing(4096, other); }
  o.path = other;
  o.size = 8192;
  EXPECT_FALSE(Ring::open(o, err));
  EXPECT_NE(err.find("4096"), std::string::npos) << err;

  ASSERT_EQ(truncate(other.c_str(), 4096 + 4096 + 8), 0);  // longer than its header says
  o.size = 0;
  EXPECT_FALSE(Ring::open(o, err));
  EXPECT_NE(err.find("header says 8192: what follows is not the ring's; 'truncate -s 8192 " + other),
            std::string::npos)
      << err;
}

// -m belongs to the file: a restart without it keeps it, another is refused,
// a file made before it was kept records the one it is opened with, and a
// damaged record of it is refused.
TEST_F(RingFile, KeepsItsLargestPacketSize) {
  std::string err;
  // The largest packet of the ring opened so, or 0 when it is refused.
  auto reopen = [&](uint32_t maxPacket, bool given) {
    RingOptions o;
    o.path = path_;
    o.size = given ? 4096 : 0;
    o.maxPacket = maxPacket;
    o.maxPacketGiven = given;
    auto ring = Ring::open(o, err);
    return ring ? ring->maxPacket() : 0u;
  };
  ASSERT_EQ(reopen(1000, true), 1000u) << err;
  EXPECT_EQ(reopen(1u << 20, false), 1000u);
  EXPECT_EQ(reopen(1000, true), 1000u);
  EXPECT_EQ(reopen(2000, true), 0u);
  EXPECT_EQ(err, "ring file '" + path_ +
                     "' takes packets of up to 1000 bytes, not the 2000 asked for; give no -m "
                     "or another file");

  int fd = ::open(path_.c_str(), O_RDWR);
  const char zeros[8] = {};
  ASSERT_EQ(pwrite(fd, zeros, 8, format::kLimitsOffset), 8);
  EXPECT_EQ(reopen(3000, false), 3000u);
  EXPECT_EQ(reopen(1u << 20, false), 3000u);
  const char one = 1;
  ASSERT_EQ(pwrite(fd, &one, 1, format::kLimitsOffset + 1), 1);
  ::close(fd);
  EXPECT_EQ(reopen(3000, false), 0u);
  EXPECT_NE(err.find("damaged header"), std::string::npos) << err;
}

TEST_F(RingFile, OnlyOneServerAtATime) {
  auto first = openRing(4096, path_);
  RingOptions o;
  o.path = path_;
  std::string err;
  EXPECT_FALSE(Ring::open(o, err));
  EXPECT_NE(err.find("in use"), std::string::npos) << err;
}

TEST_F(RingFile, RecoversAfterManyLapsOfTheArea) {
  {
    auto r = openRing(4096, path_);
    for (int i = 0; i < 1000; ++i) {
      std::string b(static_cast<size_t>(i % 300), 'x');
      r->append("S/a", i, b.data(), static_cast<uint32_t>(b.size()));
    }
  }
  auto r = openRing(0, path_);
  EXPECT_EQ(r->nextSeq(), 1000u);
  EXPECT_GT(r->count(), 5u);
  for (uint64_t s = r->oldestSeq(); s < r->nextSeq(); ++s) EXPECT_EQ(r->packet(s).nbytes, s % 300);
}

}  // namespace
}  // namespace tarnserver
