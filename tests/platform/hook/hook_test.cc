#include "platform/hook/hook.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <unordered_set>
#include <vector>

namespace {

int g_freed = 0;
void *g_lastFreed = nullptr;

void countingFree(void *p) {
  g_freed++;
  g_lastFreed = p;
}

class HookTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_freed = 0;
    g_lastFreed = nullptr;
  }
};

TEST_F(HookTest, FreeHookReleasesPayloadOnceAndClearsTheVariable) {
  int payload = 0;
  Hook *hook = new_hook(countingFree);
  ASSERT_NE(hook, nullptr);
  EXPECT_EQ(hook->p, nullptr);
  hook->p = &payload;

  free_hook(&hook);
  EXPECT_EQ(hook, nullptr);
  EXPECT_EQ(g_freed, 1);
  EXPECT_EQ(g_lastFreed, &payload);

  free_hook(&hook);  // already NULL: nothing happens
  EXPECT_EQ(g_freed, 1);
}

TEST_F(HookTest, HookWithoutPayloadOrFreeFunctionIsReleasedAlone) {
  Hook *empty = new_hook(countingFree);
  free_hook(&empty);
  EXPECT_EQ(g_freed, 0);

  int payload = 0;
  Hook *unowned = new_hook(nullptr);
  unowned->p = &payload;
  free_hook(&unowned);
  EXPECT_EQ(unowned, nullptr);
  EXPECT_EQ(g_freed, 0);
}

TEST_F(HookTest, FreeHookAcceptsNull) {
  free_hook(nullptr);
  EXPECT_EQ(g_freed, 0);
}

// Queues make hooks in one thread and free them in another; hooks are
// recycled between threads, which must neither lose a payload's release nor
// hand one hook out twice.
std::atomic<long> g_threadFreed{0};
void threadCountingFree(void *p) {
  g_threadFreed++;
  delete static_cast<long *>(p);
}

TEST(HookThreadsTest, HooksMadeInOneThreadAndFreedInAnotherStayDistinct) {
  constexpr int kRounds = 20;
  constexpr int kPerRound = 3000;
  g_threadFreed = 0;
  for (int round = 0; round < kRounds; round++) {
    std::vector<Hook *> hooks(kPerRound);
    std::thread maker([&] {
      for (int i = 0; i < kPerRound; i++) {
        hooks[i] = new_hook(threadCountingFree);
        hooks[i]->p = new long(i);
      }
    });
    maker.join();
    std::unordered_set<Hook *> distinct(hooks.begin(), hooks.end());
    ASSERT_EQ(distinct.size(), hooks.size()) << "a live hook was handed out twice";
    for (int i = 0; i < kPerRound; i++) ASSERT_EQ(*static_cast<long *>(hooks[i]->p), i);
    std::thread freer([&] {
      for (Hook *&h : hooks) free_hook(&h);
    });
    freer.join();
  }
  EXPECT_EQ(g_threadFreed.load(), long{kRounds} * kPerRound);
}

}  // namespace
