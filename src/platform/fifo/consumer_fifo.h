// PmtFifo: one consumer's FIFO inside a managed FIFO.
//
// Design: producers append to `shared_` under `mu_`; the consumer takes the
// whole of `shared_` at once by swapping it with its own empty `taken_` ring
// and then pops from `taken_` under `popMu_` alone. A busy consumer thus
// touches the producers' lock once per batch, not once per hook, and a
// producer signals the consumer only when it is actually asleep
// (`consumerWaiting_`), so a busy pair costs no wake-ups. A producer blocked
// at the limit is woken once the consumer has taken the count down to the
// low-water mark, again one wake-up per batch.
//
// Lock order: popMu_ before mu_. The managed FIFO's registration lock comes
// before both.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "platform/fifo/entry_ring.h"
#include "platform/fifo/pmtfifo.h"

struct PmtFifo {
 public:
  // `producers` is the managed FIFO's count of registered producers and
  // `marksPushed` says which of them have pushed their end-of-data mark
  // already, so that a late consumer does not wait for marks it never gets.
  PmtFifo(std::string queue, std::string name, const std::atomic<int> &producers,
          const std::vector<bool> &marksPushed);
  ~PmtFifo();
  PmtFifo(const PmtFifo &) = delete;
  PmtFifo &operator=(const PmtFifo &) = delete;

  const std::string &name() const { return name_; }
  void configure(int limit, int flags);
  void setTimeout(double seconds) { timeout_.store(seconds); }
  void setByteLimit(long bytes);
  // popped_ is read first: it never passes pushed_, so the difference is
  // never negative.
  int count() const {
    long popped = popped_.load();
    return static_cast<int>(pushed_.load() - popped);
  }
  long dropped() const { return dropped_.load(std::memory_order_relaxed); }
  int waiting() const { return pushersWaiting_.load() + popsWaiting_.load(); }
  // bytesPopped_ is read first, as in count().
  long bytes() const {
    long popped = bytesPopped_.load();
    return bytesPushed_.load() - popped;
  }

  // Queues a hook standing for `bytes`, waiting for room as the header
  // describes. Returns 1, or PMTFIFO_ERR_DROPPED / _RELEASED / _NOMEM after
  // freeing the hook.
  int enqueue(Hook *hook, int pushFlags, long bytes);
  // Queues producer number `producer`'s end-of-data mark. 0 or a failure.
  int enqueueMark(int producer);
  // A pmtmanagedfifo_pop result for this consumer.
  int pop(Hook **out, int flags);
  // Wakes every waiting call, refuses further pushes and frees the waiting
  // hooks; reports what it discarded.
  void release();

 private:
  using Clock = std::chrono::steady_clock;
  enum class Admit { Queue, Drop, Released };

  Admit admitLocked(std::unique_lock<std::mutex> &lock, int pushFlags, long bytes);
  Admit waitForRoomLocked(std::unique_lock<std::mutex> &lock, long bytes);
  Clock::duration stopGrace() const;
  bool atLeastLocked(int waiting);
  bool fullLocked(long bytes);
  std::string noteDropLocked(const char *why);
  bool refill(int flags, Clock::time_point &deadline, int *result);
  void tookOne(long bytes);
  void noteMark(int producer);
  bool endOfData() const;
  size_t discardAll();

  const std::string queue_;
  const std::string name_;
  const std::atomic<int> &producers_;

  // Read by every call, written rarely: settings, written by registration,
  // and the state of pushes blocked at the limit.
  std::atomic<int> limit_{0};
  std::atomic<long> byteLimit_{0};
  std::atomic<int> flags_{0};
  std::atomic<double> timeout_{PMTFIFO_DEFAULT_TIMEOUT};
  std::atomic<int> pushersWaiting_{0};
  std::atomic<int> popsWaiting_{0};    // pops inside refill's wait
  std::atomic<bool> released_{false};  // written under mu_
  std::atomic<long> dropped_{0};

  // The producers' side, on cache lines of its own so that a busy consumer
  // does not pull them away from the producers on every pop. Guarded by mu_.
  alignas(64) std::mutex mu_;
  std::condition_variable dataCv_;  // the consumer waits here for entries
  std::condition_variable roomCv_;  // pushes wait here for room
  pmtfifo::EntryRing shared_;
  bool consumerWaiting_ = false;
  long dropRun_ = 0;                  // drops since the consumer last had room
  std::atomic<long> pushed_{0};       // hooks queued so far (read by anyone)
  std::atomic<long> bytesPushed_{0};  // the bytes they stand for
  long bytesPoppedSeen_ = 0;          // a past value of bytesPopped_
  long poppedSeen_ = 0;               // a past value of popped_, refreshed at the limit

  // The consumer's side. Guarded by popMu_.
  alignas(64) std::mutex popMu_;
  pmtfifo::EntryRing taken_;
  std::vector<bool> marksSeen_;
  int marksSeenCount_ = 0;
  std::atomic<long> popped_{0};  // hooks taken so far (read by anyone)
  std::atomic<long> bytesPopped_{0};
};
