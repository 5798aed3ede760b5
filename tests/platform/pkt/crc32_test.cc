#include "platform/pkt/crc32.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

// The plain bit-by-bit definition, to check the table-driven one against.
uint32_t referenceCrc(const unsigned char *p, size_t n) {
  uint32_t c = 0xFFFFFFFFu;
  for (size_t i = 0; i < n; i++) {
    c ^= p[i];
    for (int k = 0; k < 8; k++) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
  }
  return ~c;
}

TEST(Crc32Test, KnownValues) {
  EXPECT_EQ(crc32_ieee("123456789", 9), 0xCBF43926u);
  EXPECT_EQ(crc32_ieee(nullptr, 0), 0u);
  EXPECT_EQ(crc32_ieee("a", 1), 0xE8B7BE43u);
  std::string fox = "The quick brown fox jumps over the lazy dog";
  EXPECT_EQ(crc32_ieee(fox.data(), fox.size()), 0x414FA339u);
}

TEST(Crc32Test, MatchesTheDefinitionAtEveryLengthAndAlignment) {
  std::mt19937 rng(7);
  // Long runs too: the folded path takes 64 bytes and more, 16 at a time.
  std::vector<unsigned char> data(2100);
  for (auto &b : data) b = static_cast<unsigned char>(rng());
  for (size_t offset = 0; offset < 8; offset++) {
    for (size_t len = 0; len + offset <= data.size(); len += len < 300 ? 7 : 61) {
      ASSERT_EQ(crc32_ieee(data.data() + offset, len), referenceCrc(data.data() + offset, len))
          << "offset " << offset << " length " << len;
    }
  }
}

TEST(Crc32Test, UpdateContinuesAcrossAnySplit) {
  std::string text = "0123456789abcdefghijklmnopqrstuvwxyz";
  uint32_t whole = crc32_ieee(text.data(), text.size());
  for (size_t cut = 0; cut <= text.size(); cut++) {
    uint32_t first = crc32_ieee(text.data(), cut);
    ASSERT_EQ(crc32_ieee_update(first, text.data() + cut, text.size() - cut), whole) << cut;
  }
}

}  // namespace
