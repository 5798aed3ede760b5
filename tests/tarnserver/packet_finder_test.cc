// Positioning from the ring's indexes gives what a walk over every packet
// gives, for any selection and time, and looks at far fewer packets.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>

#include "tarnserver/packet_finder.h"

namespace tarnserver {
namespace {

class Finder : public ::testing::Test {
 protected:
  // 6000 packets of 20 sources through a ring that holds about 4600, with
  // times out of order by up to 50 and every 97th time NaN.
  void SetUp() override {
    RingOptions o;
    o.size = 1 << 18;
    std::string err;
    ring_ = Ring::open(o, err);
    ASSERT_TRUE(ring_) << err;
    std::mt19937 rng(7);
    for (int i = 0; i < 6000; ++i) {
      double t = i % 97 == 0 ? std::nan("") : i + static_cast<int>(rng() % 101) - 50;
      std::string src = "A/" + std::to_string(rng() % 20);
      ring_->append(src, t, "0123456789abcdef", 16);
    }
    ASSERT_GT(ring_->dropped(), 0u);
  }
  // The answers of a walk over every packet.
  uint64_t walk(PacketFilter &f, bool newest, double t, bool useTime) {
    uint64_t found = kNoSeq;
    for (uint64_t s = ring_->oldestSeq(); s < ring_->nextSeq(); ++s) {
      if (useTime && !(ring_->timeOf(s) >= t)) continue;
      if (!f.passes(ring_->sources(), ring_->sourceOf(s))) continue;
      found = s;
      if (!newest) break;
    }
    return found;
  }
  std::unique_ptr<Ring> ring_;
};

TEST_F(Finder, AnswersAsAWalkOverEveryPacketWould) {
  const double inf = std::numeric_limits<double>::infinity();
  std::vector<double> times = {-inf,   inf,   std::nan(""), ring_->timeOf(ring_->oldestSeq()),
                               5999.0, 6050.0};
  for (int i = 0; i < 40; ++i) times.push_back(1300.0 + i * 120.5);
  for (const char *select : {"", "A/1.*", "A/3", "Z.*"}) {
    for (const char *reject : {"", "A/.*[02468]"}) {
      SCOPED_TRACE(std::string(select) + " / " + reject);
      PacketFilter f;
      std::string err;
      ASSERT_TRUE(f.setSelect(select, err) && f.setReject(reject, err)) << err;
      PacketFinder finder(*ring_, f);
      EXPECT_EQ(finder.newest(), walk(f, true, 0, false));
      EXPECT_EQ(finder.oldest(), walk(f, false, 0, false));
      for (double t : times) EXPECT_EQ(finder.firstAtOrAfter(t), walk(f, false, t, true)) << t;
    }
  }
}

TEST_F(Finder, LooksAtSourcesNotAtEveryPacket) {
  PacketFilter none, one;
  std::string err;
  ASSERT_TRUE(none.setSelect("Z.*", err) && one.setSelect("A/3", err));
  const uint64_t sources = ring_->sources().slotCount();
  PacketFinder a(*ring_, none);
  EXPECT_EQ(a.newest(), kNoSeq);
  EXPECT_EQ(a.firstAtOrAfter(0), kNoSeq);
  EXPECT_LE(a.work(), 2 * sources);

  PacketFinder b(*ring_, one);
  b.firstAtOrAfter(ring_->timeOf(ring_->oldestSeq()));
  b.newest();
  EXPECT_LE(b.work(), ring_->count() / 8) << "one source of twenty";

  PacketFilter all;
  PacketFinder c(*ring_, all);
  EXPECT_EQ(c.firstAtOrAfter(5900.0), walk(all, false, 5900.0, true));
  EXPECT_LE(c.work(), ring_->count() / Ring::kTimeBlock + 3 * Ring::kTimeBlock)
      << "blocks skipped by time";
}

}  // namespace
}  // namespace tarnserver
