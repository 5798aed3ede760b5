// The parts of a client connection, without a socket: frames taken out of
// bytes however they arrive, the numbering and counting of acknowledged
// puts across connections, the back-off, and what a new connection is told.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "platform/tarnclient/frame_input.h"
#include "platform/tarnclient/puts_in_flight.h"
#include "platform/tarnclient/reconnection.h"

namespace tarnclient {
namespace {

using namespace tarnwire;

std::string bytesOf(const std::vector<char> &v) { return std::string(v.begin(), v.end()); }

// The types of the whole frames at the front, taken out in order.
std::string drain(FrameInput &in) {
  std::string types;
  FrameInput::Frame f;
  for (; in.front(f); in.pop()) types += static_cast<char>(f.type);
  return types;
}

TEST(FrameInput, FramesComeOutWholeAndInOrderHoweverTheBytesArrive) {
  std::string big(300 << 10, 'b');  // longer than one read
  std::string wire = bytesOf(encoded(Packet{1, 1.0, "S", "x"})) +
                     bytesOf(encoded(Packet{2, 2.0, "S", big})) +
                     bytesOf(encoded(Skipped{1, 2, 3}));
  FrameInput in;
  std::string types;
  for (size_t at = 0; at < wire.size();) {
    size_t room = 0;
    char *to = in.room(64 << 10, room);
    size_t n = std::min({room, wire.size() - at, at < 4096 ? size_t{1} : size_t{50000}});
    std::copy_n(wire.data() + at, n, to);
    in.received(n);
    at += n;
    types += drain(in);
  }
  EXPECT_EQ(types, "KKk");
  in.append(bytesOf(encoded(Packet{3, 3.0, "S", big})).substr(0, 20));
  size_t room = 0;
  in.room(16, room);
  EXPECT_GE(room, big.size()) << "room for the rest of the frame at the front";
}

// A large frame split in two at every byte around its header, its end and
// the frame behind it comes out whole; the buffer it needed is given back.
TEST(FrameInput, ALargeFrameSplitAnywhereComesOutWholeAndItsRoomIsGivenBack) {
  std::string big(FrameInput::kKeptBytes + 12345, '\0');
  for (size_t i = 0; i < big.size(); i += 4093) big[i] = static_cast<char>(i / 4093);
  const std::string head = bytesOf(encoded(Packet{7, 1.0, "S", big}));
  const std::string wire = head + bytesOf(encoded(Packet{8, 2.0, "T", "tail"}));
  const size_t first = head.size();  // where the second frame starts
  std::vector<size_t> cuts;
  for (size_t c = 1; c < 40; ++c) cuts.push_back(c);
  for (size_t c = first - 20; c < wire.size(); ++c) cuts.push_back(c);
  for (size_t cut : cuts) {
    FrameInput in;
    in.append(std::string_view(wire).substr(0, cut));
    in.append(std::string_view(wire).substr(cut));
    FrameInput::Frame f;
    Packet p;
    ASSERT_TRUE(in.front(f) && decode(f.body, p)) << "cut at " << cut;
    ASSERT_EQ(p.id, 7);
    ASSERT_TRUE(p.bytes == big) << "cut at " << cut;
    in.pop();
    ASSERT_TRUE(in.front(f) && decode(f.body, p) && p.bytes == "tail") << "cut at " << cut;
    in.pop();
    size_t room = 0;
    in.room(64 << 10, room);
    ASSERT_LE(in.memoryHeld(), FrameInput::kKeptBytes) << "cut at " << cut;
  }
}

TEST(FrameInput, AcksAreTakenWhereverTheyStandAndOnlyOnce) {
  FrameInput in;
  for (const auto &f : {encoded(Packet{1, 1.0, "S", ""}), encoded(Ack{2}),
                        encoded(Packet{2, 1.0, "S", ""}), encoded(Ack{5})}) {
    in.append(bytesOf(f));
  }
  in.append(bytesOf(encoded(Ack{9})).substr(0, 6));  // not whole yet
  uint64_t puts = 0;
  ASSERT_TRUE(in.takeAcks(puts));
  EXPECT_EQ(puts, 5u) << "the latest count says it all";
  EXPECT_FALSE(in.takeAcks(puts)) << "an ack is taken once";
  in.append(bytesOf(encoded(Ack{9})).substr(6));
  ASSERT_TRUE(in.takeAcks(puts));
  EXPECT_EQ(puts, 9u);
  EXPECT_EQ(drain(in), "KK") << "the packets stay, in order; taken acks are stepped over";
}

std::string putBody(const std::string &bytes) { return bytesOf(encoded(Put{1.0, "P/x", bytes})); }

TEST(PutsInFlight, AcksCountEachPutOnceAcrossConnections) {
  PutsInFlight puts;
  for (uint64_t i = 1; i <= 5; ++i) EXPECT_EQ(puts.add(Put{1.0, "P/x", std::to_string(i)}), i);
  puts.sent(puts.unsent().size());
  puts.acknowledge(2);
  puts.acknowledge(1);  // an older count changes nothing
  EXPECT_EQ(puts.acknowledged(), 2u);
  puts.rewind();  // a new connection: puts 3 to 5 go again, acks count from 0
  EXPECT_EQ(bytesOf({puts.unsent().begin(), puts.unsent().end()}),
            putBody("3") + putBody("4") + putBody("5"));
  puts.sent(puts.unsent().size());
  puts.acknowledge(1);
  EXPECT_EQ(puts.acknowledged(), 3u);
  puts.acknowledge(99);  // more than were sent
  EXPECT_EQ(puts.acknowledged(), 5u);
  EXPECT_EQ(puts.accepted(), 5u);
  EXPECT_EQ(puts.unackedBytes(), 0u);
  EXPECT_TRUE(puts.idle());
}

// The server refuses the first put it has not acknowledged: only a put that
// was sent can be refused; it counts as acknowledged and never goes again.
TEST(PutsInFlight, ARefusedPutIsTheFirstUnacknowledgedAndIsNotSentAgain) {
  PutsInFlight puts;
  std::string body;
  EXPECT_FALSE(puts.refuseFirst(body));
  for (const char *b : {"1", "2", "3"}) puts.add(Put{1.0, "P/x", b});
  EXPECT_FALSE(puts.refuseFirst(body)) << "nothing was sent";
  puts.sent(puts.unsent().size());
  puts.acknowledge(1);
  ASSERT_TRUE(puts.refuseFirst(body));
  Put refused;
  ASSERT_TRUE(decode(body, refused));
  EXPECT_EQ(refused.bytes, "2");
  EXPECT_EQ(puts.acknowledged(), 2u);
  puts.rewind();
  EXPECT_EQ(bytesOf({puts.unsent().begin(), puts.unsent().end()}), putBody("3"));
}

// A server without identities (an older one, after a reconnection) gets
// the unacknowledged identified puts as plain ones, in order; a refusal
// names the put as a plain one whatever its frame.
TEST(PutsInFlight, IdentifiedPutsGoPlainToAServerThatDoesNotTakeThem) {
  PutsInFlight puts;
  puts.add(IdentifiedPut{7, 1, 1.0, "P/x", "1"});
  puts.add(Put{1.0, "P/x", "2"});
  puts.add(IdentifiedPut{7, 3, 1.0, "P/x", "3"});
  puts.add(IdentifiedPut{7, 4, 1.0, "P/x", "4"});
  puts.sent(puts.unsent().size());
  puts.acknowledge(1);
  std::string body;
  puts.rewind(true);
  EXPECT_EQ(bytesOf({puts.unsent().begin(), puts.unsent().end()}),
            putBody("2") + bytesOf(encoded(IdentifiedPut{7, 3, 1.0, "P/x", "3"})) +
                bytesOf(encoded(IdentifiedPut{7, 4, 1.0, "P/x", "4"})));
  puts.rewind(false);
  EXPECT_EQ(bytesOf({puts.unsent().begin(), puts.unsent().end()}),
            putBody("2") + putBody("3") + putBody("4"));
  puts.sent(puts.unsent().size());
  puts.acknowledge(2);
  EXPECT_EQ(puts.acknowledged(), 3u);
  EXPECT_EQ(puts.unackedBytes(), putBody("4").size());
  PutsInFlight refused;
  refused.add(IdentifiedPut{7, 9, 2.0, "P/y", "abc"});
  refused.sent(refused.unsent().size());
  ASSERT_TRUE(refused.refuseFirst(body));
  Put put;
  ASSERT_TRUE(decode(body, put));
  EXPECT_EQ(put.source, "P/y");
  EXPECT_EQ(put.bytes, "abc");
}

TEST(PutsInFlight, TheWindowFillsAtItsLimitAndUnsentBytesSurviveAcks) {
  PutsInFlight puts;
  std::string mib(1 << 20, 'm');
  int taken = 0;
  for (; puts.hasRoom() && taken < 100; ++taken) puts.add(Put{1.0, "P/x", mib});
  const int fill = static_cast<int>(PutsInFlight::kWindowBytes >> 20);
  EXPECT_EQ(taken, fill) << "puts are taken while the window holds at most its limit";
  while (puts.unsentBytes() > 100)  // the last frame is partly sent
    puts.sent(std::min<size_t>(puts.unsent().size(), puts.unsentBytes() - 100));
  puts.acknowledge(static_cast<uint64_t>(fill - 1));  // frees more than half the buffer
  EXPECT_EQ(bytesOf({puts.unsent().begin(), puts.unsent().end()}),
            putBody(mib).substr(putBody(mib).size() - 100));
  EXPECT_TRUE(puts.hasRoom());
}

using Clock = ReconnectSchedule::Clock;

// Everything unsent, taken block by block, as sendUnsent does.
std::string takeUnsent(PutsInFlight &puts) {
  std::string all;
  for (std::string_view b = puts.unsent(); !b.empty(); b = puts.unsent()) {
    all += b;
    puts.sent(b.size());
  }
  return all;
}

// Small puts around ones larger than a block go out in order, block by
// block, and again after a reconnection from the first unacknowledged; a
// frame never moves while it waits, whatever acks free before it.
TEST(PutsInFlight, PutsOfAnySizeGoOutInOrderAndNeverMove) {
  PutsInFlight puts;
  const std::string big(PutsInFlight::kBlockBytes + 3, 'B');
  std::vector<std::string> frames;
  for (const std::string &b : {std::string("s1"), big, std::string("s2"), big, std::string("s3")}) {
    puts.add(Put{1.0, "P/x", b});
    frames.push_back(putBody(b));
  }
  std::vector<const char *> blocks;
  std::string all;
  for (std::string_view b = puts.unsent(); !b.empty(); b = puts.unsent()) {
    blocks.push_back(b.data());
    all += b;
    puts.sent(b.size());
  }
  EXPECT_EQ(all, frames[0] + frames[1] + frames[2] + frames[3] + frames[4]);
  ASSERT_EQ(blocks.size(), 5u) << "a large frame takes a block of its own";
  puts.acknowledge(3);
  puts.rewind();
  EXPECT_EQ(puts.unsent().data(), blocks[3]);
  EXPECT_EQ(takeUnsent(puts), frames[3] + frames[4]);
  puts.acknowledge(1);
  puts.rewind();
  EXPECT_EQ(takeUnsent(puts), frames[4]);
  EXPECT_EQ(puts.unackedBytes(), frames[4].size());
}

TEST(ReconnectSchedule, TriesAtOnceThenBacksOffToFiveSecondsAndReportsALossOnce) {
  ReconnectSchedule s;
  Clock::time_point t{std::chrono::hours(1)};
  ASSERT_TRUE(s.lost(t));
  EXPECT_TRUE(s.due(t));
  std::vector<double> waits;
  for (int i = 0; i < 8; ++i) {
    s.failed(t);
    waits.push_back(std::chrono::duration<double>(s.nextAttempt() - t).count());
    EXPECT_FALSE(s.lost(t)) << "still the same loss";
  }
  EXPECT_EQ(waits, (std::vector<double>{0.1, 0.2, 0.4, 0.8, 1.6, 3.2, 5.0, 5.0}));
  EXPECT_EQ(s.failures(), 8u);
  EXPECT_DOUBLE_EQ(s.recovered(t + std::chrono::seconds(3)), 3.0);
  EXPECT_TRUE(s.lost(t + std::chrono::seconds(4)));
  EXPECT_TRUE(s.due(t + std::chrono::seconds(4))) << "a new loss starts at once again";
}

TEST(ReaderSession, ANewConnectionIsToldTheExpressionsAndAReplacedRingIsReadFromItsOldest) {
  ReaderSession s;
  s.welcomed(Welcome{kVersion, 1 << 20, 7, 40, 1 << 20});
  s.welcomed(Welcome{kVersion, 1 << 20, 8, 50, 1 << 20});  // a later welcome moves nothing yet
  EXPECT_EQ(s.cursor, 40);
  s.select = "A/.*";
  s.reading = true;
  std::vector<RestoreStep> steps = s.restoreSteps();
  ASSERT_EQ(steps.size(), 2u);
  EXPECT_EQ(bytesOf(steps[0].frame), bytesOf(encoded(Select{"A/.*"})));
  EXPECT_EQ(bytesOf(steps[1].frame), bytesOf(encoded(Position{kOldest, 0, 0.0})));
  EXPECT_EQ(steps[1].answer, kPositioned);
  EXPECT_EQ(s.restoreSteps().size(), 2u) << "unchanged until the steps went through";
  s.restored(3);
  EXPECT_EQ(s.cursor, 3);
  EXPECT_EQ(s.restoreSteps().size(), 1u) << "the same ring: the expression only";

  ReaderSession writer;  // reads nothing: no position, just the new ring's next id
  writer.welcomed(Welcome{kVersion, 0, 7, 40, 0});
  writer.welcomed(Welcome{kVersion, 0, 8, 50, 0});
  EXPECT_TRUE(writer.restoreSteps().empty());
  writer.restored(0);
  EXPECT_EQ(writer.cursor, 50);
  EXPECT_FALSE(writer.ringReplaced());
}

}  // namespace
}  // namespace tarnclient
