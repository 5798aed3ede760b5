// The relay between tarn servers and a real NATS JetStream server: packets
// published onto a stream and read back out of it bit for bit and in order
// per source, the JetStream reader's filters and end time, a publishing
// relay killed and restarted (JetStream's duplicate window drops what it
// sends again), and the NATS server restarted mid-stream.
#include <gtest/gtest.h>
#include <signal.h>

#include <map>
#include <thread>

#include "nats_test_server.h"
#include "platform/pkt/crc32.h"
#include "relay_e2e.h"
#include "tarn_test_server.h"

namespace e2e {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using testsupport::connectionEntry;

const char kStream[] = "TARN";

// The packets of each source, in the order the server holds them.
std::map<std::string, std::vector<std::string>> bySource(const std::vector<Packet> &packets) {
  std::map<std::string, std::vector<std::string>> sources;
  for (const Packet &p : packets) sources[p.srcname].push_back(p.identity());
  return sources;
}

class JetStreamRelay : public testing::Test {
 protected:
  std::string jsWriter(const std::string &name, const std::string &queue,
                       const std::string &extra = "") {
    return connectionEntry("name " + name + "\nwrite_to_natsurl " + nats.url() +
                           "\nwrite_to_natsstream " + kStream +
                           "\nnatsstream_create true\nread_from_queue " + queue + "\n" + extra);
  }
  // Reads the whole stream (a start time before every packet).
  std::string jsReader(const std::string &name, const std::string &queue,
                       const std::string &extra = "") {
    return connectionEntry("name " + name + "\nread_from_natsurl " + nats.url() +
                           "\nread_from_natsstream " + kStream + "\nwrite_to_queue " + queue +
                           "\nstarttime 2000-01-01\n" + extra);
  }
  // tarn `src` -> JetStream (writer "pub"), with a statefile.
  std::unique_ptr<Relay> publisher() {
    testsupport::RelayPf pf;
    pf.connections = reader("in", src.name(), "q1") + jsWriter("pub", "q1");
    auto relay =
        std::make_unique<Relay>(pf, std::vector<std::string>{"-S", dir.file("pub.state"), "-v"});
    EXPECT_TRUE(relay->waitFor("Repositioned tarn") && relay->waitFor("for writing"))
        << relay->output();
    return relay;
  }
  // JetStream (reader "sub") -> tarn `dst`.
  std::unique_ptr<Relay> subscriber(const std::string &extra = "") {
    testsupport::RelayPf pf;
    pf.connections = jsReader("sub", "q2", extra) + writer("out", dst.name(), "q2");
    auto relay = std::make_unique<Relay>(pf, std::vector<std::string>{"-v"});
    EXPECT_TRUE(relay->waitFor("Reading JetStream")) << relay->output();
    return relay;
  }
  // Expects `dst` to hold exactly the SYN_ packets of `src`, each once and
  // in the source's order per source name.
  // `logs` are the relays' outputs, shown when the streams differ.
  void expectSameStreams(const std::string &logs = "") {
    auto sent = withPrefix(packetsOn(src.name()), "SYN_");
    ASSERT_TRUE(waitForCount(dst.name(), sent.size(), seconds(60))) << logs;
    auto got = withPrefix(packetsOn(dst.name()), "SYN_");
    EXPECT_EQ(got.size(), sent.size()) << logs;
    EXPECT_TRUE(bySource(got) == bySource(sent)) << logs;
  }

  // True once a good part of a 3000-packet run, but not all of it, is in
  // the stream.
  bool midStream() {
    return testsupport::waitUntil([&] { return lastSequence(nats.url(), kStream) >= 600; },
                                  seconds(30));
  }

  testsupport::TempDir dir;
  NatsTestServer nats;
  tarntest::TarnTestServer src, dst;
};

TEST_F(JetStreamRelay, PacketsCrossBitForBitAndInOrderPerSourceAsDocumentedMessages) {
  testsupport::RelayPf pf;
  pf.connections = reader("in", src.name(), "q1") + jsWriter("pub", "q1") + jsReader("sub", "q2") +
                   writer("out", dst.name(), "q2");
  Relay relay(pf, {"-v"});
  ASSERT_TRUE(relay.waitFor("Reading JetStream") && relay.waitFor("Repositioned tarn"))
      << relay.output();
  ASSERT_TRUE(gen(src.name(), {"-n", "600", "-r", "2000", "-s", "512", "--streams", "3"}));
  ASSERT_TRUE(gen(src.name(), {"-n", "3", "-s", "300", "--src", "odd name/%d.x*>"}));
  expectSameStreams();
  EXPECT_EQ(relay.terminate(), 0) << relay.output();
  // The description at -v names the stream, and the consumer is acknowledged
  // up to the end of the stream.
  for (const char *line :
       {"\t\twrite_to_natsurl\t", "\t\tread_from_natsstream\tTARN", "\t\tnatsconsumer\t\tsub"}) {
    EXPECT_NE(relay.output().find(line), std::string::npos) << line;
  }
  EXPECT_EQ(consumerFloor(nats.url(), kStream, "sub").first,
            static_cast<int64_t>(lastSequence(nats.url(), kStream)));
  // The message of a packet: its subject, headers and body.
  auto odd = withPrefix(packetsOn(src.name()), "odd name/");
  ASSERT_EQ(odd.size(), 3u);
  StoredMessage last = storedMessage(nats.url(), kStream, lastSequence(nats.url(), kStream));
  EXPECT_EQ(last.subject, "tarn.odd%20name.1%2Ex%2A%3E");
  EXPECT_EQ(last.headers["Tarn-Srcname"], "odd%20name/1.x*>");
  EXPECT_EQ(std::stod(last.headers["Tarn-Time"]), odd.back().time);
  char crc[16];
  std::snprintf(crc, sizeof crc, "%08x", crc32_ieee(last.data.data(), last.data.size()));
  EXPECT_EQ(static_cast<long>(last.data.size()), odd.back().nbytes);
  EXPECT_EQ(crc, odd.back().crc32);
  EXPECT_NE(last.headers["Nats-Msg-Id"], "");
}

TEST_F(JetStreamRelay, ReaderAppliesMatchRejectAgeAndEndTimeAndAcknowledgesWhatItLeavesOut) {
  auto pub = publisher();
  double base = static_cast<double>(std::time(nullptr)) - 100;
  double end = base + 50;
  // In stream order: kept, matched but rejected, not matched, too old, kept,
  // the packet at the end time (kept), one after it (never read).
  ASSERT_TRUE(putAt(src.name(), "F_A/x", timesFrom(base, 5)));
  ASSERT_TRUE(putAt(src.name(), "F_AB/x", timesFrom(base + 10, 3)));
  ASSERT_TRUE(putAt(src.name(), "F_C/x", timesFrom(base + 20, 3)));
  ASSERT_TRUE(putAt(src.name(), "F_A/x", {base - 7200}));
  ASSERT_TRUE(putAt(src.name(), "F_A/x", timesFrom(base + 30, 5)));
  ASSERT_TRUE(putAt(src.name(), "F_A/x", {end, end + 1}));
  ASSERT_TRUE(
      testsupport::waitUntil([&] { return lastSequence(nats.url(), kStream) == 19; }, seconds(30)));
  auto sub = subscriber("match F_A.*\nreject F_AB/.*\ntoo_old 3600\nendtime " +
                        std::to_string(end) + "\n");
  ASSERT_TRUE(sub->waitFor("Received a packet at specified endtime")) << sub->output();
  ASSERT_TRUE(waitForCount(dst.name(), 11)) << sub->output();
  EXPECT_EQ(countOf(sub->output(), "exceeds configured 'too_old' limit"), 1) << sub->output();
  EXPECT_EQ(sub->terminate(), 0) << sub->output();
  auto got = packetsOn(dst.name());
  ASSERT_EQ(got.size(), 11u);
  for (const Packet &p : got) EXPECT_EQ(p.srcname, "F_A/x");
  EXPECT_EQ(got.back().time, end);
  // Acknowledged up to the packet at the end time: the one after it comes
  // next time.
  EXPECT_EQ(consumerFloor(nats.url(), kStream, "sub").first, 18);
  auto again = subscriber();
  ASSERT_TRUE(waitForCount(dst.name(), 12)) << again->output();
  EXPECT_EQ(packetsOn(dst.name()).back().time, end + 1);
}

// A packet of exactly the server's largest payload does not fit once its
// headers are counted: dropped with its size, its size with the headers and
// the limit, counted as too large; the packet after it is published.
TEST_F(JetStreamRelay, APacketTooLargeWithItsHeadersIsDroppedSayingWhy) {
  auto pub = publisher();
  ASSERT_TRUE(putAt(src.name(), "BIG/X", {1.8e9}, 1 << 20));
  ASSERT_TRUE(putAt(src.name(), "SMALL/X", {1.8e9 + 1}, 100));
  ASSERT_TRUE(
      testsupport::waitUntil([&] { return lastSequence(nats.url(), kStream) >= 1; }, seconds(30)))
      << pub->output();
  EXPECT_EQ(pub->terminate(), 0);
  EXPECT_EQ(lastSequence(nats.url(), kStream), 1u);
  std::string out = pub->output();
  size_t at = out.find("dropped packet 'BIG/X' of ");
  ASSERT_NE(at, std::string::npos) << out;
  std::string line = out.substr(at, out.find('\n', at) - at);
  EXPECT_NE(line.find(", 1048576 bytes: too large for "), std::string::npos) << line;
  EXPECT_NE(line.find("(packet of 1048576 bytes (1048"), std::string::npos) << line;
  EXPECT_NE(line.find(" with its headers) is larger than the 1048576 bytes the server takes per "
                      "message, headers included)"),
            std::string::npos)
      << line;
}

// The stream's own limit, below the server's: JetStream refuses the one
// message in the middle of a batch, and only that packet is dropped; the
// others are stored once and in order.
TEST_F(JetStreamRelay, APacketTheStreamRefusesAmidABatchIsDroppedAndTheRestStoredInOrder) {
  ASSERT_TRUE(makeStream(nats.url(), kStream, 2000));
  auto pub = publisher();
  ASSERT_TRUE(putAt(src.name(), "A/X", {1.8e9, 1.8e9 + 1}, 100));
  ASSERT_TRUE(putAt(src.name(), "BIG/X", {1.8e9 + 2}, 4000));
  ASSERT_TRUE(putAt(src.name(), "A/X", {1.8e9 + 3, 1.8e9 + 4}, 100));
  ASSERT_TRUE(
      testsupport::waitUntil([&] { return lastSequence(nats.url(), kStream) >= 4; }, seconds(30)))
      << pub->output();
  EXPECT_EQ(pub->terminate(), 0);
  EXPECT_EQ(lastSequence(nats.url(), kStream), 4u);
  for (uint64_t seq = 1; seq <= 4; ++seq) {
    double time = 1.8e9 + static_cast<double>(seq < 3 ? seq - 1 : seq);
    EXPECT_EQ(std::stod(storedMessage(nats.url(), kStream, seq).headers["Tarn-Time"]), time);
  }
  std::string out = pub->output();
  size_t at = out.find("dropped packet 'BIG/X' of ");
  ASSERT_NE(at, std::string::npos) << out;
  std::string line = out.substr(at, out.find('\n', at) - at);
  EXPECT_NE(line.find("refused by "), std::string::npos) << line;
  EXPECT_NE(line.find("(JetStream error 10054)"), std::string::npos) << line;
  EXPECT_EQ(out.find("failed ("), std::string::npos) << out;  // the connection stayed
}

TEST_F(JetStreamRelay, PublisherKilledAndRestartedLeavesNoGapAndNoDuplicate) {
  auto pub = publisher();
  auto sub = subscriber();
  testsupport::ChildProcess generator({testsupport::programPath("tarn"), "gen", src.name(), "-n",
                                       "3000", "-r", "1000", "-s", "256", "--streams", "3"});
  ASSERT_TRUE(midStream()) << pub->output();
  pub->process().signal(SIGKILL);
  pub->process().wait(seconds(30));
  pub = publisher();
  ASSERT_EQ(generator.wait(seconds(60)), 0) << generator.err();
  expectSameStreams(pub->output() + sub->output());
  EXPECT_NE(pub->output().find("from statefile"), std::string::npos) << pub->output();
}

TEST_F(JetStreamRelay, NatsServerRestartedMidStreamLosesNothing) {
  auto pub = publisher();
  auto sub = subscriber();
  testsupport::ChildProcess generator({testsupport::programPath("tarn"), "gen", src.name(), "-n",
                                       "3000", "-r", "1000", "-s", "256", "--streams", "3"});
  ASSERT_TRUE(midStream()) << pub->output();
  ASSERT_GE(nats.stop(), 0);
  std::this_thread::sleep_for(milliseconds(1000));  // the outage
  nats.restart();
  ASSERT_EQ(generator.wait(seconds(60)), 0) << generator.err();
  expectSameStreams("publisher:\n" + pub->output() + "subscriber:\n" + sub->output() +
                    "nats-server:\n" + nats.log());
  EXPECT_TRUE(pub->waitFor("takes packets again")) << pub->output();
  EXPECT_TRUE(sub->waitFor("delivers again")) << sub->output();
}

// Messages removed from the stream before a running reader came to them
// (it was held up): the rest is read, and the removed ones are said lost by
// number.
TEST_F(JetStreamRelay, MessagesRemovedBeforeTheyWereReadAreSaidLost) {
  auto pub = publisher();
  auto sub = subscriber();
  ASSERT_TRUE(gen(src.name(), {"-n", "300", "-s", "256", "--streams", "3"}));
  ASSERT_TRUE(waitForCount(dst.name(), 300)) << sub->output();
  sub->process().signal(SIGSTOP);
  // Its last fetch (at most the internal time-out, 1 s) expires meanwhile.
  std::this_thread::sleep_for(milliseconds(1500));
  ASSERT_TRUE(gen(src.name(), {"-n", "200", "-s", "256", "--streams", "3"}));
  ASSERT_TRUE(testsupport::waitUntil([&] { return lastSequence(nats.url(), kStream) == 500; },
                                     seconds(30)));
  ASSERT_TRUE(purgeStreamBefore(nats.url(), kStream, 401));
  sub->process().signal(SIGCONT);
  // What it had fetched before it was held up arrives, then 401 to 500.
  auto sent = withPrefix(packetsOn(src.name()), "SYN_");
  ASSERT_TRUE(testsupport::waitUntil(
      [&] {
        auto got = packetsOn(dst.name());
        return !got.empty() && got.back().identity() == sent.back().identity();
      },
      seconds(60)))
      << sub->output();
  auto got = withPrefix(packetsOn(dst.name()), "SYN_");
  ASSERT_GE(got.size(), 400u);
  ASSERT_LT(got.size(), 500u);
  size_t read = got.size() - 100;
  for (size_t i = 0; i < got.size(); ++i)
    EXPECT_EQ(got[i].identity(), sent[i < read ? i : i + 400 - read].identity()) << i;
  EXPECT_TRUE(sub->waitFor("stream messages " + std::to_string(read + 1) + "\u2013400 (" +
                           std::to_string(400 - read) + ") are no longer in the stream"))
      << sub->output();
}

// A stream deleted and made again under a reader that is behind (its
// destination hangs): what the new stream holds arrives, read from its first
// message, and what the old stream held past the last message read is said
// to be gone, by number.
TEST_F(JetStreamRelay, AStreamMadeAnewUnderALaggingReaderIsReadAndItsLossSaid) {
  auto pub = publisher();
  ASSERT_TRUE(gen(src.name(), {"-n", "600", "-s", "256", "--streams", "3"}));
  ASSERT_TRUE(testsupport::waitUntil([&] { return lastSequence(nats.url(), kStream) == 600; },
                                     seconds(30)));
  ASSERT_EQ(kill(dst.pid(), SIGSTOP), 0);
  testsupport::RelayPf pf;
  pf.connections = jsReader("sub", "q2") + writer("out", dst.name(), "q2", "max_queue 20\n");
  Relay sub(pf, {"-v"});
  ASSERT_TRUE(sub.waitFor("Reading JetStream")) << sub.output();
  ASSERT_TRUE(remakeStream(nats.url(), kStream));
  kill(dst.pid(), SIGCONT);
  ASSERT_TRUE(gen(src.name(), {"-n", "300", "-s", "256", "--src", "NEW/%d"}));
  ASSERT_TRUE(testsupport::waitUntil(
      [&] { return withPrefix(packetsOn(dst.name()), "NEW/").size() >= 300; }, seconds(60)))
      << sub.output();
  auto got = packetsOn(dst.name());
  auto old = withPrefix(got, "SYN_");
  EXPECT_TRUE(bySource(withPrefix(got, "NEW/")) ==
              bySource(withPrefix(packetsOn(src.name()), "NEW/")))
      << sub.output();
  // The old stream's first messages, each once, and the rest said lost.
  auto sent = withPrefix(packetsOn(src.name()), "SYN_");
  ASSERT_LT(old.size(), sent.size()) << sub.output();
  for (size_t i = 0; i < old.size(); ++i) EXPECT_EQ(old[i].identity(), sent[i].identity());
  EXPECT_TRUE(sub.waitFor("the stream was made anew: messages " + std::to_string(old.size() + 1) +
                          "\u2013600 of the old stream are gone (" +
                          std::to_string(600 - old.size()) + " never read"))
      << sub.output();
  EXPECT_EQ(sub.terminate(), 0) << sub.output();
}

}  // namespace
}  // namespace e2e
