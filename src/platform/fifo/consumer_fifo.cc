#include "platform/fifo/consumer_fifo.h"

#include <algorithm>
#include <cmath>
#include <new>

#include "platform/elog/elog.h"
#include "platform/stopflag/stopflag.h"

namespace {

// How often a wait looks at the stop flag, which nobody signals.
constexpr std::chrono::milliseconds kTick(50);

// Waiting pushes are woken once the count falls to this, so that a full
// consumer wakes its producers once per batch rather than once per hook.
int lowWater(int limit) { return limit - std::max(1, limit / 4); }

void logIfAny(const std::string &message) {
  if (!message.empty()) elog_log(0, "%s", message.c_str());
}

// Counts a pop among the waiting ones from its first wait until it returns.
class WaitCount {
 public:
  explicit WaitCount(std::atomic<int> &count) : count_(count) {}
  ~WaitCount() {
    if (counted_) count_.fetch_sub(1);
  }
  WaitCount(const WaitCount &) = delete;
  WaitCount &operator=(const WaitCount &) = delete;
  void enter() {
    if (!counted_) count_.fetch_add(1);
    counted_ = true;
  }

 private:
  std::atomic<int> &count_;
  bool counted_ = false;
};

}  // namespace

PmtFifo::PmtFifo(std::string queue, std::string name, const std::atomic<int> &producers,
                 const std::vector<bool> &marksPushed)
    : queue_(std::move(queue)),
      name_(std::move(name)),
      producers_(producers),
      marksSeen_(marksPushed),
      marksSeenCount_(static_cast<int>(std::count(marksPushed.begin(), marksPushed.end(), true))) {}

PmtFifo::~PmtFifo() { discardAll(); }

void PmtFifo::setByteLimit(long bytes) {
  std::lock_guard<std::mutex> lock(mu_);
  byteLimit_.store(std::max(bytes, 0L));
  roomCv_.notify_all();
}

void PmtFifo::configure(int limit, int flags) {
  std::lock_guard<std::mutex> lock(mu_);
  limit_.store(std::max(limit, 0));
  flags_.store(flags);
  roomCv_.notify_all();  // a raised limit or a lifted one lets waiting pushes in
}

// ---- producers' side ----

int PmtFifo::enqueue(Hook *hook, int pushFlags, long bytes) {
  bytes = std::max(bytes, 0L);
  std::unique_lock<std::mutex> lock(mu_);
  Admit admit = admitLocked(lock, pushFlags, bytes);
  std::string message;
  int result = 1;
  if (admit == Admit::Queue) {
    try {
      shared_.pushBack({hook, -1, bytes});
      hook = nullptr;
    } catch (const std::bad_alloc &) {
      message = noteDropLocked("out of memory");
      result = PMTFIFO_ERR_NOMEM;
    }
  } else if (admit == Admit::Drop) {
    message = noteDropLocked("full");
    result = PMTFIFO_ERR_DROPPED;
  } else {
    result = PMTFIFO_ERR_RELEASED;
  }
  bool wake = false;
  if (result == 1) {
    bytesPushed_.store(bytesPushed_.load(std::memory_order_relaxed) + bytes,
                       std::memory_order_release);
    pushed_.store(pushed_.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    wake = consumerWaiting_;
    if (dropRun_ > 0) {
      message = "Queue '" + queue_ + "': consumer '" + name_ + "' has room again after dropping " +
                std::to_string(dropRun_) + " packets";
      dropRun_ = 0;
    }
  }
  lock.unlock();
  if (wake) dataCv_.notify_one();
  free_hook(&hook);
  logIfAny(message);
  return result;
}

PmtFifo::Admit PmtFifo::admitLocked(std::unique_lock<std::mutex> &lock, int pushFlags, long bytes) {
  if (released_.load()) return Admit::Released;
  int limit = limit_.load();
  if (pushFlags & PMTFIFO_NOWAIT) {
    return atLeastLocked(std::max(limit, PMTFIFO_NOWAIT_CAP)) ? Admit::Drop : Admit::Queue;
  }
  if (!fullLocked(bytes)) return Admit::Queue;
  if (!(flags_.load() & PMTFIFO_BACKPRESSURE)) return Admit::Drop;
  return waitForRoomLocked(lock, bytes);
}

// Whether a hook of `bytes` finds the consumer at its limit or over its
// byte limit; a consumer with nothing waiting always has room.
bool PmtFifo::fullLocked(long bytes) {
  int limit = limit_.load();
  if (limit > 0 && atLeastLocked(limit)) return true;
  long byteLimit = byteLimit_.load();
  if (byteLimit <= 0) return false;
  // As for the count: the consumer's side is read only when the value last
  // seen says the limit is near.
  long pushed = bytesPushed_.load(std::memory_order_relaxed);
  if (pushed - bytesPoppedSeen_ + bytes <= byteLimit) return false;
  bytesPoppedSeen_ = bytesPopped_.load();
  long waiting = pushed - bytesPoppedSeen_;
  return waiting > 0 && waiting + bytes > byteLimit;
}

// Waits until the consumer has room. Once the stop flag is set it waits at
// most stopGrace() more and then admits the hook beyond the limit: at a
// shutdown the consumer is draining towards its end-of-data mark, and losing
// the packet would be worse than a longer queue.
PmtFifo::Admit PmtFifo::waitForRoomLocked(std::unique_lock<std::mutex> &lock, long bytes) {
  pushersWaiting_.fetch_add(1);
  Admit admit = Admit::Queue;
  bool stopping = false;
  Clock::time_point stopDeadline;
  for (;;) {
    if (released_.load()) {
      admit = Admit::Released;
      break;
    }
    if (!fullLocked(bytes)) break;
    if (!(flags_.load() & PMTFIFO_BACKPRESSURE)) {
      admit = Admit::Drop;
      break;
    }
    Clock::time_point now = Clock::now();
    if (!stopping && stopflag_is_set()) {
      stopping = true;
      stopDeadline = now + stopGrace();
    }
    if (stopping && now >= stopDeadline) break;
    roomCv_.wait_until(lock, stopping ? std::min(now + kTick, stopDeadline) : now + kTick);
  }
  pushersWaiting_.fetch_sub(1);
  return admit;
}

// Whether `waiting` or more hooks wait. The consumer's popped_ is read only
// when the last value seen says so, which keeps its cache line with the
// consumer while there is room.
bool PmtFifo::atLeastLocked(int waiting) {
  long pushed = pushed_.load(std::memory_order_relaxed);
  if (pushed - poppedSeen_ < waiting) return false;
  poppedSeen_ = popped_.load();
  return pushed - poppedSeen_ >= waiting;
}

PmtFifo::Clock::duration PmtFifo::stopGrace() const {
  double seconds = timeout_.load();
  if (!(seconds >= 0) || seconds > PMTFIFO_DEFAULT_TIMEOUT) seconds = PMTFIFO_DEFAULT_TIMEOUT;
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// Counts a drop; returns the message to log when this starts a run of drops.
std::string PmtFifo::noteDropLocked(const char *why) {
  dropped_.fetch_add(1);
  if (dropRun_++ > 0) return "";
  return "Queue '" + queue_ + "': consumer '" + name_ + "' is " + why + " (" +
         std::to_string(count()) + " waiting); dropping packets until it has room";
}

int PmtFifo::enqueueMark(int producer) {
  std::unique_lock<std::mutex> lock(mu_);
  if (released_.load()) return PMTFIFO_ERR_RELEASED;
  try {
    shared_.pushBack({nullptr, producer});
  } catch (const std::bad_alloc &) {
    return PMTFIFO_ERR_NOMEM;
  }
  bool wake = consumerWaiting_;
  lock.unlock();
  if (wake) dataCv_.notify_one();
  return 0;
}

// ---- consumer's side ----

int PmtFifo::pop(Hook **out, int flags) {
  *out = nullptr;
  std::lock_guard<std::mutex> popLock(popMu_);
  Clock::time_point deadline = Clock::time_point::min();
  for (;;) {
    if (released_.load()) return PMTFIFO_RELEASED;
    int result = 0;
    if (taken_.empty() && !refill(flags, deadline, &result)) return result;
    pmtfifo::Entry e = taken_.popFront();
    if (e.hook == nullptr) {
      noteMark(e.producer);
      if (endOfData()) return PMTFIFO_EOF;
      continue;
    }
    tookOne(e.bytes);
    *out = e.hook;
    return PMTFIFO_DATA;
  }
}

// Moves what producers queued into taken_, waiting for it as the consumer's
// time-out allows. False with *result set when there is nothing to take.
bool PmtFifo::refill(int flags, Clock::time_point &deadline, int *result) {
  std::unique_lock<std::mutex> lock(mu_);
  WaitCount waits(popsWaiting_);
  for (;;) {
    if (released_.load()) {
      *result = PMTFIFO_RELEASED;
      return false;
    }
    if (!shared_.empty()) {
      taken_.swap(shared_);
      return true;
    }
    if (endOfData() || (producers_.load() == 0 && stopflag_is_set())) {
      *result = PMTFIFO_EOF;
      return false;
    }
    double timeout = timeout_.load();
    if ((flags & PMTFIFO_NOWAIT) || timeout == 0) {
      *result = PMTFIFO_EMPTY;
      return false;
    }
    Clock::time_point now = Clock::now();
    if (deadline == Clock::time_point::min()) {
      deadline = timeout < 0 || timeout > 1e6 ? Clock::time_point::max()
                                              : now + std::chrono::duration_cast<Clock::duration>(
                                                          std::chrono::duration<double>(timeout));
    }
    if (now >= deadline) {
      *result = PMTFIFO_TIMEOUT;
      return false;
    }
    waits.enter();
    consumerWaiting_ = true;
    dataCv_.wait_until(lock, deadline - now < kTick ? deadline : now + kTick);
    consumerWaiting_ = false;
  }
}

// Counts a hook taken, and wakes pushes waiting for room once the count is
// down to the low-water mark. The store and the load below are sequentially
// consistent, as are a waiting push's increment of pushersWaiting_ and its
// read of popped_: either the push sees the room or this sees the push.
void PmtFifo::tookOne(long bytes) {
  long poppedBytes = bytesPopped_.load(std::memory_order_relaxed) + bytes;
  bytesPopped_.store(poppedBytes);
  long popped = popped_.load(std::memory_order_relaxed) + 1;
  popped_.store(popped);
  if (pushersWaiting_.load() == 0) return;
  int limit = limit_.load();
  long byteLimit = byteLimit_.load();
  bool countRoom = limit <= 0 || pushed_.load() - popped <= lowWater(limit);
  bool byteRoom = byteLimit <= 0 || bytesPushed_.load() - poppedBytes <= byteLimit - byteLimit / 4;
  if (countRoom && byteRoom) {
    std::lock_guard<std::mutex> lock(mu_);
    roomCv_.notify_all();
  }
}

void PmtFifo::noteMark(int producer) {
  if (static_cast<size_t>(producer) >= marksSeen_.size()) marksSeen_.resize(producer + 1, false);
  if (marksSeen_[producer]) return;
  marksSeen_[producer] = true;
  marksSeenCount_++;
}

bool PmtFifo::endOfData() const {
  int producers = producers_.load();
  return producers > 0 && marksSeenCount_ >= producers;
}

// ---- release ----

void PmtFifo::release() {
  std::string message;
  {
    std::lock_guard<std::mutex> lock(mu_);
    released_.store(true);
    if (dropRun_ > 0) {
      message = "Queue '" + queue_ + "': consumer '" + name_ + "' dropped " +
                std::to_string(dropRun_) + " packets before the queue was released";
      dropRun_ = 0;
    }
  }
  dataCv_.notify_all();
  roomCv_.notify_all();
  logIfAny(message);
  size_t discarded;
  {
    std::lock_guard<std::mutex> popLock(popMu_);
    std::lock_guard<std::mutex> lock(mu_);
    discarded = discardAll();
  }
  if (discarded > 0) {
    elog_log(0, "Queue '%s' released: discarded %zu packets waiting for consumer '%s'",
             queue_.c_str(), discarded, name_.c_str());
  }
}

// Frees every hook still queued; the caller holds both locks (or is the
// destructor).
size_t PmtFifo::discardAll() {
  size_t n = 0;
  for (pmtfifo::EntryRing *ring : {&taken_, &shared_}) {
    while (!ring->empty()) {
      pmtfifo::Entry e = ring->popFront();
      if (e.hook != nullptr) {
        free_hook(&e.hook);
        n++;
      }
    }
  }
  bytesPopped_.store(bytesPushed_.load());
  popped_.store(pushed_.load());
  return n;
}
