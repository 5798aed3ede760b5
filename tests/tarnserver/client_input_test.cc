// A client's input buffer: unread bytes survive growing and moving, and a
// large buffer goes back only once it is empty and was not used since the
// last sweep.
#include "tarnserver/client_input.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace tarnserver {
namespace {

std::string unread(const ClientInput &in) { return std::string(in.data(), in.size()); }

TEST(ClientInput, UnreadBytesSurviveGrowingAndMoving) {
  ClientInput in;
  in.append("abcdef", 6);
  in.drop(2);
  std::memcpy(in.room(1000), "ghij", 4);  // grows with two bytes dropped
  in.received(4);
  EXPECT_EQ(unread(in), "cdefghij");
  EXPECT_EQ(in.capacity(), 8u + 996u) << "exactly what was asked for";
  in.drop(6);
  const char *at = in.data();
  in.room(900);  // fits behind: nothing moves
  EXPECT_EQ(in.data(), at);
  in.room(1000);  // fits only once the two unread bytes move to the front
  EXPECT_EQ(unread(in), "ij");
  EXPECT_EQ(in.capacity(), 1004u);
  in.drop(2);
  EXPECT_TRUE(in.empty());
}

TEST(ClientInput, ALargeBufferGoesBackOnceEmptyAndUnusedForASweep) {
  ClientInput in;
  in.room(1 << 20);
  in.received(10);
  in.release(64 << 10);
  in.release(64 << 10);
  EXPECT_EQ(in.capacity(), size_t{1} << 20) << "never while bytes wait";
  in.drop(10);
  in.room(100);  // a read that found nothing
  in.release(64 << 10);
  EXPECT_EQ(in.capacity(), size_t{1} << 20) << "used since the last sweep";
  in.release(64 << 10);
  EXPECT_EQ(in.capacity(), 0u);
  in.append("x", 1);
  in.drop(1);
  in.release(64 << 10);
  in.release(64 << 10);
  EXPECT_EQ(in.capacity(), 1u) << "a small one stays";
}

}  // namespace
}  // namespace tarnserver
