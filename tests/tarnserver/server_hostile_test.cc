// Clients that break the protocol: the server drops them (or answers with
// an error) and goes on serving the others within its memory bound.
#include "raw_client.h"
#include "tarn_client_fixture.h"

namespace tarntest {
namespace {

using namespace std::chrono_literals;

class Hostile : public TarnClientTest {
 protected:
  Hostile() : TarnClientTest({"-m", "64k"}) {}
  // A well-behaved client still gets its packets.
  void expectServing() {
    ASSERT_TRUE(server_.running());
    ASSERT_TRUE(put("OK/x", 1));
    int r = open();
    EXPECT_GE(tarnposition(r, "newest"), 0);
    EXPECT_EQ(reap(r).src, "OK/x");
  }
};

TEST_F(Hostile, GarbageIsAnsweredWithAnErrorAndTheClientDropped) {
  RawClient c(server_.name());
  ASSERT_TRUE(c.connected());
  c.send(std::string("GET / HTTP/1.0\r\n\r\n"));
  std::string answer = c.readToEnd();
  EXPECT_NE(answer.find("longer than"), std::string::npos);
  expectServing();
}

TEST_F(Hostile, AWrongHelloOrARequestBeforeItIsRefused) {
  {
    RawClient c(server_.name());
    std::vector<char> f;
    tarnwire::FrameWriter w(f);
    w.begin(tarnwire::kStat);
    w.end();
    c.send(f);
    EXPECT_NE(c.readToEnd().find("first frame must be a hello"), std::string::npos);
  }
  {
    RawClient c(server_.name());
    std::vector<char> f;
    tarnwire::FrameWriter w(f);
    w.begin(tarnwire::kHello);
    w.u32(0xdeadbeef);
    w.end();
    c.send(f);
    EXPECT_NE(c.readToEnd().find("not a tarn client"), std::string::npos);
  }
  expectServing();
}

TEST_F(Hostile, AHugeAnnouncedLengthIsRefusedBeforeAnyIsRead) {
  RawClient c(server_.name());
  c.hello();
  std::string frame("\xff\xff\xff\x7f", 4);
  frame += 'W';
  c.send(frame);
  std::string answer = c.readToEnd();
  EXPECT_NE(answer.find("longer than"), std::string::npos);
  expectServing();
  EXPECT_LT(residentKb(server_.pid()), kBoundKb);
}

TEST_F(Hostile, TruncatedAndMalformedFramesAreRefused) {
  struct Case {
    tarnwire::Type type;
    std::string body;
    const char *error;
  };
  std::vector<Case> cases = {
      {tarnwire::kPosition, std::string("\x01\x00", 2), "malformed position"},
      {tarnwire::kPosition, std::string(13, '\x09'), "malformed position"},
      {tarnwire::kPut,
       std::string("\0\0\0\0\0\0\0\0\x05"
                   "ab",
                   11),
       "malformed put"},
      {tarnwire::kPut, std::string("\0\0\0\0\0\0\0\0\x00", 9), "source names"},
      {tarnwire::kStart, std::string("\xff\xff\xff\xff", 4), "malformed start"},
      {static_cast<tarnwire::Type>('Z'), "", "unknown frame type"},
  };
  for (const Case &k : cases) {
    RawClient c(server_.name());
    c.hello();
    std::vector<char> f;
    tarnwire::FrameWriter w(f);
    w.begin(k.type);
    w.raw(k.body.data(), k.body.size());
    w.end();
    c.send(f);
    EXPECT_NE(c.readToEnd().find(k.error), std::string::npos) << k.error;
  }
  expectServing();
}

TEST_F(Hostile, AFrameCutShortByAClosedConnectionStoresNothing) {
  {
    RawClient c(server_.name());
    c.hello();
    std::string bytes(1000, 'c');
    std::vector<char> f = tarnwire::encoded(tarnwire::Put{1.0, "CUT/x", bytes});
    f.resize(f.size() - 10);
    c.send(f);
  }
  int r = open();
  EXPECT_EQ(tarnselect(r, "CUT/.*"), 0);
  expectServing();
}

TEST_F(Hostile, AFloodOfRequestsFromAClientThatNeverReadsStaysBounded) {
  RawClient c(server_.name());
  c.hello();
  std::vector<char> burst;
  tarnwire::FrameWriter w(burst);
  for (int i = 0; i < 20000; ++i) {
    w.begin(tarnwire::kSelect);
    w.raw("x.*", 3);
    w.end();
  }
  // About 30 MB of answers would pile up if the server kept reading; it
  // stops reading this client instead, so the sends start to block.
  for (int i = 0; i < 100 && c.send(burst); ++i) {
  }
  expectServing();
  EXPECT_LT(residentKb(server_.pid()), kBoundKb);
}

TEST_F(Hostile, ManyExpressionsAndOddTextsAreAnsweredNotFatal) {
  int r = open();
  EXPECT_EQ(tarnselect(r, std::string(2000, 'a').c_str()), -1);
  EXPECT_EQ(tarnselect(r, "[[:alpha:]"), -1);
  EXPECT_EQ(tarnreject(r, "(a|b)*c{2,}"), 0);
  EXPECT_EQ(tarnselect(r, "OK/[{]x{1,3}"), 0);
  EXPECT_EQ(tarnselect(r, "(a)\\1"), -1);
  expectServing();
}

// Found by fuzzing: nested repetition counts made the regex compiler take
// gigabytes for one select request.
TEST_F(Hostile, RegressionNestedRepetitionsCannotExhaustMemory) {
  int r = open();
  EXPECT_EQ(tarnselect(r, "((a{255}){255}){255}"), -1);
  EXPECT_EQ(tarnreject(r, "x{2000}"), -1);
  EXPECT_NE(drainLog().find("repetition counts multiply"), std::string::npos);
  EXPECT_EQ(tarnselect(r, "OK/x{1,20}"), 0);
  expectServing();
  EXPECT_LT(residentKb(server_.pid()), kBoundKb);
}

// Found by fuzzing: each '+' doubles what the regex compiler builds, so a
// run of them took gigabytes; '+' spread over an expression costs little.
TEST_F(Hostile, RegressionRunsOfPlusCannotExhaustMemory) {
  int r = open();
  EXPECT_EQ(tarnselect(r, ("R" + std::string(56, '+')).c_str()), -1);
  EXPECT_EQ(tarnreject(r, "(x{100}y){100}"), -1);
  EXPECT_EQ(tarnreject(r, "((x+)+)+y{0,1000}"), 0);
  EXPECT_EQ(tarnselect(r, "A+_B+_C+_D+_E+_F+_G+_H+_I+_J+_K+/.+"), 0);
  // Adjacent operators have no defined meaning, and stacked ones made the
  // compiler's closures explode in time instead.
  EXPECT_EQ(tarnselect(r, "\x89+*+++++1++++"), -1);
  EXPECT_EQ(tarnselect(r, "a*?"), -1);
  EXPECT_EQ(tarnselect(r, (std::string(20, '(') + "a" + std::string(20, ')')).c_str()), -1);
  expectServing();
  EXPECT_LT(residentKb(server_.pid()), kBoundKb);
}

}  // namespace
}  // namespace tarntest
