// EntryRing: the growable circular buffer behind each consumer's FIFO.
//
// It grows by doubling and never shrinks, so a FIFO in steady state queues
// and takes entries without allocating. Not thread-safe: each ring is guarded
// by the lock of the side that holds it (consumer_fifo.h).
#pragma once

#include <cstddef>
#include <memory>
#include <utility>

#include "platform/hook/hook.h"

namespace pmtfifo {

// One queued item: a hook and the bytes it stands for, or (hook NULL) the
// end-of-data mark of producer number `producer`.
struct Entry {
  Hook *hook;
  int producer;
  long bytes = 0;
};

class EntryRing {
 public:
  bool empty() const { return size_ == 0; }
  size_t size() const { return size_; }

  // Appends an entry; throws std::bad_alloc when growing fails.
  void pushBack(Entry e) {
    if (size_ == capacity_) grow();
    slots_[(head_ + size_) & (capacity_ - 1)] = e;
    size_++;
  }

  // Removes and returns the oldest entry; the ring must not be empty.
  Entry popFront() {
    Entry e = slots_[head_];
    head_ = (head_ + 1) & (capacity_ - 1);
    size_--;
    return e;
  }

  void swap(EntryRing &other) {
    std::swap(slots_, other.slots_);
    std::swap(capacity_, other.capacity_);
    std::swap(head_, other.head_);
    std::swap(size_, other.size_);
  }

 private:
  void grow() {
    size_t cap = capacity_ ? capacity_ * 2 : 64;
    std::unique_ptr<Entry[]> bigger(new Entry[cap]);
    for (size_t i = 0; i < size_; i++) bigger[i] = slots_[(head_ + i) & (capacity_ - 1)];
    slots_ = std::move(bigger);
    capacity_ = cap;
    head_ = 0;
  }

  std::unique_ptr<Entry[]> slots_;
  size_t capacity_ = 0;  // a power of two, or 0
  size_t head_ = 0;
  size_t size_ = 0;
};

}  // namespace pmtfifo
