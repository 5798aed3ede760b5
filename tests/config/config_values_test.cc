// The strict readers of configuration values, at their edges: what the
// parameter-file library or strtod would quietly take, and what a resolver
// would take for an address elsewhere.
#include <gtest/gtest.h>

#include <string>

#include "config/config_values.h"

namespace {

using namespace configvalues;

TEST(ConfigValues, NumbersAreFiniteDecimals) {
  for (const auto &[text, value] : {std::pair{"2.5", 2.5}, {"+3", 3.0}, {"1e3", 1000.0}, {"-0.5", -0.5}}) {
    double out = 0;
    EXPECT_TRUE(readNumber(text, out)) << text;
    EXPECT_EQ(out, value) << text;
  }
  for (const char *text : {"", "nan", "inf", "-inf", "0x10", "1e400", "+-1", " 1", "1 ", "1s", "."}) {
    double out = 7;
    EXPECT_FALSE(readNumber(text, out)) << text;
    EXPECT_EQ(out, 7) << "left alone: " << text;
  }
}

TEST(ConfigValues, IntegersStayWithinTheirBounds) {
  long out = 0;
  EXPECT_TRUE(readInteger("0", 0, 10, out));
  EXPECT_TRUE(readInteger("+10", 0, 10, out));
  EXPECT_EQ(out, 10);
  for (const char *text : {"", "11", "-1", "2.5", "1e1", "0x1", "99999999999999999999", "+-1"}) {
    EXPECT_FALSE(readInteger(text, 0, 10, out)) << text;
  }
}

TEST(ConfigValues, BooleansAreTheLibrarysWordsAndNothingElse) {
  bool out = false;
  for (const char *text : {"true", "YES", "y", "On", "1"}) {
    EXPECT_TRUE(readBoolean(text, out) && out) << text;
  }
  for (const char *text : {"false", "No", "N", "off", "0"}) {
    EXPECT_TRUE(readBoolean(text, out) && !out) << text;
  }
  for (const char *text : {"", "tru", "maybe", "2", "true "}) {
    EXPECT_FALSE(readBoolean(text, out)) << text;
  }
}

TEST(ConfigValues, TarnNamesNameAPortAndAHost) {
  for (const char *name : {":1", ":65535", "localhost", "station:6510", "a-b.example.org:7", "10.0.0.1:80",
                           "0.0.0.0", "host.", "x1"}) {
    EXPECT_EQ(tarnNameProblem(name), "") << name;
  }
  for (const char *name : {":0", ":65536", ":", "h:", ":+80", ":80x", ":-1"}) {
    EXPECT_NE(tarnNameProblem(name).find("its port"), std::string::npos) << name;
  }
  // A bare number, a short or wide dotted form, octal-looking parts, and
  // names no resolver takes.
  for (const char *name : {"1796600002", "1.2.3", "256.1.1.1", "010.0.0.1", "1.2.3.4.5", "-a", "a-", "a_b",
                           "a..b", "[::1]:80", "a b", "host.1", ".", "a:b:1"}) {
    EXPECT_NE(tarnNameProblem(name).find("its host"), std::string::npos) << name;
  }
  EXPECT_EQ(tarnNameProblem(""), "it is empty");
  EXPECT_EQ(tarnNameProblem(std::string(63, 'a') + ".b"), "");
  EXPECT_NE(tarnNameProblem(std::string(64, 'a') + ".b"), "");
}

TEST(ConfigValues, TargetNamesFitTheSourceNamesTheyStart) {
  EXPECT_EQ(targetNameProblem("relay", 62), "");
  EXPECT_EQ(targetNameProblem(std::string(56, 'r'), 62), "");
  EXPECT_NE(targetNameProblem(std::string(57, 'r'), 62).find("too long"), std::string::npos);
  for (const char *name : {"a b", "a\tb", "a\x7f", " a"}) {
    EXPECT_NE(targetNameProblem(name, 62).find("blanks or control"), std::string::npos) << name;
  }
  EXPECT_EQ(targetNameProblem("", 62), "it is empty");
}

}  // namespace
