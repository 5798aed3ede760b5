#include "base/thread_names.h"

#include <pthread.h>
#include <unistd.h>

void ThreadNames::name(const std::string &name) {
  bool first;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    first = m_names.emplace(std::this_thread::get_id(), name).second;
    if (m_labelWidth < name.size()) m_labelWidth = name.size();
  }
  if (first && gettid() != getpid()) pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
}

std::string ThreadNames::nameOfThisThread() {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto found = m_names.find(std::this_thread::get_id());
  return found == m_names.end() ? std::string() : found->second;
}

std::string ThreadNames::labelOfThisThread() {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto found = m_names.find(std::this_thread::get_id());
  std::string name = found == m_names.end() ? std::string() : found->second;
  size_t padding = m_labelWidth > name.size() ? m_labelWidth - name.size() : 0;
  return "Thread " + std::string(padding, ' ') + "'" + name + "'";
}
