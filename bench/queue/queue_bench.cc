// Push and pop through the relay's RelayQueue: one reader thread pushing
// reaped packets against one or two writer threads popping them, each writer
// with a limit and backpressure as configured writers have them. Prints
// packets per second (items_per_second, packets pushed) and the CPU time of
// all threads per packet (cpu_ns_per_packet), the steadier figure on a
// shared machine.
//
// The packets are made before the timing starts: making them (one reap, one
// copy) is the reader's cost, not the queue's.
#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/relay_exception.h"
#include "managers/relay_log_mgr.h"
#include "queue/relay_queue.h"
#include "tarn/tarn_packet.h"
#include "tarn/tarn_tag.h"

namespace {

constexpr long kBatch = 200000;
constexpr int kLimit = 10000;

// Where a queue would complain (it does not, here); lives until the end.
RelayLogMgr &benchLog() {
  static auto *log = new RelayLogMgr();
  return *log;
}

void consume(RelayQueue *queue, std::string name) {
  for (;;) {
    try {
      std::shared_ptr<TarnPacket> packet = queue->pop(name);
    } catch (const RelayEOFException &) {
      return;
    } catch (const RelayNodataException &) {
    }
  }
}

// One batch: writers start, the reader pushes kBatch packets and its mark,
// and the batch ends when every writer has popped the mark. Queues live until
// the process ends, so each batch has a queue of its own.
void runBatch(int consumers, std::vector<std::shared_ptr<TarnPacket>> &packets) {
  static int count = 0;
  auto *queue = new RelayQueue("bench" + std::to_string(++count), benchLog(), 1.0);
  queue->setProducer("reader");
  std::vector<std::thread> threads;
  for (int c = 0; c < consumers; c++) {
    std::string name = "writer" + std::to_string(c);
    queue->setConsumer(name, kLimit);
    threads.emplace_back(consume, queue, name);
  }
  for (auto &packet : packets) queue->push(packet);
  queue->push_eof("reader");
  for (std::thread &t : threads) t.join();
}

double processCpuNs() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto ns = [](const timeval &tv) { return tv.tv_sec * 1e9 + tv.tv_usec * 1e3; };
  return ns(usage.ru_utime) + ns(usage.ru_stime);
}

void BM_RelayQueue(benchmark::State &state) {
  int consumers = static_cast<int>(state.range(0));
  auto tag = TarnTag::getTarnTag("bench", "srv", true);
  std::vector<std::shared_ptr<TarnPacket>> packets;
  std::string bytes(512, 'x');
  char srcname[] = "AA_BB/raw";
  for (long i = 0; i < kBatch; i++) {
    packets.push_back(std::make_shared<TarnPacket>(tag, static_cast<int>(i), srcname, 1.0 * i,
                                                   bytes.data(), static_cast<int>(bytes.size())));
  }
  double cpuBefore = processCpuNs();
  for (auto _ : state) runBatch(consumers, packets);
  double pushed = static_cast<double>(state.iterations()) * kBatch;
  state.SetItemsProcessed(static_cast<int64_t>(pushed));
  state.counters["cpu_ns_per_packet"] = (processCpuNs() - cpuBefore) / pushed;
}

BENCHMARK(BM_RelayQueue)
    ->Name("RelayQueue/consumers")
    ->Arg(1)
    ->Arg(2)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
