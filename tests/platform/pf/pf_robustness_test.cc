// Hostile text: random bytes, every truncation of a valid file, nesting far
// past the limit, huge lines and objects. Nothing may crash or hang, and
// whatever does compile must survive a round trip.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "pf_test_util.h"

namespace {

using pftest::compile;
using pftest::drainLog;
using pftest::PfHolder;
using pftest::roundTrip;
using pftest::toText;

const char kValidFile[] =
    "# sample\n"
    "target relay1\n"
    "connections &List{\n"
    "    &Arr{\n"
    "        name r1\n"
    "        match &\" ^A\\t\\\"B\\\"\\x7f \"\n"
    "        read_from_tarnname :6510\n"
    "    }\n"
    "    plain entry\n"
    "    &List{\n"
    "        &\"}\"\n"
    "    }\n"
    "}\n"
    "&\"odd key\" v\n"
    "connections_defaults &Arr{\n"
    "    shared &Arr{\n"
    "        run true\n"
    "    }\n"
    "}\n";

// Compiles `text`; when it compiles, checks that it survives a round trip,
// and otherwise that the log says on which line it failed.
bool compileAndCheck(const std::string &text) {
  Pf *pf = nullptr;
  bool compiled = pfcompile(text.c_str(), &pf) == 0;
  PfHolder held(pf);
  if (compiled) {
    EXPECT_NE(pf, nullptr);
    auto back = roundTrip(pf);
    EXPECT_TRUE(back && pfequal(pf, back.get())) << text;
  } else {
    EXPECT_EQ(pf, nullptr);
    EXPECT_NE(drainLog().find("line "), std::string::npos) << text;
  }
  drainLog();
  return compiled;
}

TEST(PfRobustness, EveryTruncatedPrefixOfAValidFile) {
  const std::string text = kValidFile;
  ASSERT_TRUE(compileAndCheck(text));
  int failures = 0;
  for (size_t n = 0; n < text.size(); ++n) {
    if (!compileAndCheck(text.substr(0, n))) ++failures;
  }
  EXPECT_GT(failures, 0);  // the prefixes that cut a nested object short
}

TEST(PfRobustness, RandomBytes) {
  std::mt19937 rng(7);
  for (int i = 0; i < 3000; ++i) {
    std::string text(rng() % 300, ' ');
    for (char &c : text) c = static_cast<char>(1 + rng() % 255);
    compileAndCheck(text);
  }
}

TEST(PfRobustness, RandomSyntaxPieces) {
  static const char *kPieces[] = {"&Arr{", "&List{", "}",   "\n", "\n", "\n",  " ",
                                  "\t",    "#",      "&\"", "\"", "\\", "\\x", "4",
                                  "k",     "v",      "\r",  "&",  "{"};
  std::mt19937 rng(11);
  for (int i = 0; i < 5000; ++i) {
    std::string text;
    int n = static_cast<int>(rng() % 60);
    for (int j = 0; j < n; ++j) text += kPieces[rng() % std::size(kPieces)];
    compileAndCheck(text);
  }
}

TEST(PfRobustness, RandomMutationsOfAValidFile) {
  std::mt19937 rng(13);
  const std::string valid = kValidFile;
  for (int i = 0; i < 3000; ++i) {
    std::string text = valid;
    for (int m = 0; m < 3; ++m) {
      size_t at = rng() % text.size();
      switch (rng() % 3) {
        case 0:
          text[at] = static_cast<char>(1 + rng() % 255);
          break;
        case 1:
          text.erase(at, 1 + rng() % 8);
          break;
        default:
          text.insert(at, text.substr(rng() % text.size(), 1 + rng() % 12));
      }
      if (text.empty()) text = "x";
    }
    compileAndCheck(text);
  }
}

TEST(PfRobustness, NestingUpToTheLimitAndPastIt) {
  auto nested = [](int depth, const char *opener) {
    std::string text = "k " + std::string(opener) + "\n";
    for (int i = 1; i < depth; ++i)
      text += std::string(opener[1] == 'A' ? "k " : "") + opener + "\n";
    text += "x\n";
    for (int i = 0; i < depth; ++i) text += "}\n";
    return text;
  };
  for (const char *opener : {"&Arr{", "&List{"}) {
    SCOPED_TRACE(opener);
    auto deepest = compile(nested(PF_MAX_DEPTH, opener));
    ASSERT_TRUE(deepest) << drainLog();
    auto back = roundTrip(deepest.get());
    ASSERT_TRUE(back);
    EXPECT_TRUE(pfequal(deepest.get(), back.get()));
    EXPECT_FALSE(compile(nested(PF_MAX_DEPTH + 1, opener)));
    EXPECT_EQ(drainLog(), "parameter text line 101: objects nested more than 100 deep");
  }
  // A million openers stop at the limit, quickly, without using the stack.
  std::string bomb;
  for (int i = 0; i < 1000000; ++i) bomb += "&List{\n";
  EXPECT_FALSE(compile("k &List{\n" + bomb));
  EXPECT_NE(drainLog().find("nested more than"), std::string::npos);
}

TEST(PfRobustness, ObjectsDeeperThanAnyTextStillCopyCompareWriteAndFree) {
  // Compiling into a part of an object nests past what one text may hold.
  PfHolder root(pfnew(PFARR));
  Pf *at = root.get();
  for (int i = 0; i < 50000; ++i) {
    ASSERT_EQ(pfcompile("d &Arr{\n}\n", &at), 0);
    ASSERT_EQ(pfget(at, "d", &at), PFARR);
  }
  pfput_string(at, "leaf", "value");
  PfHolder copy(pfdup(root.get()));
  ASSERT_TRUE(copy);
  EXPECT_TRUE(pfequal(root.get(), copy.get()));
  std::string text = toText(root.get());
  EXPECT_NE(text.find("leaf value"), std::string::npos);
  EXPECT_FALSE(compile(text));  // deeper than a text may nest: refused, not crashed
  drainLog();
}

TEST(PfRobustness, HugeLinesAndManyKeys) {
  std::string big(8 << 20, 'v');
  big[100] = ' ';
  auto pf = compile("k " + big + "\n");
  ASSERT_TRUE(pf);
  EXPECT_EQ(pftest::str(pf.get(), "k"), big);
  std::string many;
  for (int i = 0; i < 100000; ++i)
    many += "key" + std::to_string(i) + " " + std::to_string(i) + "\n";
  auto lots = compile(many);
  ASSERT_TRUE(lots);
  EXPECT_EQ(pfmaxtbl(lots.get()), 100000);
  EXPECT_EQ(pfget_int(lots.get(), "key99999"), 99999);
  EXPECT_EQ(toText(lots.get()), many);
}

}  // namespace
