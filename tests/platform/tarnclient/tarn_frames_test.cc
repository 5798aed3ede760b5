// Every frame of the wire protocol: laid out byte for byte as
// docs/tarn-protocol.md says (the expected bodies are put together by hand,
// field by field, from that page), decoded back to what was encoded, and
// refused when cut short anywhere before a field that runs to the end.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/tarnclient/tarn_frames.h"

namespace tarnwire {
namespace {

template <typename T>
std::string le(T v) {
  return std::string(reinterpret_cast<const char *>(&v), sizeof v);
}
std::string name(const std::string &s) { return static_cast<char>(s.size()) + s; }

// `body` is the frame's body as documented; its last `open` bytes are a
// field that runs to the end of the body.
template <class F>
void check(const F &frame, const std::string &body, size_t open = 0) {
  SCOPED_TRACE(std::string("frame '") + static_cast<char>(F::kType) + "'");
  std::string expected =
      le(static_cast<uint32_t>(body.size())) + static_cast<char>(F::kType) + body;
  std::vector<char> wire = encoded(frame);
  EXPECT_EQ(std::string(wire.begin(), wire.end()), expected);
  F back;
  ASSERT_TRUE(decode(body, back));
  EXPECT_TRUE(back == frame);
  for (size_t cut = 0; cut < body.size(); ++cut) {
    F partial;
    EXPECT_EQ(decode(std::string_view(body).substr(0, cut), partial), cut >= body.size() - open)
        << cut;
  }
}

TEST(Frames, RequestsTravelAsDocumented) {
  check(Hello{kMagic, kVersion, 1}, le(0x4e524154u) + le(uint16_t{1}) + '\x01');
  check(Select{"AB_.*/BHZ"}, "AB_.*/BHZ", 9);
  check(Reject{""}, "");
  check(Position{kResume, 2147483647, 1.5}, '\x05' + le(int32_t{2147483647}) + le(1.5));
  check(Start{77}, le(int32_t{77}));
  check(Put{-2.25, "SRC/x", std::string_view("\0b\xff", 3)},
        le(-2.25) + name("SRC/x") + std::string("\0b\xff", 3), 3);
  check(Put{3.0, "S", ""}, le(3.0) + name("S"));
  check(IdentifiedPut{0x1122334455667788ull, 2147483647, 1.5, "SRC/x", "ab"},
        le(uint64_t{0x1122334455667788ull}) + le(uint64_t{2147483647}) + le(1.5) + name("SRC/x") +
            "ab",
        2);
  check(Stat{}, "");
  check(Clients{}, "");
}

TEST(Frames, AnswersTravelAsDocumented) {
  // The welcome's features and stat's repeats came later: a body from an
  // older server ends before them, and decodes with them 0.
  check(Welcome{1, 1 << 20, 0x0102030405060708ull, 12, 64 << 20, kFeatureIdentifiedPuts},
        le(uint16_t{1}) + le(uint32_t{1 << 20}) + le(uint64_t{0x0102030405060708ull}) +
            le(int32_t{12}) + le(uint64_t{64 << 20}) + '\x01',
        1);
  check(Count{-1, "bad expression"}, le(int32_t{-1}) + "bad expression", 14);
  check(Positioned{kResumedByTime, 9}, le(int32_t{-2}) + le(int32_t{9}));
  check(Packet{5, 100.5, "AB/c", "bytes"}, le(int32_t{5}) + le(100.5) + name("AB/c") + "bytes", 5);
  check(Skipped{3, 2147483646, 0}, le(uint64_t{3}) + le(int32_t{2147483646}) + le(int32_t{0}));
  check(Ack{1ull << 40}, le(uint64_t{1ull << 40}));
  // The source's arrival and the server's time came later still.
  check(StatSource{7, 8.5, "ST/x", 9.5}, le(uint64_t{7}) + le(8.5) + name("ST/x") + le(9.5), 8);
  StatEnd end{1, 2, 3, 4, 5, 6.5, 7.5, 8, 9, 10, true, false, 11, 12, 13.5};
  check(end,
        le(uint64_t{1}) + le(uint64_t{2}) + le(uint64_t{3}) + le(int32_t{4}) + le(int32_t{5}) +
            le(6.5) + le(7.5) + le(uint64_t{8}) + le(uint32_t{9}) + le(uint32_t{10}) + '\x01' +
            '\x00' + le(uint64_t{11}) + le(uint64_t{12}) + le(13.5),
        16);
  check(Client{"1.2.3.4:5", "tarn", "", 1.5, 1, 2, 3, 4, "reads"},
        name("1.2.3.4:5") + name("tarn") + name("") + le(1.5) + le(uint64_t{1}) +
            le(uint64_t{2}) + le(uint64_t{3}) + le(uint64_t{4}) + "reads",
        5);
  check(ClientsEnd{2, 3}, le(uint32_t{2}) + le(uint32_t{3}));
  check(Error{kErrRefused, "not allowed"}, le(int32_t{7}) + "not allowed", 11);
}

TEST(Frames, FieldsPastTheDocumentedOnesAreIgnoredAndTimesTravelBitForBit) {
  Ack ack;
  ASSERT_TRUE(decode(le(uint64_t{4}) + "later", ack));
  EXPECT_EQ(ack.puts, 4u);
  uint64_t nanBits = 0x7ff8000000000123ull;
  double nan;
  std::memcpy(&nan, &nanBits, sizeof nan);
  Packet p;
  for (double t : {nan, -0.0}) {
    ASSERT_TRUE(decode(std::string(encoded(Packet{1, t, "S", ""}).data() + kHeaderSize, 14), p));
    EXPECT_EQ(std::memcmp(&p.time, &t, sizeof t), 0);
  }
}

}  // namespace
}  // namespace tarnwire
