// Push and pop through a managed FIFO: one producer thread against one or two
// consumer threads, each consumer with a limit and backpressure as a relay
// writer has them. Prints packets per second (items_per_second) and the CPU
// time of all threads per packet (cpu_ns_per_packet), the steadier figure on
// a shared machine.
//
//   Fifo/...:      hooks alone, the library's own cost.
//   Relay-like/...: each hook carries a heap holder of a shared pointer to a
//                  packet of its own, copied per extra consumer, as the
//                  relay's queue pushes its packets. The packets are made
//                  before the timing starts: making them is the reader's cost.
#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "platform/fifo/pmtfifo.h"

namespace {

constexpr long kBatch = 200000;
constexpr int kLimit = 10000;

struct FakePacket {
  char bytes[64];
};
using Holder = std::shared_ptr<FakePacket>;

int g_token;

Hook *plainHook() {
  Hook *h = new_hook(nullptr);
  h->p = &g_token;
  return h;
}

Hook *plainCopy(Hook *) { return plainHook(); }

void freeHolder(void *p) {
  Holder *holder = static_cast<Holder *>(p);
  holder->~Holder();
  std::free(holder);
}

Hook *holderHook(const Holder &packet) {
  void *block = std::calloc(1, sizeof(Holder));
  Hook *h = new_hook(freeHolder);
  h->p = new (block) Holder(packet);
  return h;
}

Hook *holderCopy(Hook *hook) { return holderHook(*static_cast<Holder *>(hook->p)); }

void consume(PmtManagedFifo *mf, std::string name) {
  Hook *hook = nullptr;
  for (;;) {
    int rc = pmtmanagedfifo_pop(mf, name.c_str(), &hook, 0);
    if (rc == PMTFIFO_DATA) {
      free_hook(&hook);
    } else if (rc != PMTFIFO_TIMEOUT && rc != PMTFIFO_EMPTY) {
      return;  // end of data
    }
  }
}

// One batch: consumers start, the producer pushes kBatch hooks and its mark,
// and the batch ends when every consumer has popped the mark.
template <bool kRelayLike>
void runBatch(int consumers, const std::vector<Holder> &packets) {
  PmtManagedFifo *mf = pmtmanagedfifo_create("bench");
  pmtmanagedfifo_set_producer(mf, "reader");
  std::vector<std::thread> threads;
  for (int c = 0; c < consumers; c++) {
    std::string name = "writer" + std::to_string(c);
    pmtfifo_set_timeout(pmtmanagedfifo_set_consumer(mf, name.c_str(), kLimit, PMTFIFO_BACKPRESSURE),
                        1.0);
    threads.emplace_back(consume, mf, name);
  }
  for (long i = 0; i < kBatch; i++) {
    if constexpr (kRelayLike) {
      pmtmanagedfifo_push(mf, holderHook(packets[i]), holderCopy, 0);
    } else {
      pmtmanagedfifo_push(mf, plainHook(), plainCopy, 0);
    }
  }
  pmtmanagedfifo_push_eof(mf, "reader");
  for (std::thread &t : threads) t.join();
  pmtmanagedfifo_destroy(mf);
}

// CPU time used so far by every thread of the process, in nanoseconds.
double processCpuNs() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto ns = [](const timeval &tv) { return tv.tv_sec * 1e9 + tv.tv_usec * 1e3; };
  return ns(usage.ru_utime) + ns(usage.ru_stime);
}

template <bool kRelayLike>
void BM_PushPop(benchmark::State &state) {
  int consumers = static_cast<int>(state.range(0));
  std::vector<Holder> packets;
  if (kRelayLike) {
    for (long i = 0; i < kBatch; i++) packets.push_back(std::make_shared<FakePacket>());
  }
  double cpuBefore = processCpuNs();
  for (auto _ : state) runBatch<kRelayLike>(consumers, packets);
  double pushed = static_cast<double>(state.iterations()) * kBatch;
  state.SetItemsProcessed(static_cast<int64_t>(pushed));
  state.counters["cpu_ns_per_packet"] = (processCpuNs() - cpuBefore) / pushed;
}

BENCHMARK_TEMPLATE(BM_PushPop, false)
    ->Name("Fifo/consumers")
    ->Arg(1)
    ->Arg(2)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_PushPop, true)
    ->Name("Relay-like/consumers")
    ->Arg(1)
    ->Arg(2)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
