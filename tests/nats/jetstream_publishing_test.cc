// The publisher's bookkeeping without a server: JetStream's answers read
// (stored, refused, and anything else refused as unreadable, every cut-off
// answer included), reply numbers, and the window under answers that come
// out of order, a refusal in the middle, and a connection lost halfway.
#include <gtest/gtest.h>

#include "nats/publish_answer.h"
#include "nats/publish_window.h"
#include "tarn/tarn_packet.h"

namespace {

using jetstream::PublishAnswer;
using jetstream::readPublishAnswer;
using Kind = PublishAnswer::Kind;

PublishAnswer read(const std::string &body) { return readPublishAnswer(body.data(), body.size()); }

TEST(PublishAnswers, StoredAndDuplicateAnswersAreStored) {
  for (const char *body :
       {R"({"stream":"TARN","seq":12})", R"({"stream":"TARN","seq":12,"duplicate":true})",
        R"( { "stream" : "a\"b" , "domain":"hub", "seq" : 1 } )",
        R"({"stream":"S","seq":3,"future":{"x":[1,2,{"y":null}]}})"}) {
    EXPECT_EQ(read(body).kind, Kind::kStored) << body;
  }
}

TEST(PublishAnswers, RefusalsKeepJetStreamsCodeAndText) {
  PublishAnswer a = read(
      R"({"error":{"code":400,"err_code":10054,"description":"message size exceeds maximum allowed"},"stream":"S"})");
  EXPECT_EQ(a.kind, Kind::kRefused);
  EXPECT_EQ(a.errCode, 10054);
  EXPECT_EQ(a.text, "message size exceeds maximum allowed (JetStream error 10054)");
  a = read(R"({"error":{"code":503,"description":"say \"no\""}})");
  EXPECT_EQ(a.kind, Kind::kRefused);
  EXPECT_EQ(a.errCode, 0);
  EXPECT_EQ(a.text, "say \"no\"");
}

TEST(PublishAnswers, AnythingElseIsUnreadableAndSaysWhatCame) {
  const std::string good = R"({"stream":"TARN","seq":12})";
  for (size_t n = 0; n < good.size(); ++n)
    EXPECT_EQ(read(good.substr(0, n)).kind, Kind::kUnreadable) << good.substr(0, n);
  for (const char *body :
       {"", "null", "[]", R"({"stream":"S"})", R"({"seq":1})", R"({"stream":1,"seq":1})",
        R"({"stream":"S","seq":"1"})", R"({"stream":"S","seq":1} x)", R"({"stream":"S","seq":1,})",
        R"({"error":{"err_code":"x"}})", R"({"a":[[[[[[[[[[[[1]]]]]]]]]]]],"stream":"S","seq":1})",
        "NATS/1.0 503"}) {
    PublishAnswer a = read(body);
    EXPECT_EQ(a.kind, Kind::kUnreadable) << body;
    EXPECT_NE(a.text.find("does not give"), std::string::npos) << a.text;
  }
  EXPECT_EQ(read(std::string("{\"stream\":\"S\",\"seq\":1\0}", 24)).kind, Kind::kUnreadable);
  EXPECT_EQ(readPublishAnswer(nullptr, 5).kind, Kind::kUnreadable);
  EXPECT_LT(read(std::string(5000, '{')).text.size(), 200u);
  // What the server sent is shown on one line.
  EXPECT_EQ(read("\x01\n{").text.find_first_of("\x01\n"), std::string::npos);
  EXPECT_EQ(read("{\"error\":{\"description\":\"a\nb\"}}").text, "a?b");
}

TEST(PublishAnswers, ReplyNumbersAreExactlyDigitsAfterThePrefix) {
  const std::string prefix = "_INBOX.abc.";
  uint64_t n = 7;
  EXPECT_TRUE(jetstream::replyNumber("_INBOX.abc.0", prefix, n));
  EXPECT_EQ(n, 0u);
  EXPECT_TRUE(jetstream::replyNumber("_INBOX.abc.18446744073709551615", prefix, n));
  EXPECT_EQ(n, UINT64_MAX);
  for (const char *bad : {"_INBOX.abc.", "_INBOX.abc.+1", "_INBOX.abc.1a", "_INBOX.abd.1",
                          "_INBOX.abc.18446744073709551616", "_INBOX.abc.-1", "1", ""}) {
    EXPECT_FALSE(jetstream::replyNumber(bad, prefix, n)) << bad;
  }
  EXPECT_FALSE(jetstream::replyNumber(nullptr, prefix, n));
}

class PublishWindows : public testing::Test {
 protected:
  // Adds and sends `count` packets; their numbers.
  std::vector<uint64_t> sendSome(int count) {
    std::vector<uint64_t> ids;
    for (int i = 0; i < count; ++i) {
      auto packet = std::make_shared<TarnPacket>("js", next, "A/B", 1.0 * next, "x", 1, nullptr);
      ++next;
      ids.push_back(window.add(packet, 100));
      EXPECT_TRUE(window.sent(ids.back(), PublishWindow::Clock::now()));
    }
    return ids;
  }
  // The packets settle() hands out: each one's number in sending order (its
  // time), and why, when it was dropped.
  std::vector<std::string> settled() {
    std::vector<PublishWindow::Entry> out;
    window.settle(out);
    std::vector<std::string> seen;
    for (auto &e : out) seen.push_back(std::to_string(int(e.packet->pkttime())) + e.dropped);
    return seen;
  }

  PublishWindow window{4, 1000};
  uint64_t next = 0;
};

TEST_F(PublishWindows, OutOfOrderAnswersFinishPacketsOnlyInPublishingOrder) {
  auto ids = sendSome(4);
  EXPECT_TRUE(window.full());
  EXPECT_TRUE(window.stored(ids[2]));
  EXPECT_TRUE(window.stored(ids[1]));
  EXPECT_TRUE(settled().empty());  // the first is still waiting
  EXPECT_TRUE(window.full());
  EXPECT_FALSE(window.stored(ids[2]));  // a repeated answer changes nothing
  EXPECT_FALSE(window.stored(ids[3] + 1));
  EXPECT_EQ(window.waiting(), 2u);
  EXPECT_TRUE(window.stored(ids[0]));
  EXPECT_EQ(settled(), (std::vector<std::string>{"0", "1", "2"}));
  EXPECT_FALSE(window.full());
  EXPECT_FALSE(window.stored(ids[0]));  // already gone
  EXPECT_EQ(window.acknowledged(), 3u);
  EXPECT_EQ(window.waiting(), 1u);
}

TEST_F(PublishWindows, ARefusalInTheMiddleIsHandedOutInItsPlaceWithWhy) {
  auto ids = sendSome(3);
  EXPECT_TRUE(window.stored(ids[0]));
  EXPECT_TRUE(window.dropped(ids[1], "too large"));
  EXPECT_TRUE(window.stored(ids[2]));
  EXPECT_EQ(settled(), (std::vector<std::string>{"0", "1too large", "2"}));
  EXPECT_EQ(window.acknowledged(), 2u);
  EXPECT_EQ(window.waiting(), 0u);
}

TEST_F(PublishWindows, ALostConnectionSendsAgainWhatWasNotAnsweredInOrder) {
  auto ids = sendSome(4);
  EXPECT_TRUE(window.stored(ids[1]));
  PublishWindow::Clock::time_point oldest;
  EXPECT_TRUE(window.oldestInFlight(oldest));
  window.disconnected();
  EXPECT_FALSE(window.oldestInFlight(oldest));
  EXPECT_FALSE(window.stored(ids[0]));  // a late answer of the old connection
  EXPECT_EQ(window.toSend(), (std::vector<uint64_t>{ids[0], ids[2], ids[3]}));
  // Half of them sent again before the next loss.
  EXPECT_TRUE(window.sent(ids[0], PublishWindow::Clock::now()));
  EXPECT_FALSE(window.sent(ids[0], PublishWindow::Clock::now()));
  window.unsent(ids[2]);  // never was in flight: nothing changes
  EXPECT_EQ(window.toSend(), (std::vector<uint64_t>{ids[2], ids[3]}));
  window.disconnected();
  EXPECT_EQ(window.toSend(), (std::vector<uint64_t>{ids[0], ids[2], ids[3]}));
  for (uint64_t id : window.toSend()) window.sent(id, PublishWindow::Clock::now());
  for (uint64_t id : {ids[3], ids[0], ids[2]}) EXPECT_TRUE(window.stored(id));
  EXPECT_EQ(settled(), (std::vector<std::string>{"0", "1", "2", "3"}));
  EXPECT_EQ(window.waiting(), 0u);
}

TEST_F(PublishWindows, BytesBoundTheWindowToo) {
  PublishWindow small(100, 250);
  auto packet = std::make_shared<TarnPacket>("js", 1, "A/B", 1.0, "x", 1, nullptr);
  small.add(packet, 200);
  EXPECT_FALSE(small.full());
  uint64_t id = small.add(packet, 200);
  EXPECT_TRUE(small.full());
  small.dropped(id, "no");
  std::vector<PublishWindow::Entry> out;
  small.settle(out);
  EXPECT_TRUE(out.empty());  // the first still waits
  EXPECT_TRUE(small.full());
}

}  // namespace
