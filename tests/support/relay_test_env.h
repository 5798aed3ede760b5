// Gives every test of a relay test program the process's configuration
// object (RelayCnf), as main() would, so that relay classes can log and read
// settings. Include it in one source file of the program.
#pragma once

#include <gtest/gtest.h>

#include "config/relay_config.h"

namespace testsupport {

class RelayConfigEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    if (!RelayCnf) RelayCnf = new RelayConfig();  // never deleted, as in the program
  }
};

inline ::testing::Environment *const kRelayConfigEnvironment =
    ::testing::AddGlobalTestEnvironment(new RelayConfigEnvironment);

}  // namespace testsupport
