// ThreadNames: the name of each thread of the process, and the label that
// starts every log line it writes.
//
// A thread keeps the first name it is given. The label is "Thread ",
// spaces up to the length of the longest name registered so far, and the
// name in single quotes, so that the messages of all threads line up. The
// system knows each thread (but the main one) by its name too, cut to the 15
// characters it keeps (ps -L, top -H).
//
// Thread-safety: every operation may be called from any thread; the
// registry has a lock of its own, under which nothing else is taken.
#pragma once

#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>

class ThreadNames {
 public:
  // Registers `name` for the calling thread (unless it has one) and widens
  // the label to the name's length.
  void name(const std::string &name);
  // The calling thread's name, or "" when it has none.
  std::string nameOfThisThread();
  // The calling thread's label.
  std::string labelOfThisThread();

 private:
  std::mutex m_mutex;       // guards everything below
  size_t m_labelWidth = 0;  // length of the longest name registered so far; only grows
  std::unordered_map<std::thread::id, std::string> m_names;
};
