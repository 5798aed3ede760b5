// SeedLink selections and times as clients write them: wildcards that
// never backtrack badly, both protocols' stream selectors with exclusions
// and types, and both protocols' times; malformed ones refused.
#include "tarnserver/seedlink_selection.h"

#include <gtest/gtest.h>

namespace tarnserver {
namespace {

StreamId stream(const std::string &loc, const std::string &chan) {
  StreamId id;
  id.network = "XX";
  id.station = "STA";
  id.location = loc;
  id.channel = chan;
  id.type = chan == "LOG" ? 'L' : 'D';
  return id;
}

std::vector<StreamSelector> selectors(std::initializer_list<const char *> texts) {
  std::vector<StreamSelector> out;
  for (const char *text : texts) {
    StreamSelector s;
    std::string err;
    EXPECT_TRUE(parseSelector(text, s, err)) << text << ": " << err;
    out.push_back(s);
  }
  return out;
}

TEST(SeedlinkSelection, WildcardsMatchWholeTextsWithoutBlowingUp) {
  EXPECT_TRUE(wildcardMatch("B?Z", "BHZ"));
  EXPECT_TRUE(wildcardMatch("*", ""));
  EXPECT_TRUE(wildcardMatch("*_H_*", "00_H_H_Z"));
  EXPECT_FALSE(wildcardMatch("BH", "BHZ"));
  EXPECT_FALSE(wildcardMatch("?", ""));
  EXPECT_FALSE(wildcardMatch(std::string(30, '*') + "b", std::string(10000, 'a')));
}

TEST(SeedlinkSelection, BothFormsWithExclusionsAndTypes) {
  struct Case {
    std::vector<StreamSelector> sels;
    StreamId id;
    bool taken;
  };
  std::vector<Case> cases = {
      {selectors({"BHZ"}), stream("00", "BHZ"), true},
      {selectors({"00BH?"}), stream("10", "BHZ"), false},
      {selectors({"--HHZ"}), stream("", "HHZ"), true},
      {selectors({"??HHZ"}), stream("", "HHZ"), true},
      {selectors({"HH?.D"}), stream("", "HHZ"), true},
      {selectors({"*.L"}), stream("", "HHZ"), false},
      {selectors({"!HHN"}), stream("", "HHZ"), true},
      {selectors({"HH?", "!HHN"}), stream("", "HHN"), false},
      {selectors({"00_B_H_Z"}), stream("00", "BHZ"), true},
      {selectors({"*_H_H_?"}), stream("", "HHE"), true},
      {selectors({"_H_H_Z"}), stream("", "HHZ"), true},
      {selectors({"*"}), stream("", "LOG"), true},
      {{}, stream("", "LOG"), true},
  };
  for (size_t i = 0; i < cases.size(); ++i)
    EXPECT_EQ(selectorsTake(cases[i].sels, cases[i].id), cases[i].taken) << i;
  StreamSelector s;
  std::string err;
  for (const char *bad : {"", "BHZ.Q", "BH Z", "<x>", "!", "BHZ.DD"})
    EXPECT_FALSE(parseSelector(bad, s, err)) << bad;
}

TEST(SeedlinkSelection, TimesOfBothVersions) {
  double t = 0;
  const double base = 1796601600.0;  // 2026-12-07 00:00:00 UTC
  ASSERT_TRUE(parseSeedlinkTime("2026,12,07,00,00,05", t));
  EXPECT_EQ(t, base + 5);
  ASSERT_TRUE(parseSeedlinkTime("2026,12,07,00,00,05,5", t));
  EXPECT_EQ(t, base + 5.5);
  ASSERT_TRUE(parseSeedlinkTime("2026-12-07T00:00:05.25Z", t));
  EXPECT_EQ(t, base + 5.25);
  ASSERT_TRUE(parseSeedlinkTime("2026-12-07T01:00:05.000+01:00", t));
  EXPECT_EQ(t, base + 5);
  for (const char *bad : {"2026,13,07,00,00,00", "2026-12-07", "yesterday", "2026,12,07,00,00,05x",
                          "2026-12-07T00:00:05+1", ""})
    EXPECT_FALSE(parseSeedlinkTime(bad, t)) << bad;
  EXPECT_EQ(isoTime(base + 0.5), "2026-12-07T00:00:00.500000Z");
}

}  // namespace
}  // namespace tarnserver
