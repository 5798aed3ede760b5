// Many producers and consumers at once, with limits, internal pushes, marks
// and the stop flag set half-way: the run must end by itself, and each
// consumer must pop every packet pushed exactly once, except those reported
// dropped. Run under ThreadSanitizer too.
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "fifo_fixture.h"

namespace fifotest {
namespace {

constexpr int kProducers = 3;
constexpr long kPerProducer = 6000;
constexpr auto kRunBound = std::chrono::seconds(120);

struct ConsumerSpec {
  const char *name;
  int limit;
  bool slow;  // pauses now and then, so that pushes meet its limit
};
const ConsumerSpec kConsumers[] = {
    {"unlimited", 0, false}, {"limited", 16, false}, {"slow", 4, true}};
constexpr int kConsumerCount = 3;

struct ProducerResult {
  long pushed = 0;           // pushes made
  long queuedForAll = 0;     // pushes every consumer accepted
  std::vector<char> failed;  // by packet index: a consumer refused it
};

struct ConsumerResult {
  std::vector<int> seen;  // by packet id: times popped
  bool ended = false;     // popped the end-of-data result
};

class FifoStressTest : public FifoTest {
 protected:
  void produce(int p, ProducerResult &out) {
    std::string name = "reader" + std::to_string(p);
    out.failed.assign(kPerProducer, 0);
    for (long i = 0; i < kPerProducer; i++) {
      if (stop_.load() && i % 2 == 0) break;  // a reader stops soon after the flag, not at once
      int rc = push(p * kPerProducer + i, i % 8 == 0 ? PMTFIFO_NOWAIT : 0);
      out.pushed++;
      totalPushed_++;
      if (rc == kConsumerCount) {
        out.queuedForAll++;
      } else {
        out.failed[i] = 1;
      }
    }
    EXPECT_EQ(pmtmanagedfifo_push_eof(mf_, name.c_str()), 0);
  }

  void consume(const ConsumerSpec &plan, ConsumerResult &out) {
    out.seen.assign(kProducers * kPerProducer, 0);
    auto end = std::chrono::steady_clock::now() + kRunBound;
    for (long pops = 0; std::chrono::steady_clock::now() < end; pops++) {
      long id = popId(plan.name);
      if (id == kEof) {
        out.ended = true;
        return;
      }
      if (id >= 0) out.seen[id]++;
      if (plan.slow && pops % 256 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

  void run(std::vector<ProducerResult> &producers, std::vector<ConsumerResult> &consumers) {
    std::vector<std::thread> threads;
    for (int c = 0; c < kConsumerCount; c++) {
      threads.emplace_back([&, c] { consume(kConsumers[c], consumers[c]); });
    }
    for (int p = 0; p < kProducers; p++) {
      threads.emplace_back([&, p] { produce(p, producers[p]); });
    }
    std::atomic<bool> running{true};
    std::thread monitor([&] { watchCounts(running); });
    // Stop half-way, or at once if the producers are that quick.
    waitForPushes(kProducers * kPerProducer / 2);
    stop_ = 1;
    for (std::thread &t : threads) t.join();
    running = false;
    monitor.join();
  }

  // Reads the counts while everything runs, as a status report does.
  void watchCounts(const std::atomic<bool> &running) {
    for (int rounds = 0; running.load() && rounds < 100000; rounds++) {
      for (PmtFifo *fifo : fifos_) {
        int count = pmtfifo_count(fifo);
        ASSERT_GE(count, 0);
        ASSERT_LE(count, kProducers * kPerProducer);
      }
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  }

  void waitForPushes(long count) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < end && totalPushed_.load() < count) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }

  std::atomic<long> totalPushed_{0};
  std::vector<PmtFifo *> fifos_;  // the consumers', in kConsumers order
};

TEST_F(FifoStressTest, EveryPacketReachesEveryConsumerOnceOrIsReportedDropped) {
  for (int p = 0; p < kProducers; p++) {
    pmtmanagedfifo_set_producer(mf_, ("reader" + std::to_string(p)).c_str());
  }
  for (const ConsumerSpec &plan : kConsumers) {
    fifos_.push_back(consumer(plan.name, plan.limit, 0.05));
  }

  std::vector<ProducerResult> producers(kProducers);
  std::vector<ConsumerResult> consumers(kConsumerCount);
  auto done = std::async(std::launch::async, [&] { run(producers, consumers); });
  if (!finishes(done, kRunBound)) {
    std::fprintf(stderr, "managed FIFO stress run did not end within its bound\n");
    std::abort();
  }

  for (int c = 0; c < kConsumerCount; c++) {
    const ConsumerResult &got = consumers[c];
    EXPECT_TRUE(got.ended) << kConsumers[c].name;
    long missing = 0;
    for (int p = 0; p < kProducers; p++) {
      for (long i = 0; i < kPerProducer; i++) {
        int times = got.seen[p * kPerProducer + i];
        bool pushed = i < producers[p].pushed;
        ASSERT_LE(times, pushed ? 1 : 0) << kConsumers[c].name << " packet " << p << "/" << i;
        if (pushed && times == 0) {
          ASSERT_TRUE(producers[p].failed[i]) << "lost without a report: " << p << "/" << i;
          missing++;
        }
      }
    }
    EXPECT_EQ(missing, pmtfifo_dropped(fifos_[c])) << kConsumers[c].name;
  }
  long pushed = 0;
  for (const ProducerResult &r : producers) pushed += r.pushed;
  EXPECT_GT(pushed, 0);
  EXPECT_EQ(tracker_.made.load(), pushed);
  std::printf("stress: %ld packets pushed by %d producers to %d consumers\n", pushed, kProducers,
              kConsumerCount);
}

// The log queue's case: internal pushes from many threads, no producer
// registered; the consumer ends once the stop flag is set and it has emptied
// its queue.
TEST_F(FifoStressTest, QueueWithoutProducersDrainsAndEndsAfterTheStop) {
  consumer("logw", 0, 0.05);
  std::atomic<long> queued{0};
  std::vector<std::thread> loggers;
  for (int t = 0; t < 4; t++) {
    loggers.emplace_back([&, t] {
      for (long i = 0; i < 2000; i++) queued += push(t * 2000 + i, PMTFIFO_NOWAIT) == 1;
    });
  }
  auto drained = std::async(std::launch::async, [&] {
    long popped = 0;
    auto end = std::chrono::steady_clock::now() + kRunBound;
    while (std::chrono::steady_clock::now() < end) {
      long id = popId("logw");
      if (id == kEof) return popped;
      if (id >= 0) popped++;
    }
    return -1L;
  });
  for (std::thread &t : loggers) t.join();
  stop_ = 1;
  ASSERT_TRUE(finishes(drained, kRunBound));
  EXPECT_EQ(drained.get(), queued.load());
  EXPECT_EQ(queued.load(), 8000);
}

}  // namespace
}  // namespace fifotest
