// The statefile's text: what is written reads back exactly, and anything
// else, every prefix of a good file included, is refused with its line.
#include "platform/statefile/statefile_format.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>

namespace statefile {
namespace {

SavedPosition position(std::string tarn, std::string select, std::string reject, std::string owner,
                       int32_t id, double time, std::string address = "127.0.0.1:6510",
                       bool at = false) {
  SavedPosition p;
  p.address = std::move(address);
  p.at = at;
  p.tarn = std::move(tarn);
  p.select = std::move(select);
  p.reject = std::move(reject);
  p.owner = std::move(owner);
  p.id = id;
  p.time = time;
  p.seen = 1796600000;
  p.identity = "reader '" + p.owner + "'";
  return p;
}

std::vector<SavedPosition> samples() {
  return {position(":6510", "AA/.*", "", "in1", 0, 1796635800.25),
          position("host:7000", "", "a \"quoted\" \\ name\twith\ttabs\nand lines #x", "tag two",
                   INT32_MAX, 0.1 + 0.2, "[::1]:7000", true),
          position("h", "  blanks  ", "", "", 17, -12345.000000001, "")};
}

bool sameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

std::string parseError(const std::string &text) {
  std::vector<SavedPosition> out;
  std::string error;
  if (parseStatefile(text, out, error)) return "(accepted)";
  EXPECT_TRUE(out.empty());
  return error;
}

TEST(StatefileText, WhatIsWrittenReadsBackExactly) {
  std::vector<SavedPosition> in = samples();
  std::vector<SavedPosition> out;
  std::string error;
  ASSERT_TRUE(parseStatefile(formatStatefile(in, 1.0e9), out, error)) << error;
  ASSERT_EQ(out.size(), in.size());
  for (size_t i = 0; i < in.size(); ++i) {
    EXPECT_EQ(out[i].key(), in[i].key()) << i;
    EXPECT_EQ(out[i].tarn, in[i].tarn) << i;
    EXPECT_EQ(out[i].at, in[i].at) << i;
    EXPECT_EQ(out[i].seen, in[i].seen) << i;
    EXPECT_EQ(out[i].id, in[i].id) << i;
    EXPECT_EQ(out[i].identity, in[i].identity) << i;
    EXPECT_TRUE(sameBits(out[i].time, in[i].time)) << i;
  }
}

TEST(StatefileText, NoPositionsIsAValidFile) {
  std::vector<SavedPosition> out{position("x", "", "", "", 1, 1)};
  std::string error;
  EXPECT_TRUE(parseStatefile(formatStatefile({}, 0), out, error)) << error;
  EXPECT_TRUE(out.empty());
}

TEST(StatefileText, IsReadableByAPerson) {
  std::string text = formatStatefile({position(":6510", "AA/.*", "", "in1", 12, 1796635800.25)}, 0);
  EXPECT_NE(
      text.find(
          "position \"127.0.0.1:6510\" \":6510\" \"AA/.*\" \"\" \"in1\" \"reader 'in1'\" after 12 "
          "1796635800.25 1796600000  # 2026-12-07 09:30:00 UTC\n"),
      std::string::npos)
      << text;
  EXPECT_EQ(text.substr(text.size() - 6), "end 1\n");
}

// Files of the first format name readers by the tarn name as written and
// their tag, and always resume after the packet.
TEST(StatefileText, FirstFormatFilesAreRead) {
  std::string text =
      "tarn2tarn_pre read positions 1\nposition \":6510\" \"A\" \"\" \"tarntag0001\" 3 4.5\nend "
      "1\n";
  std::vector<SavedPosition> out;
  std::string error;
  ASSERT_TRUE(parseStatefile(text, out, error)) << error;
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].address, "");
  EXPECT_EQ(out[0].tarn, ":6510");
  EXPECT_EQ(out[0].owner, "tarntag0001");
  EXPECT_FALSE(out[0].at);
  EXPECT_NE(out[0].key(), position(":6510", "A", "", "tarntag0001", 3, 4.5).key());
  // Each format's lines only in its own file.
  EXPECT_EQ(
      parseError(
          "tarn2tarn_pre read positions 2\nposition \":6510\" \"A\" \"\" \"t\" 3 4.5\nend 1\n"),
      "line 2: malformed position");
  EXPECT_EQ(parseError("tarn2tarn_pre read positions 2\nposition \"a\" \"t\" \"\" \"\" \"\" before "
                       "3 4.5 9\nend 1\n"),
            "line 2: malformed position");
  EXPECT_EQ(
      parseError(
          "tarn2tarn_pre read positions 2\nposition \"a\" \"t\" \"\" \"\" \"\" at 3 4.5\nend 1\n"),
      "line 2: malformed position");
}

// Files of the second format keep no identity name: the position comes
// back without one, and a line with one is refused there.
TEST(StatefileText, SecondFormatFilesAreRead) {
  const std::string head = "tarn2tarn_pre read positions 2\n";
  std::vector<SavedPosition> out;
  std::string error;
  ASSERT_TRUE(parseStatefile(
      head + "position \"a\" \"t\" \"\" \"\" \"in\" after 3 4.5 9\nend 1\n", out, error))
      << error;
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].owner, "in");
  EXPECT_EQ(out[0].identity, "");
  EXPECT_EQ(parseError(head + "position \"a\" \"t\" \"\" \"\" \"in\" \"x\" after 3 4.5 9\nend 1\n"),
            "line 2: malformed position");
}

TEST(StatefileText, CommentsAndBlankLinesAreIgnored) {
  std::string text =
      "tarn2tarn_pre read positions 1\n\n# a note\n   \nposition \"t\" \"\" \"\" \"\" 3 4.5 # "
      "x\nend 1 # done\n";
  std::vector<SavedPosition> out;
  std::string error;
  ASSERT_TRUE(parseStatefile(text, out, error)) << error;
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].id, 3);
}

TEST(StatefileText, EveryCutShortPrefixIsRefused) {
  std::string text = formatStatefile(samples(), 1.0e9);
  for (size_t n = 0; n < text.size(); ++n) {
    EXPECT_NE(parseError(text.substr(0, n)), "(accepted)") << "prefix of " << n << " bytes";
  }
}

TEST(StatefileText, BrokenFilesNameWhatIsWrong) {
  const std::string head = "tarn2tarn_pre read positions 1\n";
  const std::string good = "position \"t\" \"\" \"\" \"\" 3 4.5\n";
  EXPECT_EQ(parseError(""), "line 1: the file is empty");
  EXPECT_EQ(parseError("\x7f"
                       "ELF\x02\x01garbage\n"),
            "line 1: not a statefile (expected \"tarn2tarn_pre read positions 3\")");
  EXPECT_EQ(parseError(head + good), "line 2: the file is cut short (no end line)");
  EXPECT_EQ(parseError(head + good + "end 2\n"),
            "line 3: the end line counts 2 positions, the file holds 1");
  EXPECT_EQ(parseError(head + "end 0\n" + good), "line 3: text after the end line");
  EXPECT_EQ(parseError(head + "hello world\nend 0\n"), "line 2: unexpected text");
  EXPECT_EQ(parseError(head + "position \"t\" \"\" \"\n"), "line 2: broken quoted name");
  EXPECT_EQ(parseError(head + "position \"t\\q\" \"\" \"\" \"\" 3 4.5\n"),
            "line 2: broken quoted name");
}

TEST(StatefileText, MalformedPositionsAreRefused) {
  const std::string head = "tarn2tarn_pre read positions 1\n";
  for (const char *line : {
           "position \"t\" \"\" \"\" \"\" -1 4.5",          // negative id
           "position \"t\" \"\" \"\" \"\" 2147483648 4.5",  // beyond the id range
           "position \"t\" \"\" \"\" \"\" 3x 4.5",          // not a number
           "position \"t\" \"\" \"\" \"\" 3 nan",           // not a time
           "position \"t\" \"\" \"\" \"\" 3 1e999",         // out of range
           "position \"t\" \"\" \"\" \"\" 3",               // a field missing
           "position \"t\" \"\" \"\" \"\" 3 4.5 6",         // a field too many
           "position t \"\" \"\" \"\" 3 4.5",               // tarn not quoted
           "position \"\" \"\" \"\" \"\" 3 4.5",            // empty tarn name
           "position \"t\" \"\" \"\" \"\" \"3\" 4.5",       // id quoted
       }) {
    EXPECT_EQ(parseError(head + line + "\nend 1\n"), "line 2: malformed position") << line;
  }
}

TEST(StatefileText, KeysKeepEveryNameApart) {
  // Names that would run together if simply joined stay distinct.
  EXPECT_NE(position("ab", "c", "", "", 0, 0).key(), position("a", "bc", "", "", 0, 0).key());
  EXPECT_NE(position("t", "x", "", "", 0, 0).key(), position("t", "", "x", "", 0, 0).key());
  EXPECT_NE(position("t", "", "", "a", 0, 0).key(), position("t", "", "", "b", 0, 0).key());
  EXPECT_EQ(position("t", "s", "r", "o", 1, 2).key(), position("t", "s", "r", "o", 3, 4).key());
}

}  // namespace
}  // namespace statefile
