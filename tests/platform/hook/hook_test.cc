#include "platform/hook/hook.h"

#include <gtest/gtest.h>

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

}  // namespace
