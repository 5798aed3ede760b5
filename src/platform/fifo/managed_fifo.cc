// PmtManagedFifo: the registry of producers and consumers, and the fan-out of
// each push to the consumers' FIFOs (consumer_fifo.h).
//
// Pushes run without the registration lock: they read an immutable list of
// the consumers, which registration replaces as a whole. Replaced lists are
// kept until the managed FIFO is destroyed, so a push may still walk one.
// Lock order: the registration lock `mu` before any consumer FIFO's locks.
#include <cmath>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "platform/elog/elog.h"
#include "platform/fifo/consumer_fifo.h"
#include "platform/fifo/pmtfifo.h"

namespace {

struct ConsumerList {
  std::vector<PmtFifo *> fifos;
};

// Hooks for a push's consumers; the first few live on the stack.
class HookSet {
 public:
  explicit HookSet(size_t n) : n_(n) {
    if (n > kInline) heap_.resize(n, nullptr);
  }
  ~HookSet() {
    for (size_t i = 0; i < n_; i++) free_hook(&at(i));
  }
  Hook *&at(size_t i) { return n_ > kInline ? heap_[i] : inline_[i]; }
  // Hands hook i over to its consumer.
  Hook *take(size_t i) {
    Hook *h = at(i);
    at(i) = nullptr;
    return h;
  }

 private:
  static constexpr size_t kInline = 8;
  size_t n_;
  Hook *inline_[kInline] = {};
  std::vector<Hook *> heap_;
};

}  // namespace

struct PmtManagedFifo {
  explicit PmtManagedFifo(std::string n) : name(std::move(n)) {
    lists.emplace_back(new ConsumerList);
    current.store(lists.back().get());
  }

  const std::string name;
  std::atomic<const ConsumerList *> current{nullptr};
  std::atomic<int> producerCount{0};
  std::atomic<bool> released{false};
  std::atomic<long> discarded{0};  // pushes that found no consumer

  // Guarded by mu: the registrations.
  std::mutex mu;
  std::vector<std::unique_ptr<ConsumerList>> lists;  // current is lists.back()
  std::vector<std::unique_ptr<PmtFifo>> fifos;
  std::vector<std::string> producers;
  std::vector<bool> marksPushed;  // by producer number

  PmtFifo *findConsumer(const char *consumer) const {
    for (PmtFifo *f : current.load()->fifos) {
      if (f->name() == consumer) return f;
    }
    return nullptr;
  }

  int producerNumberLocked(const char *producer) const {
    for (size_t i = 0; i < producers.size(); i++) {
      if (producers[i] == producer) return static_cast<int>(i);
    }
    return -1;
  }

  // Counts a push that found no consumer; the first of a run is reported.
  void discard(Hook *hook) {
    free_hook(&hook);
    if (discarded.fetch_add(1) == 0) {
      elog_log(0, "Queue '%s' has no consumer: discarding packets until one registers",
               name.c_str());
    }
  }

  PmtFifo *addConsumerLocked(const char *consumer) {
    fifos.emplace_back(new PmtFifo(name, consumer, producerCount, marksPushed));
    auto list = std::make_unique<ConsumerList>(*current.load());
    list->fifos.push_back(fifos.back().get());
    current.store(list.get());
    lists.push_back(std::move(list));
    long before = discarded.exchange(0);
    if (before > 0) {
      elog_log(0, "Queue '%s': discarded %ld packets before consumer '%s' registered", name.c_str(),
               before, consumer);
    }
    return fifos.back().get();
  }
};

extern "C" {

PmtManagedFifo *pmtmanagedfifo_create(const char *name) {
  try {
    return new PmtManagedFifo(name ? name : "");
  } catch (const std::bad_alloc &) {
    return nullptr;
  }
}

int pmtmanagedfifo_set_producer(PmtManagedFifo *mf, const char *name) {
  if (mf == nullptr || name == nullptr) return PMTFIFO_ERR_ARG;
  std::lock_guard<std::mutex> lock(mf->mu);
  if (mf->released.load()) return PMTFIFO_ERR_RELEASED;
  if (mf->producerNumberLocked(name) >= 0) return 0;
  try {
    mf->producers.emplace_back(name);
    mf->marksPushed.push_back(false);
  } catch (const std::bad_alloc &) {
    if (mf->producers.size() > mf->marksPushed.size()) mf->producers.pop_back();
    return PMTFIFO_ERR_NOMEM;
  }
  mf->producerCount.fetch_add(1);
  return 0;
}

PmtFifo *pmtmanagedfifo_set_consumer(PmtManagedFifo *mf, const char *name, int limit, int flags) {
  if (mf == nullptr || name == nullptr) return nullptr;
  std::lock_guard<std::mutex> lock(mf->mu);
  if (mf->released.load()) return nullptr;
  PmtFifo *fifo = mf->findConsumer(name);
  if (fifo == nullptr) {
    try {
      fifo = mf->addConsumerLocked(name);
    } catch (const std::bad_alloc &) {
      return nullptr;
    }
  }
  fifo->configure(limit, flags);
  return fifo;
}

int pmtfifo_set_timeout(PmtFifo *fifo, double seconds) {
  if (fifo == nullptr || std::isnan(seconds)) return PMTFIFO_ERR_ARG;
  fifo->setTimeout(seconds);
  return 0;
}

int pmtfifo_count(const PmtFifo *fifo) { return fifo ? fifo->count() : -1; }

int pmtfifo_waiting(const PmtFifo *fifo) { return fifo ? fifo->waiting() : -1; }

long pmtfifo_dropped(const PmtFifo *fifo) { return fifo ? fifo->dropped() : -1; }

int pmtfifo_set_byte_limit(PmtFifo *fifo, long bytes) {
  if (fifo == nullptr) return PMTFIFO_ERR_ARG;
  fifo->setByteLimit(bytes);
  return 0;
}

long pmtfifo_bytes(const PmtFifo *fifo) { return fifo ? fifo->bytes() : -1; }

int pmtmanagedfifo_push(PmtManagedFifo *mf, Hook *hook, PmtHookCopy copy_fn, int flags) {
  return pmtmanagedfifo_push_bytes(mf, hook, copy_fn, flags, 0);
}

int pmtmanagedfifo_push_bytes(PmtManagedFifo *mf, Hook *hook, PmtHookCopy copy_fn, int flags,
                              long bytes) {
  if (mf == nullptr || hook == nullptr) {
    free_hook(&hook);
    return PMTFIFO_ERR_ARG;
  }
  if (mf->released.load()) {
    free_hook(&hook);
    return PMTFIFO_ERR_RELEASED;
  }
  const ConsumerList *list = mf->current.load();
  size_t n = list->fifos.size();
  if (n == 0) {
    mf->discard(hook);
    return 0;
  }
  // Every copy is made before any consumer holds a hook: a consumer may pop
  // and free the original while the others are still being served.
  HookSet hooks(n);
  hooks.at(0) = hook;
  for (size_t i = 1; i < n; i++) {
    hooks.at(i) = copy_fn ? copy_fn(hook) : nullptr;
    if (hooks.at(i) == nullptr) {
      elog_log(0, "Queue '%s': could not copy a packet for consumer '%s'; not queued",
               mf->name.c_str(), list->fifos[i]->name().c_str());
      return PMTFIFO_ERR_COPY;
    }
  }
  int queued = 0;
  int failure = 0;
  for (size_t i = 0; i < n; i++) {
    int rc = list->fifos[i]->enqueue(hooks.take(i), flags, bytes);
    if (rc > 0) {
      queued++;
    } else if (failure == 0) {
      failure = rc;
    }
  }
  return failure ? failure : queued;
}

int pmtmanagedfifo_push_eof(PmtManagedFifo *mf, const char *producer) {
  if (mf == nullptr || producer == nullptr) return PMTFIFO_ERR_ARG;
  std::lock_guard<std::mutex> lock(mf->mu);
  if (mf->released.load()) return PMTFIFO_ERR_RELEASED;
  int number = mf->producerNumberLocked(producer);
  if (number < 0) {
    elog_log(0, "Queue '%s': end-of-data mark from '%s', which is not one of its producers",
             mf->name.c_str(), producer);
    return PMTFIFO_ERR_UNKNOWN;
  }
  mf->marksPushed[number] = true;
  int result = 0;
  for (PmtFifo *fifo : mf->current.load()->fifos) {
    int rc = fifo->enqueueMark(number);
    if (rc < 0 && result == 0) result = rc;
  }
  return result;
}

int pmtmanagedfifo_pop(PmtManagedFifo *mf, const char *consumer, Hook **hook, int flags) {
  if (hook != nullptr) *hook = nullptr;
  if (mf == nullptr || consumer == nullptr || hook == nullptr) return PMTFIFO_ERR_ARG;
  PmtFifo *fifo = mf->findConsumer(consumer);
  if (fifo == nullptr) return PMTFIFO_ERR_UNKNOWN;
  return fifo->pop(hook, flags);
}

void pmtmanagedfifo_release(PmtManagedFifo *mf) {
  if (mf == nullptr) return;
  std::lock_guard<std::mutex> lock(mf->mu);
  mf->released.store(true);
  for (PmtFifo *fifo : mf->current.load()->fifos) fifo->release();
}

void pmtmanagedfifo_destroy(PmtManagedFifo *mf) {
  if (mf == nullptr) return;
  pmtmanagedfifo_release(mf);
  delete mf;
}

}  // extern "C"
