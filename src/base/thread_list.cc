#include "base/thread_list.h"

#include <utility>

ThreadList::~ThreadList() { joinAll(); }

void ThreadList::start(std::function<void()> body) { m_threads.emplace_back(std::move(body)); }

void ThreadList::joinAll(const std::function<void(std::size_t)> &joined) {
  for (std::size_t i = 0; i < m_threads.size(); ++i) {
    if (!m_threads[i].joinable()) continue;
    m_threads[i].join();
    if (joined) joined(i);
  }
}
