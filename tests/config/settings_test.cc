// The global settings by key, and the first step of configure().
#include <gtest/gtest.h>

#include <string>

#include "config/relay_config.h"
#include "managers/relay_log_mgr.h"
#include "managers/relay_state_mgr.h"
#include "output_capture.h"
#include "platform/time/epochtime.h"
#include "relay_pf.h"

namespace {

class Settings : public testing::Test {
 protected:
  void SetUp() override {
    RelayCnf = &config;
    config.nameThread("tester");
  }
  void TearDown() override { RelayCnf = nullptr; }

  // The fatal output of `body`, run in a child that must exit with 255.
  std::string fatalOutput(const std::function<void()> &body) {
    auto result = testcapture::runInChild(body);
    EXPECT_EQ(result.exitStatus, 255);
    EXPECT_EQ(result.out, "");
    return result.err;
  }

  RelayConfig config;
};

TEST_F(Settings, Defaults) {
  EXPECT_EQ(config.getInt("shutdown_grace_period_sec"), 15);
  EXPECT_EQ(config.getDouble("internal_timeout_sec"), 1.0);
  EXPECT_NE(config.omlog(), nullptr);
  EXPECT_EQ(config.omstate(), nullptr) << "the state manager comes with configure()";
}

TEST_F(Settings, UnknownKeysAreFatalAndNameTheGetter) {
  EXPECT_EQ(fatalOutput([&] { config.getInt("internal_timeout_sec"); }),
            "\nFatal: Thread 'tester': Unexpected internal error: no key 'internal_timeout_sec' in "
            "RelayConfig::getInt()\n\n");
  EXPECT_EQ(
      fatalOutput([&] { config.getDouble("shutdown_grace_period_sec"); }),
      "\nFatal: Thread 'tester': Unexpected internal error: no key 'shutdown_grace_period_sec' in "
      "RelayConfig::getDouble()\n\n");
  EXPECT_EQ(fatalOutput([&] { config.getDouble(""); }),
            "\nFatal: Thread 'tester': Unexpected internal error: no key '' in "
            "RelayConfig::getDouble()\n\n");
}

TEST_F(Settings, ConfigureRecordsTheStartTimeAndCreatesAStateManagerWithoutStatefile) {
  testsupport::TempDir dir;
  testsupport::writeFile(dir.file("relay.pf"), testsupport::kMinimalRelayPf);
  std::string pfname = dir.file("relay");
  char program[] = "/usr/bin/tarn2tarn_pre";
  char option[] = "-p";
  char *argv[] = {program, option, pfname.data(), nullptr};
  double before = std_now();
  config.configure(3, argv);
  double after = std_now();
  EXPECT_GE(config.getDouble("starttime"), before);
  EXPECT_LE(config.getDouble("starttime"), after);
  ASSERT_NE(config.omstate(), nullptr);
  EXPECT_EQ(config.omstate()->statefile(), "");
}

}  // namespace
