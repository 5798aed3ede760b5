// Tarn names at their edges: ports at the ends of their range, and hosts
// that a resolver would take for an address elsewhere or not take at all.
// (The number and boolean readers are tested through the relay, in
// connection_vetting_test.cc.)
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "base/config_values.h"

namespace {

using namespace configvalues;

TEST(ConfigValues, TarnNamesNameAPortAndAHost) {
  for (const char *name : {":1", ":65535", "localhost", "station:6510", "a-b.example.org:7",
                           "10.0.0.1:80", "0.0.0.0", "host.", "x1"}) {
    EXPECT_EQ(tarnNameProblem(name), "") << name;
  }
  for (const char *name : {":0", ":65536", ":", "h:", ":+80", ":80x", ":-1"}) {
    EXPECT_NE(tarnNameProblem(name).find("its port"), std::string::npos) << name;
  }
  // A bare number is a port whose colon was forgotten.
  EXPECT_EQ(tarnNameProblem("6520"),
            "it is a bare number, which names no host: for port 6520 on this machine write "
            "':6520'");
  // A short or wide dotted form, octal-looking parts, and names no resolver
  // takes.
  for (const char *name : {"1796600002:1", "1.2.3", "256.1.1.1", "010.0.0.1", "1.2.3.4.5", "-a", "a-",
                           "a_b", "a..b", "[::1]:80", "a b", "host.1", ".", "a:b:1"}) {
    EXPECT_NE(tarnNameProblem(name).find("its host"), std::string::npos) << name;
  }
  EXPECT_EQ(tarnNameProblem(""), "it is empty");
  EXPECT_EQ(tarnNameProblem(std::string(63, 'a') + ".b"), "");
  EXPECT_NE(tarnNameProblem(std::string(64, 'a') + ".b"), "");
}

}  // namespace

TEST(ConfigValues, SizesTakeAUnitAndNothingElse) {
  long out = -1;
  for (auto [text, want] : std::vector<std::pair<std::string, long>>{{"0", 0},
                                                                     {"512", 512},
                                                                     {"16k", 16384},
                                                                     {"16M", 16L << 20},
                                                                     {"1g", 1L << 30},
                                                                     {"1024G", 1L << 40}}) {
    EXPECT_TRUE(configvalues::readSize(text, out)) << text;
    EXPECT_EQ(out, want) << text;
  }
  for (std::string text : {"", "M", "-1", "+1", "1.5M", "1MB", "1T", "1025G", " 1"}) {
    EXPECT_FALSE(configvalues::readSize(text, out)) << text;
  }
}
