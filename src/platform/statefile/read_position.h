// ReadPosition: where a reader stands, as the packet id and time of the
// last packet it reaped (id -1: none yet).
//
// The reader writes it after every reap; the state-file library's bury reads
// it from another thread. Both go through one small mutex, so a save always
// sees an id and a time that belong to the same packet.
//
// Thread-safety: every operation may be called from any thread.
#pragma once

#include <cstdint>
#include <mutex>

class ReadPosition {
 public:
  void set(int32_t id, double time) {
    std::lock_guard<std::mutex> lock(mutex_);
    id_ = id;
    time_ = time;
  }
  void setId(int32_t id) {
    std::lock_guard<std::mutex> lock(mutex_);
    id_ = id;
  }
  void setTime(double time) {
    std::lock_guard<std::mutex> lock(mutex_);
    time_ = time;
  }
  void get(int32_t &id, double &time) const {
    std::lock_guard<std::mutex> lock(mutex_);
    id = id_;
    time = time_;
  }
  int32_t id() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return id_;
  }
  double time() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return time_;
  }

 private:
  mutable std::mutex mutex_;  // guards the two fields below
  int32_t id_ = -1;
  double time_ = 0.0;
};
