// The main thread's bookkeeping of the threads it starts: each is started
// from a closure without arguments and kept in start order, and joinAll
// joins them in that same order, so a thread that ended early is joined only
// once every thread started before it has ended. Nothing is detached or
// cancelled: shutdown is cooperative, through the stop flag.
//
// Used by one thread (the main thread) only.
#pragma once

#include <cstddef>
#include <functional>
#include <thread>
#include <vector>

class ThreadList {
 public:
  ThreadList() = default;
  ThreadList(const ThreadList &) = delete;
  ThreadList &operator=(const ThreadList &) = delete;
  // Joins whatever joinAll has not joined yet.
  ~ThreadList();

  // Starts one thread running `body`.
  void start(std::function<void()> body);

  // Joins every thread in start order; `joined`, when given, is called with
  // each thread's start index right after that thread is joined.
  void joinAll(const std::function<void(std::size_t)> &joined = {});

  std::size_t size() const { return m_threads.size(); }

 private:
  std::vector<std::thread> m_threads;
};
