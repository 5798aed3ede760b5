#include "base/thread_list.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <vector>

#include "process.h"

namespace {

using std::chrono::seconds;
using testsupport::waitUntil;

TEST(ThreadList, JoinsInStartOrderEvenWhenLaterThreadsEndFirst) {
  std::atomic<bool> release{false};
  std::atomic<int> ended{0};
  ThreadList threads;
  threads.start([&] {
    waitUntil([&] { return release.load(); }, seconds(30));
    ++ended;
  });
  threads.start([&] { ++ended; });
  threads.start([&] { ++ended; });
  ASSERT_TRUE(waitUntil([&] { return ended.load() == 2; }, seconds(10)));

  std::mutex mutex;
  std::vector<size_t> order;
  std::atomic<bool> allJoined{false};
  std::thread joiner([&] {
    threads.joinAll([&](size_t index) {
      std::lock_guard<std::mutex> lock(mutex);
      order.push_back(index);
    });
    allJoined = true;
  });
  // The two finished threads are not joined while the first still runs.
  EXPECT_FALSE(waitUntil([&] { return allJoined.load(); }, std::chrono::milliseconds(200)));
  {
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_TRUE(order.empty());
  }
  release = true;
  joiner.join();
  EXPECT_EQ(order, (std::vector<size_t>{0, 1, 2}));
  EXPECT_EQ(ended.load(), 3);
}

TEST(ThreadList, JoinAllTwiceAndDestructorJoinWhatIsLeft) {
  std::atomic<int> ran{0};
  {
    ThreadList threads;
    threads.start([&] { ++ran; });
    threads.joinAll();
    threads.joinAll();  // nothing left to join
    threads.start([&] { ++ran; });
    EXPECT_EQ(threads.size(), 2u);
  }  // the destructor joins the second thread
  EXPECT_EQ(ran.load(), 2);
}

}  // namespace
