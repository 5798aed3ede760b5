// Reading the text form: values, arrays, lists, comments, duplicates, and
// the messages for text that does not parse.
#include <gtest/gtest.h>

#include <string>

#include "pf_test_util.h"

namespace {

using pftest::compile;
using pftest::drainLog;
using pftest::str;

class PfSyntax : public ::testing::Test {
 protected:
  void SetUp() override { drainLog(); }
};

const char kRelayLike[] =
    "# a relay's parameter file\n"
    "target   t1\n"
    "empty_value\n"
    "connections &List{\n"
    "    &Arr{\n"
    "        name        r1\n"
    "        read_from_tarnname\t:6510\n"
    "    }\n"
    "    # comments stand anywhere\n"
    "\n"
    "    a list entry with blanks\n"
    "    &List{\n"
    "        inner\n"
    "    }\n"
    "}\n"
    "connections_special &Arr{\n"
    "    status_create &Arr{\n"
    "        run yes\n"
    "    }\n"
    "}\n";

TEST_F(PfSyntax, ReadsValuesArraysListsAndNesting) {
  auto pf = compile(kRelayLike);
  ASSERT_TRUE(pf);
  EXPECT_EQ(pfmaxtbl(pf.get()), 4);
  EXPECT_EQ(str(pf.get(), "target"), "t1");
  EXPECT_EQ(str(pf.get(), "empty_value"), "");
  Pf *list = nullptr;
  ASSERT_EQ(pfget(pf.get(), "connections", &list), PFTBL);
  EXPECT_EQ(pfmaxtbl(list), 3);  // comment and blank line are not entries
  EXPECT_EQ(str(pf.get(), "connections{0}{name}"), "r1");
  EXPECT_EQ(str(pf.get(), "connections{0}{read_from_tarnname}"), ":6510");
  EXPECT_EQ(str(pf.get(), "connections{1}"), "a list entry with blanks");
  EXPECT_EQ(str(pf.get(), "connections{2}{0}"), "inner");
  EXPECT_EQ(str(pf.get(), "connections_special{status_create}{run}"), "yes");
  EXPECT_EQ(drainLog(), "");
}

TEST_F(PfSyntax, ValueIsTheRestOfTheLineWithoutOuterBlanks) {
  auto pf = compile(
      "spaced   a  b \t \n"
      "read_from_queue\t \tmainq\n"
      "  indented value\n"
      "hash #is not a comment here\n"
      "crlf value\r\n"
      "brace {\n");
  ASSERT_TRUE(pf);
  EXPECT_EQ(str(pf.get(), "spaced"), "a  b");
  EXPECT_EQ(str(pf.get(), "read_from_queue"), "mainq");
  EXPECT_EQ(str(pf.get(), "indented"), "value");
  EXPECT_EQ(str(pf.get(), "hash"), "#is not a comment here");
  EXPECT_EQ(str(pf.get(), "crlf"), "value");
  EXPECT_EQ(str(pf.get(), "brace"), "{");
}

TEST_F(PfSyntax, EveryLineOfAListIsOneEntry) {
  auto pf = compile("l &List{\n  key value\n  &Arr{x\n  {\n  text }\n}\n");
  ASSERT_TRUE(pf);
  Pf *l = nullptr;
  ASSERT_EQ(pfget(pf.get(), "l", &l), PFTBL);
  ASSERT_EQ(pfmaxtbl(l), 4);
  EXPECT_EQ(str(l, "0"), "key value");
  EXPECT_EQ(str(l, "1"), "&Arr{x");  // only "&Arr{" itself opens an array
  EXPECT_EQ(str(l, "2"), "{");
  EXPECT_EQ(str(l, "3"), "text }");
}

TEST_F(PfSyntax, LaterDuplicateKeyWinsInThePlaceOfTheFirst) {
  auto pf = compile("a 1\nb 2\na 3\nsub &Arr{\n x 1\n}\nsub &Arr{\n y 2\n}\n");
  ASSERT_TRUE(pf);
  ASSERT_EQ(pfmaxtbl(pf.get()), 3);
  EXPECT_STREQ(pfkey_index(pf.get(), 0), "a");
  EXPECT_STREQ(pfkey_index(pf.get(), 1), "b");
  EXPECT_EQ(str(pf.get(), "a"), "3");
  EXPECT_FALSE(pfhas_key(pf.get(), "sub{x}"));  // replaced whole, not merged
  EXPECT_EQ(str(pf.get(), "sub{y}"), "2");
}

TEST_F(PfSyntax, StatusTextKeepsTheLastOfItsRepeatedKeys) {
  // A stopped connection's report: fixed figures first, the current ones after.
  auto pf = compile(
      "target t1\ntype dl\nmodel tarn\nrtm 12.500\ndls &Arr{\n"
      "r1 &Arr{\ncomt rint\ntarnn src\ndir read\nqn q1\ncon stopped\n"
      "rtm -999999999.900\nrss 0\nnq -1\ndlt 999999999.900000\n"
      "rtm 12.500\nrss 2048\nnq 3\n}\n}\n");
  ASSERT_TRUE(pf);
  EXPECT_EQ(str(pf.get(), "dls{r1}{rtm}"), "12.500");
  EXPECT_EQ(str(pf.get(), "dls{r1}{rss}"), "2048");
  EXPECT_EQ(str(pf.get(), "dls{r1}{nq}"), "3");
  Pf *r1 = nullptr;
  ASSERT_EQ(pfget(pf.get(), "dls{r1}", &r1), PFARR);
  EXPECT_EQ(pfmaxtbl(r1), 9);
  EXPECT_STREQ(pfkey_index(r1, 5), "rtm");  // where rtm first stood
}

TEST_F(PfSyntax, QuotedKeysAndValues) {
  auto pf = compile(
      "k &\"a\\tb\\\\c\\\"d\\x41\"\n"
      "&\"key with blanks\" value\n"
      "&\"\" empty key\n"
      "nl &\"line1\\nline2\"\n"
      "l &List{\n  &\"\"\n  &\"}\"\n}\n");
  ASSERT_TRUE(pf);
  EXPECT_EQ(str(pf.get(), "k"), "a\tb\\c\"dA");
  EXPECT_EQ(str(pf.get(), "key with blanks"), "value");
  EXPECT_EQ(str(pf.get(), ""), "empty key");
  EXPECT_EQ(str(pf.get(), "nl"), "line1\nline2");
  EXPECT_EQ(str(pf.get(), "l{0}"), "");
  EXPECT_EQ(str(pf.get(), "l{1}"), "}");
}

struct BrokenText {
  const char *text;
  int line;
  const char *reason;
};

TEST_F(PfSyntax, BrokenTextIsReportedWithLineAndReason) {
  const BrokenText cases[] = {
      {"a 1\n}\n", 2, "'}' closes nothing"},
      {"a 1\nb &Arr{\n c 1\n", 2, "'&Arr{' is never closed"},
      {"l &List{\n x\n &Arr{\n }\n", 1, "'&List{' is never closed"},
      {"a &Arr{\n}}\n", 2, "text after '}'"},
      {"x 1\n&Arr{\n}\n", 2, "'&Arr{' needs a key"},
      {"k &\"abc\n", 1, "no closing"},
      {"k &\"abc\\\n", 1, "no closing"},
      {"\n\nk &\"a\\qb\"\n", 3, "unknown escape '\\q'"},
      {"k &\"a\" b\n", 1, "text after the closing"},
      {"&\"k\"x v\n", 1, "text right after the closing"},
      {"&\"k v\n", 1, "no closing"},
      {"k &\"\\x4\"\n", 1, "two hexadecimal digits"},
      {"k &\"\\x00\"\n", 1, "'\\x00' is not allowed"},
      {"l &List{\n &\"a\" b\n}\n", 2, "text after the closing"},
  };
  for (const BrokenText &c : cases) {
    SCOPED_TRACE(c.text);
    Pf *pf = nullptr;
    EXPECT_NE(pfcompile(c.text, &pf), 0);
    EXPECT_EQ(pf, nullptr);
    std::string log = drainLog();
    EXPECT_NE(log.find("line " + std::to_string(c.line) + ":"), std::string::npos) << log;
    EXPECT_NE(log.find(c.reason), std::string::npos) << log;
  }
}

TEST_F(PfSyntax, FailedCompileLeavesTheObjectUnchanged) {
  auto pf = compile("a 1\nb 2\n");
  ASSERT_TRUE(pf);
  Pf *target = pf.get();
  EXPECT_NE(pfcompile("a 9\nc 3\n}\n", &target), 0);
  EXPECT_EQ(target, pf.get());
  EXPECT_EQ(pftest::toText(pf.get()), "a 1\nb 2\n");
}

TEST_F(PfSyntax, EmptyAndCommentOnlyTextsGiveEmptyArrays) {
  for (const char *text : {"", "\n\n", "# only\n  # comments\n", "\xEF\xBB\xBF# marked\n"}) {
    auto pf = compile(text);
    ASSERT_TRUE(pf) << text;
    EXPECT_EQ(pfkind(pf.get()), PFARR);
    EXPECT_EQ(pfmaxtbl(pf.get()), 0);
  }
}

TEST_F(PfSyntax, RefusesWhatCannotBeCompiledInto) {
  Pf *value = pfnew(PFSTRING);
  EXPECT_NE(pfcompile("a 1\n", &value), 0);
  pffree(value);
  EXPECT_NE(pfcompile(nullptr, &value), 0);
  EXPECT_NE(pfcompile("a 1\n", nullptr), 0);
  EXPECT_NE(drainLog(), "");
}

}  // namespace
