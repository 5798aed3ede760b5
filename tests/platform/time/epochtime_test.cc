#include "platform/time/epochtime.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cctype>
#include <cmath>
#include <memory>
#include <string>

#include "process.h"

namespace {

// Takes a text allocated by the library, frees it, returns a copy.
std::string take(char *text) {
  EXPECT_NE(text, nullptr);
  if (text == nullptr) return "<null>";
  std::string copy(text);
  std::free(text);
  return copy;
}

constexpr double kDec7 = 1765101600.0;  // 2025-12-07 10:00:00 UTC

// ---- Formatting ----

TEST(Epoch2Str, RelayNoticeFormatIsUtc) {
  EXPECT_EQ(take(epoch2str(kDec7, "%D %T %Z")), "12/07/25 10:00:00 UTC");
}

TEST(Epoch2Str, IgnoresTheLocalTimeZone) {
  const char *old = getenv("TZ");
  std::string saved = old ? old : "";
  setenv("TZ", "America/New_York", 1);
  tzset();
  std::string text = take(epoch2str(kDec7, "%H:%M %Z %z"));
  if (old)
    setenv("TZ", saved.c_str(), 1);
  else
    unsetenv("TZ");
  tzset();
  EXPECT_EQ(text, "10:00 UTC +0000");
}

TEST(Epoch2Str, MillisecondsRoundAndCarry) {
  EXPECT_EQ(take(epoch2str(kDec7 + 0.25, "%S.%s")), "00.250");
  EXPECT_EQ(take(epoch2str(kDec7 + 0.0004, "%S.%s")), "00.000");
  EXPECT_EQ(take(epoch2str(kDec7 + 0.9996, "%S.%s")), "01.000");
}

TEST(Epoch2Str, NegativeTimesCountBackFromTheEpoch) {
  EXPECT_EQ(take(epoch2str(-0.5, "%Y-%m-%d %H:%M:%S.%s")), "1969-12-31 23:59:59.500");
}

TEST(Epoch2Str, PercentEscapesEmptyAndTrailingPercent) {
  EXPECT_EQ(take(epoch2str(kDec7, "100%% %Y")), "100% 2025");
  EXPECT_EQ(take(epoch2str(kDec7, "")), "");
  EXPECT_EQ(take(epoch2str(kDec7, "%Y%")), "2025%");
}

TEST(Epoch2Str, LongOutputGrowsTheBuffer) {
  std::string format;
  for (int i = 0; i < 500; ++i) format += "%c|";
  std::string text = take(epoch2str(kDec7, format.c_str()));
  EXPECT_EQ(text.size(), 500u * (std::string("Sun Dec  7 10:00:00 2025").size() + 1));
}

TEST(Epoch2Str, UnrepresentableTimesSaySo) {
  EXPECT_EQ(take(epoch2str(NAN, "%Y")), "(invalid time)");
  EXPECT_EQ(take(epoch2str(INFINITY, "%Y")), "(invalid time)");
  EXPECT_EQ(take(epoch2str(1e300, "%Y")), "(invalid time)");
  EXPECT_EQ(epoch2str(kDec7, nullptr), nullptr);
}

TEST(StrTime, DayAndTimeToMilliseconds) {
  EXPECT_EQ(take(strtime(kDec7 + 0.5)), "2025-12-07 10:00:00.500 UTC");
}

TEST(StrTDelta, AlignedHoursMinutesSeconds) {
  EXPECT_EQ(take(strtdelta(1.25)), "   0:00:01.250");
  EXPECT_EQ(take(strtdelta(0)), "   0:00:00.000");
  EXPECT_EQ(take(strtdelta(36000)), "  10:00:00.000");
}

TEST(StrTDelta, DaysAndSigns) {
  EXPECT_EQ(take(strtdelta(86400 + 2 * 3600 + 3 * 60 + 4)), "1:02:03:04.000");
  EXPECT_EQ(take(strtdelta(-1.25)), "  -0:00:01.250");
  EXPECT_EQ(take(strtdelta(-0.0001)), "   0:00:00.000");  // rounds to zero: no sign
  EXPECT_EQ(take(strtdelta(1000 * 86400.0)), "1000:00:00:00.000");
}

TEST(StrTDelta, UnrepresentableDurationsSaySo) {
  EXPECT_EQ(take(strtdelta(NAN)), "(invalid duration)");
  EXPECT_EQ(take(strtdelta(-INFINITY)), "(invalid duration)");
}

TEST(StrTrim, RemovesBlanksAtBothEndsInPlace) {
  char text[] = " \t a b \n";
  EXPECT_EQ(strtrim(text), text);
  EXPECT_STREQ(text, "a b");
  char blanks[] = " \t\n ";
  EXPECT_STREQ(strtrim(blanks), "");
  char empty[] = "";
  EXPECT_STREQ(strtrim(empty), "");
  EXPECT_EQ(strtrim(nullptr), nullptr);
}

TEST(StdNow, IsTheWallClock) {
  double now = std_now();
  double wall = static_cast<double>(time(nullptr));
  EXPECT_NEAR(now, wall, 2.0);
}

// ---- Parsing ----

struct Accepted {
  const char *text;
  double epoch;
};

class IsEpochStringAccepts : public testing::TestWithParam<Accepted> {};

TEST_P(IsEpochStringAccepts, WithItsValue) {
  double value = -1;
  ASSERT_NE(is_epoch_string(GetParam().text, &value), 0) << GetParam().text;
  EXPECT_DOUBLE_EQ(value, GetParam().epoch) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Forms, IsEpochStringAccepts,
    testing::Values(Accepted{"1765101600", kDec7}, Accepted{"1765101600.5", kDec7 + 0.5},
                    Accepted{"-12.25", -12.25}, Accepted{"0", 0}, Accepted{".5", 0.5},
                    Accepted{"3600", 3600}, Accepted{"2025-12-07 10:00:00.5", kDec7 + 0.5},
                    Accepted{"2025-12-07T10:00:00Z", kDec7}, Accepted{"2025-12-07", kDec7 - 36000},
                    Accepted{"2025-12-07 10:00", kDec7},
                    Accepted{"2025-12-07 10:00:00.500 UTC", kDec7 + 0.5},
                    Accepted{"12/07/2025 10:00:00", kDec7}, Accepted{"12/07/2025", kDec7 - 36000},
                    Accepted{"2025-341 10:00:00", kDec7}, Accepted{"2025-341", kDec7 - 36000},
                    Accepted{"2024-366", 1735603200}, Accepted{"2024-02-29", 1709164800},
                    Accepted{"2000-02-29 23:59:59", 951868799}, Accepted{"1969-12-31 23:59:59", -1},
                    Accepted{"  2025-12-07 10:00:00 \n", kDec7},
                    Accepted{"2025-1-7 9:5:3", 1736240703}),
    [](const testing::TestParamInfo<Accepted> &info) {
      std::string name = std::to_string(info.index) + "_";
      for (const char *p = info.param.text; *p; ++p)
        name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
      return name;
    });

TEST(IsEpochString, RejectsEverythingElseAndKeepsTheValue) {
  const char *rejected[] = {"",
                            "   ",
                            "12abc",
                            "2026-13-40 99:00:00",
                            "2026-12-07 24:00:00",
                            "2026-12-07 10:60:00",
                            "2026-12-07 10:00:60",
                            "2026-04-31",
                            "2025-02-29",
                            "1900-02-29",
                            "2025-366",
                            "2025-000",
                            "2026-00-10",
                            "2026-12-00",
                            "13/01/2026",
                            "12/32/2026",
                            "2026-12-07x",
                            "2026-12-07 10:00:00 junk",
                            "2026-12-07T",
                            "2026-12-07 10",
                            "2026-12-07 10:00:00.",
                            "1e9",
                            "inf",
                            "nan",
                            "-",
                            ".",
                            "1.2.3",
                            "--5",
                            "+5",
                            "26-12-07",
                            "2026-12",
                            "12/07/26",
                            "2026-012-07",
                            "2026-12-07 UTC",
                            "2026/12/07",
                            "0x10",
                            "1 2",
                            "2026-12-07Z",
                            "2026-12-07 10:00:00ZZ"};
  for (const char *text : rejected) {
    double value = 42;
    EXPECT_EQ(is_epoch_string(text, &value), 0) << '"' << text << '"';
    EXPECT_EQ(value, 42) << '"' << text << '"';
  }
  double value = 42;
  EXPECT_EQ(is_epoch_string(nullptr, &value), 0);
  EXPECT_EQ(is_epoch_string("5", nullptr), 0);
}

TEST(IsEpochString, ReadsBackWhatStrTimeWrites) {
  std::string text = take(strtime(kDec7 + 123.456));
  double value = 0;
  ASSERT_NE(is_epoch_string(text.c_str(), &value), 0);
  EXPECT_NEAR(value, kDec7 + 123.456, 1e-6);
}

// ---- Files ----

TEST(IsPresent, FilesFoldersAndAbsentPaths) {
  testsupport::TempDir dir;
  testsupport::writeFile(dir.file("f"), "x");
  EXPECT_NE(is_present(dir.file("f").c_str()), 0);
  EXPECT_NE(is_present(dir.path().c_str()), 0);
  EXPECT_EQ(is_present(dir.file("absent").c_str()), 0);
  EXPECT_EQ(is_present(""), 0);
  EXPECT_EQ(is_present(nullptr), 0);
}

}  // namespace
