// The conformance harness: one list of checks that every kind of source and
// destination passes, each against a real server of its kind (kind_rigs.h),
// through the relay's own reader and writer loops (RelayConnection) and the
// adapters the kind's row of the endpoint table makes from a parameter-file
// entry. A new kind is correct when it passes the same list:
//
//   source       order and bytes kept; its saved place passes only what is
//                done; it goes on after its server is killed and started
//                again; it ends by itself after the last packet ("endtime
//                last"); a stop ends it with its end-of-data mark
//   destination  order and bytes kept, and it ends at its queue's
//                end-of-data mark; a packet is done only once its server
//                acknowledged it; it goes on after its server is killed and
//                started again; a stop during a put (its server answers
//                nothing) ends it, keeping what is not acknowledged; a stop
//                ends it while its server cannot be reached at all
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <set>
#include <thread>

#include "base/relay_exception.h"
#include "base/stop.h"
#include "connection/relay_connection.h"
#include "endpoints/endpoint_kind.h"
#include "fresh_tag_registry.h"
#include "kind_rigs.h"
#include "output_capture.h"
#include "platform/pf/pf.h"
#include "platform/statefile/read_position.h"
#include "platform/stopflag/stopflag.h"
#include "process.h"
#include "queue/relay_queue.h"
#include "tarn/tarn_packet.h"
#include "test_context.h"

namespace conformance {
namespace {

using namespace std::chrono_literals;
using testsupport::testContext;
using testsupport::testLog;
using testsupport::waitUntil;

// Packet times, and a start time before them all. A JetStream consumer
// starts by the time its messages were stored: now, which is after it too.
constexpr double kBeforeEverything = 1600000000.0;
constexpr double kInternalTimeout = 0.2;

// The packets of each source name, in order, each counted once (a packet
// that came twice after a restart is kept where it first came).
std::map<std::string, std::vector<double>> firstTimesBySource(const std::vector<Sent> &all) {
  std::map<std::string, std::vector<double>> sources;
  std::set<std::pair<std::string, double>> seen;
  for (const Sent &p : all) {
    if (seen.insert({p.srcname, p.time}).second) sources[p.srcname].push_back(p.time);
  }
  return sources;
}

// The packets of each source name, in order: what a destination keeps.
std::map<std::string, std::vector<Sent>> bySource(const std::vector<Sent> &all) {
  std::map<std::string, std::vector<Sent>> sources;
  for (const Sent &p : all) sources[p.srcname].push_back(p);
  return sources;
}

// Queues and the read positions that packets' records live in stay until the
// process ends, as in the relay: a packet still queued at the end of a test
// still points at its position.
template <typename T, typename... Args>
std::shared_ptr<T> kept(Args &&...args) {
  static auto *all = new std::vector<std::shared_ptr<void>>;
  auto object = std::make_shared<T>(std::forward<Args>(args)...);
  all->push_back(object);
  return object;
}

// A connection's thread, with a look at its status from another thread
// while it runs (as the status manager looks).
class Running {
 public:
  explicit Running(std::shared_ptr<RelayConnection> c) : m_connection(std::move(c)) {
    m_thread = std::thread([this] {
      m_connection->run();
      m_ended = true;
    });
    m_watcher = std::thread([this] {
      while (!m_ended) {
        m_connection->getString("connection_status");
        m_connection->getInt("queue_count");
        m_connection->getDouble("last_packet_time");
        std::this_thread::sleep_for(1ms);
      }
    });
  }
  ~Running() { endWithin(60s); }
  bool ended() const { return m_ended; }
  // Waits for the thread to end by itself; false (after setting the stop
  // flag and waiting again) when it did not.
  bool endWithin(std::chrono::milliseconds limit) {
    if (!m_thread.joinable()) return true;
    bool byItself = waitUntil([&] { return m_ended.load(); }, limit);
    if (!byItself) Stop.store(1);
    m_thread.join();
    m_watcher.join();
    return byItself;
  }

 private:
  std::shared_ptr<RelayConnection> m_connection;
  std::atomic<bool> m_ended{false};
  std::thread m_thread;
  std::thread m_watcher;
};

class Conformance : public testing::TestWithParam<RigMaker> {
 protected:
  void SetUp() override {
    Stop.store(0);
    stopflag_register(&Stop);
    testLog().nameThread("tester");
    testLog().setVerbose(0);
    rig = GetParam().make();
    context = testContext(kInternalTimeout, "relay1", rig->positions());
  }
  std::vector<Sent> packets(int n, int from = 0, size_t size = 0) const {
    return rig->packets(n, from, size);
  }
  void TearDown() override {
    Stop.store(1);
    running.clear();
    Stop.store(0);
  }

  std::shared_ptr<RelayConnection> reader(const std::string &name, ReaderSettings settings,
                                          const std::shared_ptr<RelayQueue> &q) {
    Pf *pf = compiled("name " + name + "\n" + rig->readerLines());
    ConnectionEntry entry(pf, name, Direction::kRead, testLog());
    auto source = entryKind(entry).makeSource(entry, settings, context);
    pffree(pf);
    q->setProducer(name);
    return std::make_shared<RelayConnection>(name, q, settings, std::move(source), context);
  }
  std::shared_ptr<RelayConnection> writer(const std::string &name,
                                          const std::shared_ptr<RelayQueue> &q, KindRig &on,
                                          WriterSettings settings = {}) {
    Pf *pf = compiled("name " + name + "\n" + on.writerLines());
    ConnectionEntry entry(pf, name, Direction::kWrite, testLog());
    auto destination = entryKind(entry).makeDestination(entry, context);
    pffree(pf);
    q->setConsumer(name, settings.maxQueue, settings.maxQueueBytes);
    return std::make_shared<RelayConnection>(name, q, settings, std::move(destination), context);
  }
  static Pf *compiled(const std::string &text) {
    Pf *pf = pfnew(PFARR);
    EXPECT_EQ(pfcompile(text.c_str(), &pf), 0) << text;
    return pf;
  }
  Running &run(std::shared_ptr<RelayConnection> connection) {
    running.push_back(std::make_unique<Running>(std::move(connection)));
    return *running.back();
  }

  // A reader of everything the source holds (a start time before it all).
  static ReaderSettings fromTheStart() {
    ReaderSettings settings;
    settings.starttime = kBeforeEverything;
    return settings;
  }

  // Pops as a consumer until `count` packets came (each pop waits at most
  // the internal time-out), saying done() for each unless `hold` keeps it.
  std::vector<std::shared_ptr<TarnPacket>> popPackets(RelayQueue &q, size_t count,
                                                      std::chrono::milliseconds limit = 30s,
                                                      bool hold = false) {
    std::vector<std::shared_ptr<TarnPacket>> got;
    auto end = std::chrono::steady_clock::now() + limit;
    while (got.size() < count && std::chrono::steady_clock::now() < end) {
      try {
        std::shared_ptr<TarnPacket> packet = q.pop("test");
        if (!hold) packet->done();
        got.push_back(std::move(packet));
      } catch (const RelayNodataException &) {
      } catch (const RelayEOFException &) {
        break;
      }
    }
    return got;
  }
  // True once the queue yields its end-of-data mark to the consumer "test".
  bool popEnd(RelayQueue &q, std::chrono::milliseconds limit = 30s) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
      try {
        q.pop("test")->done();
      } catch (const RelayNodataException &) {
      } catch (const RelayEOFException &) {
        return true;
      }
    }
    return false;
  }
  static std::vector<Sent> asSent(const std::vector<std::shared_ptr<TarnPacket>> &got) {
    std::vector<Sent> all;
    for (const auto &p : got) {
      all.push_back({p->srcname(), p->pkttime(),
                     std::string(p->bytes(), static_cast<size_t>(p->byteCount()))});
    }
    return all;
  }

  // Pushes the packets as a reader would, each with its record in
  // `position` (ids from `from` on), and lets go of the reader's hold.
  static void push(RelayQueue &q, const std::vector<Sent> &all, ReadPosition &position,
                   int from = 0) {
    for (size_t i = 0; i < all.size(); ++i) {
      const Sent &p = all[i];
      int id = from + static_cast<int>(i);
      auto packet = std::make_shared<TarnPacket>("test", id, p.srcname, p.time, p.bytes.data(),
                                                 static_cast<int>(p.bytes.size()),
                                                 position.reaped(id, p.time));
      q.push(packet);
      packet->done();
    }
  }
  // Whether every packet up to id `last` is done.
  static bool doneUpTo(ReadPosition &position, int last) {
    ResumePoint point = position.resumePoint();
    return !point.at && point.id == last;
  }
  // A source's queue, which the test empties as the consumer "test".
  std::shared_ptr<RelayQueue> queue(const std::string &name) {
    auto q = kept<RelayQueue>(name, testLog(), kInternalTimeout);
    q->setConsumer("test", 0, 0);
    return q;
  }
  // A destination's queue, which the test fills as the producer "test".
  std::shared_ptr<RelayQueue> filledQueue(const std::string &name) {
    auto q = kept<RelayQueue>(name, testLog(), kInternalTimeout);
    q->setProducer("test");
    return q;
  }

  RelayContext context = testContext(kInternalTimeout);
  std::unique_ptr<KindRig> rig;
  std::vector<std::unique_ptr<Running>> running;
};

// ---- Sources ----

class SourceConformance : public Conformance {};

TEST_P(SourceConformance, ASourceHandsOnEveryPacketInOrderAndUnchanged) {
  auto sent = packets(200);
  ASSERT_TRUE(rig->feed(sent));
  auto q = queue("source_order");
  Running &r = run(reader("r", fromTheStart(), q));
  EXPECT_EQ(asSent(popPackets(*q, sent.size())), sent);
  Stop.store(1);
  EXPECT_TRUE(popEnd(*q)) << "the reader's end-of-data mark";
  EXPECT_TRUE(r.endWithin(10s));
}

TEST_P(SourceConformance, ASourcesPlacePassesOnlyWhatIsDone) {
  ASSERT_TRUE(rig->feed(packets(10)));
  auto q = queue("source_done");
  run(reader("r", fromTheStart(), q));
  auto held = popPackets(*q, 10, 30s, true);
  ASSERT_EQ(held.size(), 10u);
  for (int i = 0; i < 4; ++i) held[i]->done();
  EXPECT_TRUE(waitUntil([&] { return rig->passed("r") == 4; }, 10s)) << rig->passed("r");
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(rig->passed("r"), 4) << "a packet a consumer still holds is not passed";
  for (int i = 4; i < 10; ++i) held[i]->done();
  EXPECT_TRUE(waitUntil([&] { return rig->passed("r") == 10; }, 10s)) << rig->passed("r");
}

TEST_P(SourceConformance, ASourceGoesOnAfterItsServerIsKilledAndStartedAgain) {
  auto before = packets(300), after = packets(300, 300);
  ASSERT_TRUE(rig->feed(before));
  auto q = queue("source_restart");
  run(reader("r", fromTheStart(), q));
  auto got = popPackets(*q, 100);
  ASSERT_EQ(got.size(), 100u);
  rig->killAndRestart();
  ASSERT_TRUE(rig->feed(after));
  std::vector<Sent> all = asSent(got), sent = before;
  sent.insert(sent.end(), after.begin(), after.end());
  auto end = std::chrono::steady_clock::now() + 60s;
  while (firstTimesBySource(all) != firstTimesBySource(sent) &&
         std::chrono::steady_clock::now() < end) {
    auto more = asSent(popPackets(*q, 1, 1s));
    all.insert(all.end(), more.begin(), more.end());
  }
  EXPECT_EQ(firstTimesBySource(all), firstTimesBySource(sent))
      << "nothing lost, order kept per source";
}

TEST_P(SourceConformance, ASourceEndsByItselfAfterTheLastPacket) {
  if (!GetParam().knowsLast) GTEST_SKIP() << "its server does not say which packet is its newest";
  auto sent = packets(20);
  ASSERT_TRUE(rig->feed(sent));
  ReaderSettings settings = fromTheStart();
  settings.endtime = TIME_LAST;
  auto q = queue("source_last");
  Running &r = run(reader("r", settings, q));
  EXPECT_EQ(asSent(popPackets(*q, sent.size() + 1)), sent);
  EXPECT_TRUE(r.endWithin(10s)) << "the reader ends without a stop";
  EXPECT_EQ(Stop.load(), 0);
  EXPECT_TRUE(popEnd(*q, 1s));
}

TEST_P(SourceConformance, AStoppedSourcePushesItsEndMark) {
  ASSERT_TRUE(rig->feed(packets(1)));
  auto q = queue("source_stop");
  ReaderSettings settings;  // from the newest packet on: nothing to read
  Running &r = run(reader("r", settings, q));
  std::this_thread::sleep_for(500ms);
  Stop.store(1);
  EXPECT_TRUE(popEnd(*q, 10s));
  EXPECT_TRUE(r.endWithin(10s));
}

// ---- Destinations ----

class DestinationConformance : public Conformance {};

TEST_P(DestinationConformance, ADestinationStoresEveryPacketInOrderAndEndsAtTheEndMark) {
  auto sent = packets(300);
  auto q = filledQueue("dest_order");
  auto position = kept<ReadPosition>();
  Running &w = run(writer("w", q, *rig));
  push(*q, sent, *position);
  q->push_eof("test");
  EXPECT_TRUE(w.endWithin(30s)) << "the writer ends at the end-of-data mark";
  EXPECT_EQ(bySource(rig->stored()), bySource(sent)) << "every packet once, in order per source";
  EXPECT_TRUE(doneUpTo(*position, 299));
}

TEST_P(DestinationConformance, APacketIsDoneOnlyOnceItsServerAcknowledgedIt) {
  auto q = filledQueue("dest_ack");
  auto position = kept<ReadPosition>();
  auto w = writer("w", q, *rig);
  run(w);
  ASSERT_TRUE(waitUntil([&] { return w->getString("connection_status") == "yes"; }, 20s));
  rig->freeze();
  push(*q, packets(20), *position);
  std::this_thread::sleep_for(1500ms);
  ResumePoint point = position->resumePoint();
  EXPECT_TRUE(point.at && point.id == 0) << "nothing acknowledged, nothing done: " << point.id;
  rig->thaw();
  EXPECT_TRUE(waitUntil([&] { return doneUpTo(*position, 19); }, 30s));
  q->push_eof("test");
}

TEST_P(DestinationConformance, ADestinationGoesOnAfterItsServerIsKilledAndStartedAgain) {
  auto first = packets(300), second = packets(300, 300);
  auto q = filledQueue("dest_restart");
  auto position = kept<ReadPosition>();
  Running &w = run(writer("w", q, *rig));
  push(*q, first, *position);
  ASSERT_TRUE(waitUntil([&] { return position->resumePoint().id >= 50; }, 30s));
  rig->killAndRestart();
  push(*q, second, *position, 300);
  q->push_eof("test");
  EXPECT_TRUE(w.endWithin(60s));
  std::vector<Sent> sent = first;
  sent.insert(sent.end(), second.begin(), second.end());
  EXPECT_EQ(firstTimesBySource(rig->stored()), firstTimesBySource(sent))
      << "nothing lost, order kept per source";
  EXPECT_TRUE(doneUpTo(*position, 599));
}

TEST_P(DestinationConformance, AStopDuringAPutEndsTheWriterAndKeepsWhatIsNotAcknowledged) {
  auto q = filledQueue("dest_stop_put");
  auto position = kept<ReadPosition>();
  WriterSettings settings;
  settings.maxQueueBytes = 0;
  auto w = writer("w", q, *rig, settings);
  testcapture::OutputCapture output;
  Running &r = run(w);
  ASSERT_TRUE(waitUntil([&] { return w->getString("connection_status") == "yes"; }, 20s));
  rig->freeze();
  // More than any window of unacknowledged packets holds.
  push(*q, packets(2000, 0, 8192), *position);
  std::this_thread::sleep_for(2s);
  Stop.store(1);
  bool ended = r.endWithin(30s);
  output.stop();
  rig->thaw();
  EXPECT_TRUE(ended) << "a stop ends a writer whose server answers nothing";
  EXPECT_TRUE(position->resumePoint().at) << "what was not acknowledged stays held";
  EXPECT_NE(output.err().find("RelayConnection 'w' ends with "), std::string::npos) << output.err();
  EXPECT_NE(output.err().find(" not acknowledged and "), std::string::npos) << output.err();
}

TEST_P(DestinationConformance, AStopEndsAWriterWhoseServerCannotBeReached) {
  auto nowhere = rig->unreachable();
  auto q = filledQueue("dest_nowhere");
  auto position = kept<ReadPosition>();
  auto w = writer("w", q, *nowhere);
  testcapture::OutputCapture output;
  Running &r = run(w);
  push(*q, packets(10), *position);
  bool slept = waitUntil([&] { return w->getString("connection_status") == "sleeping"; }, 20s);
  Stop.store(1);
  bool ended = r.endWithin(20s);
  output.stop();
  EXPECT_TRUE(slept);
  EXPECT_TRUE(ended);
  EXPECT_EQ(w->getString("connection_status"), "stopped");
  EXPECT_TRUE(position->resumePoint().at) << "nothing was written, nothing is done";
  EXPECT_NE(output.err().find(" to become available"), std::string::npos) << output.err();
}

std::string kindName(const testing::TestParamInfo<RigMaker> &info) { return info.param.kind; }

INSTANTIATE_TEST_SUITE_P(EveryKind, SourceConformance, testing::ValuesIn(sourceRigs()), kindName);
INSTANTIATE_TEST_SUITE_P(EveryKind, DestinationConformance, testing::ValuesIn(destinationRigs()),
                         kindName);

}  // namespace
}  // namespace conformance
