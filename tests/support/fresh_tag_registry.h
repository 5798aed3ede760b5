// Makes every test of a test program start with empty tag and handle
// registries and generated tag names counting from "tarntag0001", as in a
// process of its own: the program then passes whether ctest runs its tests
// one by one or it runs whole. Include it in one source file of the program.
#pragma once

#include <gtest/gtest.h>

#include "tarn/tarn_tag.h"

namespace testsupport {

class FreshTagRegistry : public ::testing::EmptyTestEventListener {
 public:
  void OnTestStart(const ::testing::TestInfo &) override { TarnTag::clearRegistriesForTests(); }
};

inline const bool kFreshTagRegistry = [] {
  ::testing::UnitTest::GetInstance()->listeners().Append(new FreshTagRegistry);
  return true;
}();

}  // namespace testsupport
