// Helpers for the managed-FIFO tests: hooks whose payload counts its own
// copies and frees, a registered stop flag, and the log library's messages.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>

#include "platform/fifo/pmtfifo.h"
#include "platform/stopflag/stopflag.h"

namespace fifotest {

// Counts what happens to the payloads of one test's hooks.
struct Tracker {
  std::atomic<long> made{0};
  std::atomic<long> copies{0};
  std::atomic<long> freed{0};
  long live() const { return made.load() + copies.load() - freed.load(); }
};

struct Payload {
  Tracker *tracker;
  long id;
};

Hook *makeHook(Tracker &tracker, long id);
// The copy function given to pushes; failingCopy always fails.
Hook *copyHook(Hook *hook);
Hook *failingCopy(Hook *hook);
long idOf(const Hook *hook);

// Everything the log library holds, then cleared.
std::string takeLog();

// A bound on how long a test waits for a thread; never a speed assertion.
constexpr std::chrono::seconds kBound(20);

template <typename T>
bool finishes(std::future<T> &f, std::chrono::milliseconds within = kBound) {
  return f.wait_for(within) == std::future_status::ready;
}

// Waits, at most kBound, until a call waits on `fifo` or `call` is done:
// what a test does before it acts on a call that is to be waiting.
template <typename T>
void awaitWaiting(const PmtFifo *fifo, std::future<T> &call) {
  auto end = std::chrono::steady_clock::now() + kBound;
  while (pmtfifo_waiting(fifo) == 0 && !finishes(call, std::chrono::milliseconds(1)) &&
         std::chrono::steady_clock::now() < end) {
  }
}

// popId results other than an id: -100 - the pop's result.
constexpr long kReleased = -100 - PMTFIFO_RELEASED;
constexpr long kEmpty = -100 - PMTFIFO_EMPTY;
constexpr long kTimeout = -100 - PMTFIFO_TIMEOUT;
constexpr long kEof = -100 - PMTFIFO_EOF;

class FifoTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Registers a consumer with the given limit and time-out.
  PmtFifo *consumer(const char *name, int limit = 0, double timeout = 0,
                    int flags = PMTFIFO_BACKPRESSURE);
  int push(long id, int flags = 0);
  // Pops one hook for `name` and frees it: its id, or one of the k* values
  // below when no hook came.
  long popId(const char *name, int flags = 0);

  Tracker tracker_;
  StopFlag stop_{0};
  PmtManagedFifo *mf_ = nullptr;
};

}  // namespace fifotest
