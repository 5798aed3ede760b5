#include "base/thread_list.h"

#include <utility>

ThreadList::~ThreadList() { joinAll(); }

void ThreadList::start(std::function<void()> body) { threads.emplace_back(std::move(body)); }

void ThreadList::joinAll(const std::function<void(std::size_t)> &joined) {
  for (std::size_t i = 0; i < threads.size(); ++i) {
    if (!threads[i].joinable()) continue;
    threads[i].join();
    if (joined) joined(i);
  }
}
