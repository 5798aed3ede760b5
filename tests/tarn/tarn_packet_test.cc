// Packets: the reaped, log and status kinds, their names, descriptions and
// unstuff cache, the hook functions that hold them in a queue, and reaping
// and putting through a real tarnserver.
//
// The program is linked with the packet library's unstuffPkt wrapped
// (-Wl,--wrap=unstuffPkt), so the tests count how often a packet really asks
// the library to unstuff.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "base/relay_exception.h"
#include "platform/hook/hook.h"
#include "platform/pf/pf.h"
#include "platform/pkt/pkt.h"
#include "platform/tarnclient/tarnclient.h"
#include "tarn/tarn_packet.h"
#include "tarn/tarn_tag.h"
#include "tarn_test_server.h"

extern "C" {
int __real_unstuffPkt(const char *srcname, double time, const char *bytes, int nbytes,
                      Packet **pkt);
int __real_verifyPkt(const char *srcname, const char *bytes, int nbytes);
// Calls to the packet library that check or unstuff bytes.
int g_unstuffCalls = 0;
int __wrap_unstuffPkt(const char *srcname, double time, const char *bytes, int nbytes,
                      Packet **pkt) {
  ++g_unstuffCalls;
  return __real_unstuffPkt(srcname, time, bytes, nbytes, pkt);
}
int __wrap_verifyPkt(const char *srcname, const char *bytes, int nbytes) {
  ++g_unstuffCalls;
  return __real_verifyPkt(srcname, bytes, nbytes);
}
}

namespace {

// Stuffed bytes of a packet of the kind `suffix` ("txt", "log") with a text
// body, as a tarn server would carry them.
std::string stuffedText(const char *suffix, const char *srcname, const std::string &text,
                        double time) {
  Packet *pkt = newPkt();
  pkt->type = suffix2pkttype(suffix);
  pkt->time = time;
  pkt->string = strdup(text.c_str());
  pkt->string_size = static_cast<int>(text.size()) + 1;
  split_srcname(srcname, pkt);
  char *buf = nullptr;
  int nbytes = 0, bufsize = 0;
  double t = 0;
  int rc = stuffPkt(pkt, srcname, &t, &buf, &nbytes, &bufsize);
  EXPECT_GE(rc, 0) << pkt_strerror(rc);
  std::string bytes(buf, rc >= 0 ? static_cast<size_t>(nbytes) : 0);
  std::free(buf);
  freePkt(pkt);
  return bytes;
}

std::shared_ptr<TarnPacket> reaped(const std::string &tarnname, int pktid, std::string srcname,
                                   double time, std::string bytes) {
  auto tag = TarnTag::getTarnTag("t_" + tarnname, tarnname, true);
  return std::make_shared<TarnPacket>(tag, pktid, srcname.data(), time, bytes.data(),
                                      static_cast<int>(bytes.size()));
}

bool endsWith(const std::string &text, const std::string &tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// The relay's own packets, named after the target "relay1".
std::shared_ptr<TarnPacket> logPacket(const std::string &text) {
  return std::make_shared<TarnPacket>("relay1", text);
}

class TarnPacketTest : public ::testing::Test {
 protected:
  void SetUp() override { g_unstuffCalls = 0; }
};

// ---- Reaped packets ----

TEST_F(TarnPacketTest, ReapedPacketCopiesBytesAndKeepsAtMost63CharactersOfItsName) {
  std::string name70(70, 'N');
  std::string bytes = "abc";
  auto packet = reaped("srv", 42, name70, 1.5, bytes);
  bytes[0] = 'X';  // the packet holds its own copy
  EXPECT_EQ(std::string(packet->srcname()), std::string(63, 'N'));
  EXPECT_EQ(packet->pktid(), 42);
  EXPECT_EQ(packet->byteCount(), 3);
  EXPECT_EQ(packet->pkttime(), 1.5);
  EXPECT_EQ(packet->content(), 6);
  EXPECT_FALSE(packet->isInternal());

  auto exact = reaped("srv", 1, std::string(63, 'M'), 1.0, "x");
  EXPECT_EQ(std::string(exact->srcname()), std::string(63, 'M'));
}

TEST_F(TarnPacketTest, DescriptionOfReapedPacketNamesTarnAndId) {
  auto packet = reaped("srv", 42, "AA_BB/txt", 0.0, "12345");
  std::string text = packet->describe();
  EXPECT_EQ(text.rfind("Packet: srcname 'AA_BB/txt' time '", 0), 0u) << text;
  EXPECT_NE(text.find("' pktid srv::42 nbytes 5"), std::string::npos) << text;
  EXPECT_TRUE(endsWith(text, "nbytes 5")) << text;

  auto empty = reaped("srv", 0, "AA_BB/txt", 0.0, "");
  EXPECT_TRUE(endsWith(empty->describe(), "pktid srv::0 nbytes 0")) << empty->describe();
}

TEST_F(TarnPacketTest, BytesThatDoNotUnstuffAreTriedOnce) {
  auto packet = reaped("srv", 7, "AA_BB/txt", 10.0, "not a stuffed packet");
  EXPECT_FALSE(packet->checkUnstuffs());
  EXPECT_FALSE(packet->checkUnstuffs());
  EXPECT_FALSE(packet->checkUnstuffs());
  EXPECT_EQ(g_unstuffCalls, 1);
  EXPECT_EQ(packet->content(), 6);
}

TEST_F(TarnPacketTest, UnstuffFailureIsReportedAndRemembered) {
  auto packet = reaped("srv", 7, "AA_BB/txt", 10.0, "");
  try {
    packet->unstuff();
    FAIL() << "no failure";
  } catch (const RelayUnstuffException &e) {
    EXPECT_STREQ(e.what(), "TarnPacket::unstuff: unstuffPkt() failed");
  }
  EXPECT_FALSE(packet->checkUnstuffs());
  EXPECT_EQ(g_unstuffCalls, 1);
}

TEST_F(TarnPacketTest, CorruptedByteMakesAValidPacketFail) {
  std::string bytes = stuffedText("txt", "AA_BB/txt", "some text", 20.0);
  bytes[bytes.size() - 2] ^= 0x01;
  auto packet = reaped("srv", 1, "AA_BB/txt", 20.0, bytes);
  EXPECT_FALSE(packet->checkUnstuffs());
}

TEST_F(TarnPacketTest, ContentAfterUnstuffIsTheLibrarysCode) {
  auto text = reaped("srv", 1, "AA_BB/txt", 20.0, stuffedText("txt", "AA_BB/txt", "hi", 20.0));
  EXPECT_TRUE(text->checkUnstuffs());
  EXPECT_EQ(text->content(), PKT_CONTENT_TEXT);
  EXPECT_TRUE(text->checkUnstuffs());
  EXPECT_EQ(g_unstuffCalls, 1);  // checked where the bytes are, once
  text->unstuff();               // builds the unstuffed packet, once
  text->unstuff();
  EXPECT_EQ(g_unstuffCalls, 2);

  auto log = reaped("srv", 2, "relay/log", 20.0, stuffedText("log", "relay/log", "line", 20.0));
  log->unstuff();
  EXPECT_EQ(log->content(), 7);
  EXPECT_FALSE(log->isInternal());  // reaped, whatever it carries
}

// ---- Internal packets ----

TEST_F(TarnPacketTest, LogPacketIsInternalAndUnstuffedFromTheStart) {
  auto packet = logPacket("Thread 'x': hello");
  EXPECT_STREQ(packet->srcname(), "relay1/log");
  EXPECT_EQ(packet->pktid(), -1);
  EXPECT_EQ(packet->content(), 7);
  EXPECT_TRUE(packet->isInternal());
  EXPECT_GT(packet->byteCount(), 0);
  EXPECT_GT(packet->pkttime(), 1e9);  // now, not 0
  EXPECT_TRUE(packet->checkUnstuffs());
  EXPECT_EQ(g_unstuffCalls, 0);

  std::string text = packet->describe();
  EXPECT_EQ(text.find("pktid "), std::string::npos) << text;
  EXPECT_EQ(text.rfind("Packet: srcname 'relay1/log' time '", 0), 0u) << text;
  EXPECT_TRUE(endsWith(text, "' nbytes " + std::to_string(packet->byteCount()))) << text;
}

TEST_F(TarnPacketTest, InternalSourceNameKeepsAtMost62Characters) {
  auto named = [](size_t length) {
    return std::string(TarnPacket(std::string(length, 't'), "m").srcname());
  };
  // 58 characters and "/log" fit exactly.
  EXPECT_EQ(named(58), std::string(58, 't') + "/log");
  EXPECT_EQ(named(59), std::string(59, 't') + "/lo");
  EXPECT_EQ(named(70), std::string(62, 't'));
}

TEST_F(TarnPacketTest, StatusPacketIsInternalWithItsOwnCopyOfTheParameters) {
  Pf *pf = pfnew(PFARR);
  pfput_string(pf, "pid", "1234");
  auto packet = std::make_shared<TarnPacket>("relay1", pf);
  pffree(pf);  // the packet holds a copy
  EXPECT_STREQ(packet->srcname(), "relay1/pf/st");
  EXPECT_EQ(packet->content(), 4);
  EXPECT_EQ(packet->pktid(), -1);
  EXPECT_TRUE(packet->isInternal());
  EXPECT_TRUE(packet->checkUnstuffs());
  EXPECT_EQ(g_unstuffCalls, 0);
  EXPECT_EQ(packet->describe().find("pktid "), std::string::npos);
}

TEST_F(TarnPacketTest, MessageTooLongToStuffThrows) {
  // Also a leak check: nothing of the half-built packet stays behind.
  try {
    TarnPacket packet("relay1", std::string(PKT_MAX_BODY + 1, 'x'));
    FAIL() << "no failure";
  } catch (const RelayUnstuffException &) {
    FAIL() << "a plain RelayException";
  } catch (const RelayException &e) {
    EXPECT_STREQ(e.what(), "Failed to stuff log packet");
  }
}

// ---- Closed tags ----

TEST_F(TarnPacketTest, ClosedTagRefusesReapsAndPuts) {
  auto tag = TarnTag::getTarnTag("closed", "127.0.0.1:1", true);
  try {
    TarnPacket::reap_timeout(tag, 0.1);
    FAIL() << "no failure";
  } catch (const RelayTimeoutException &) {
    FAIL() << "a closed tag is not a time-out";
  } catch (const RelayEOFException &) {
    FAIL() << "a closed tag is not the end of data";
  } catch (const RelayException &e) {
    EXPECT_STREQ(e.what(), "TarnPacket::reap_timeout: tarn closed");
  }

  auto packet = logPacket("m");
  try {
    packet->put(*tag);
    FAIL() << "no failure";
  } catch (const RelayException &e) {
    EXPECT_STREQ(e.what(), "TarnTag::put: tarnserver 'closed' ('127.0.0.1:1') is not open");
  }
}

// ---- Hooks and lifetime ----

TEST_F(TarnPacketTest, HookFreeOfNothingDoesNothing) { spTarnPacket_hookfree(nullptr); }

TEST_F(TarnPacketTest, PacketLivesUntilItsLastHolderLetsGo) {
  auto packet = logPacket("m");
  std::weak_ptr<TarnPacket> watch = packet;

  Hook *first = new_hook(spTarnPacket_hookfree);
  first->p = new (std::calloc(1, sizeof(TarnPacketHolder))) TarnPacketHolder(packet);
  Hook *second = spTarnPacket_hookcopy(first);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(second->p, first->p);
  EXPECT_EQ(static_cast<TarnPacketHolder *>(second->p)->get(), packet.get());
  EXPECT_EQ(packet.use_count(), 3);

  packet.reset();
  free_hook(&first);
  EXPECT_EQ(first, nullptr);
  EXPECT_FALSE(watch.expired());
  EXPECT_EQ(watch.use_count(), 1);
  free_hook(&second);
  EXPECT_TRUE(watch.expired());
}

// ---- Through a real tarnserver ----

class TarnPacketServerTest : public TarnPacketTest {
 protected:
  std::shared_ptr<TarnTag> openTag(const std::string &name, TarnTag::Mode mode) {
    // Tag names are process-wide: a name of its own for each server.
    static int count = 0;
    auto tag = TarnTag::getTarnTag(name + std::to_string(++count), server.name(), true);
    tag->open(mode);
    return tag;
  }
  tarntest::TarnTestServer server;
};

TEST_F(TarnPacketServerTest, ReapWithTimeOutRecordsThePacketInTheTagsReadPosition) {
  ASSERT_TRUE(tarntest::putPackets(server.name(), "AA_BB/raw", 3, 100.25, 16));
  auto tag = openTag("rd", TarnTag::Mode::kRead);
  ASSERT_GE(tarnposition(tag->fd(), "oldest"), 0);
  std::shared_ptr<TarnPacket> last;
  for (int i = 0; i < 3; ++i) {
    auto packet = TarnPacket::reap_timeout(tag, 5.0);
    ASSERT_NE(packet, nullptr);
    ASSERT_NE(packet->readRecord(), nullptr);
    EXPECT_EQ(packet->pkttime(), 100.25 + i);
    EXPECT_EQ(packet->byteCount(), 16);
    EXPECT_STREQ(packet->srcname(), "AA_BB/raw");
    if (last) {
      EXPECT_GT(packet->pktid(), last->pktid());
    }
    std::string text = packet->describe();
    EXPECT_NE(
        text.find("pktid " + server.name() + "::" + std::to_string(packet->pktid()) + " nbytes 16"),
        std::string::npos)
        << text;
    if (i < 2) packet->done();
    last = packet;
  }
  // Nothing more: a time-out. The first two packets are done, the last is
  // still held: the read position stays after the second.
  EXPECT_THROW(TarnPacket::reap_timeout(tag, 0.2), RelayTimeoutException);
  EXPECT_EQ(tag->readPosition().resumePoint().id, last->pktid() - 1);
  last->done();
  EXPECT_EQ(tag->readPosition().resumePoint().id, last->pktid());
}

TEST_F(TarnPacketServerTest, InternalPacketsComeBackUnstuffingToWhatWasPut) {
  auto writer = openTag("wr", TarnTag::Mode::kWrite);
  auto reader = openTag("rd", TarnTag::Mode::kRead);
  Pf *pf = pfnew(PFARR);
  pfput_string(pf, "pid", "1234");
  pfput_string(pf, "note", "two words");
  char *expected = pf2string(pf);
  auto status = std::make_shared<TarnPacket>("relay1", pf);
  pffree(pf);
  auto log = logPacket("Thread 'main': hello there");
  ASSERT_GE(status->put(*writer), 0);
  ASSERT_GE(log->put(*writer), 0);
  // Puts go out in batches: the server may still be empty, and then the
  // first reap takes the first packet to arrive.
  tarnposition(reader->fd(), "oldest");

  // The status packet: its bytes unstuff to the same parameter text.
  auto back = TarnPacket::reap_timeout(reader, 5.0);
  EXPECT_STREQ(back->srcname(), "relay1/pf/st");
  EXPECT_EQ(back->pkttime(), status->pkttime());
  EXPECT_EQ(back->byteCount(), status->byteCount());
  EXPECT_EQ(back->content(), 6);
  EXPECT_TRUE(back->checkUnstuffs());
  EXPECT_EQ(back->content(), 4);

  int fd = reader->fd();
  ASSERT_GE(tarnseek(fd, back->pktid()), 0);
  int pktid = 0, nbytes = 0, bufsize = 0;
  char srcname[64];
  double time = 0;
  char *buf = nullptr;
  ASSERT_GE(tarnreap_timeout(fd, 5.0, &pktid, srcname, &time, &buf, &nbytes, &bufsize), 0);
  Packet *pkt = nullptr;
  ASSERT_EQ(__real_unstuffPkt(srcname, time, buf, nbytes, &pkt), 4);
  char *text = pf2string(pkt->pf);
  EXPECT_STREQ(text, expected);
  std::free(text);

  // The log packet: its text is the message.
  ASSERT_GE(tarnreap_timeout(fd, 5.0, &pktid, srcname, &time, &buf, &nbytes, &bufsize), 0);
  EXPECT_STREQ(srcname, "relay1/log");
  ASSERT_EQ(__real_unstuffPkt(srcname, time, buf, nbytes, &pkt), 7);
  EXPECT_STREQ(pkt->string, "Thread 'main': hello there");
  freePkt(pkt);
  std::free(buf);
  std::free(expected);
}

}  // namespace
