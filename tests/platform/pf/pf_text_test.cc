// Writing objects as text: readable where it can be, and always read back by
// pfcompile to an equal object, whatever the keys and values hold.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "pf_test_util.h"
#include "platform/pf/pf_object.h"

namespace {

using pftest::compile;
using pftest::PfHolder;
using pftest::roundTrip;
using pftest::toText;

// Values and keys that a naive writer would lose or misread. The first one
// leads the written text, where a byte-order mark would be skipped.
const std::vector<std::string> kNasty = {
    "\xEF\xBB\xBF"
    "bom",
    "",
    " ",
    "  lead",
    "trail  ",
    " both ",
    "in  side",
    "{",
    "}",
    "} ",
    "{}",
    "#hash",
    "# hash",
    "&",
    "&Arr{",
    "&List{",
    "&Arr{ ",
    "&\"",
    "&\"quoted\"",
    "&x",
    "line1\nline2",
    "\n",
    "\nlead",
    "tab\tin",
    "\ttab",
    "cr\r",
    "\r\n",
    "back\\slash",
    "\\",
    "quote\"",
    "\"",
    "\x01\x1f\x7f",
    "\xc3\xbc"
    "mlaut",
    "\xff\xfe",
    "key value",
    "a}b",
    "x{1}",
    "[0]",
    "}}",
    "\v\f"};

TEST(PfText, PlainObjectsAreWrittenPlainly) {
  const std::string text =
      "target t1\n"
      "rtm 12.500\n"
      "empty\n"
      "match ^(AB|CD)_.*/MSEED$\n"
      "dls &Arr{\n"
      "    r1 &Arr{\n"
      "        con yes\n"
      "        note a value # with a hash\n"
      "    }\n"
      "}\n"
      "order &List{\n"
      "    first entry\n"
      "    &Arr{\n"
      "        k v\n"
      "    }\n"
      "    &List{\n"
      "    }\n"
      "}\n";
  auto pf = compile(text);
  ASSERT_TRUE(pf);
  EXPECT_EQ(toText(pf.get()), text);
}

TEST(PfText, EmptyValuesAndEntries) {
  Pf *pf = pfnew(PFARR);
  pfput_string(pf, "e", "");
  EXPECT_EQ(toText(pf), "e\n");
  Pf *list = pfnew(PFTBL);
  pfput_string(list, "0", "");
  EXPECT_EQ(toText(list), "&\"\"\n");  // a blank line would not be an entry
  pffree(pf);
  pffree(list);
}

TEST(PfText, NastyValuesSurviveTheRoundTrip) {
  PfHolder arr(pfnew(PFARR));
  PfHolder list(pfnew(PFTBL));
  for (size_t i = 0; i < kNasty.size(); ++i) {
    pfput_string(arr.get(), ("k" + std::to_string(i)).c_str(), kNasty[i].c_str());
    pfput_string(list.get(), std::to_string(i).c_str(), kNasty[i].c_str());
  }
  ASSERT_EQ(pfmaxtbl(list.get()), static_cast<int>(kNasty.size()));
  for (Pf *pf : {arr.get(), list.get()}) {
    auto back = roundTrip(pf);
    ASSERT_TRUE(back) << toText(pf);
    EXPECT_TRUE(pfequal(pf, back.get())) << toText(pf) << "---\n" << toText(back.get());
    for (size_t i = 0; i < kNasty.size(); ++i) {
      Pf *v = nullptr;
      ASSERT_EQ(pfget_index(back.get(), static_cast<int>(i), &v), PFSTRING);
      EXPECT_EQ(pfvalue(v), kNasty[i]);
    }
  }
}

TEST(PfText, NastyKeysSurviveTheRoundTrip) {
  // "{}" is excluded: as a path it names the key "" of the array itself.
  std::vector<std::string> keys;
  for (const std::string &k : kNasty) {
    if (k != "{}") keys.push_back(k);
  }
  PfHolder arr(pfnew(PFARR));
  for (size_t i = 0; i < keys.size(); ++i) {
    EXPECT_EQ(pfput_string(arr.get(), keys[i].c_str(), ("v" + std::to_string(i)).c_str()), 0);
  }
  ASSERT_EQ(pfmaxtbl(arr.get()), static_cast<int>(keys.size()));
  auto back = roundTrip(arr.get());
  ASSERT_TRUE(back) << toText(arr.get());
  EXPECT_TRUE(pfequal(arr.get(), back.get())) << toText(back.get());
  for (size_t i = 0; i < keys.size(); ++i) {
    EXPECT_STREQ(pfkey_index(back.get(), static_cast<int>(i)), keys[i].c_str());
    EXPECT_EQ(pftest::str(back.get(), keys[i].c_str()), "v" + std::to_string(i));
  }
}

TEST(PfText, NestedListsOfArraysSurviveTheRoundTrip) {
  auto pf = compile(
      "connections &List{\n"
      "  &Arr{\n    name r1\n    match &\" ^A \"\n    deep &List{\n      &List{\n"
      "        &Arr{\n          k &\"}\"\n        }\n      }\n    }\n  }\n"
      "  &Arr{\n  }\n  &\"&Arr{\"\n}\n");
  ASSERT_TRUE(pf);
  EXPECT_EQ(pftest::str(pf.get(), "connections{0}{deep}{0}{0}{k}"), "}");
  auto back = roundTrip(pf.get());
  ASSERT_TRUE(back);
  EXPECT_TRUE(pfequal(pf.get(), back.get()));
}

// Random objects built directly, so the writer is checked against objects it
// did not make itself.
class RandomObjects {
 public:
  explicit RandomObjects(unsigned seed) : rng_(seed) {}

  PfHolder make() {
    auto root = std::make_unique<Pf>(PFARR);
    fill(*root, 0);
    return PfHolder(root.release());
  }

 private:
  std::string text() {
    static const std::string kPieces[] = {" ",   "\t", "\n",    "\r",      "{",  "}",
                                          "#",   "&",  "&Arr{", "&List{",  "\"", "\\",
                                          "&\"", "a",  "b1",    "\xc3\xa9"};
    std::string out;
    int n = pick(6);
    for (int i = 0; i < n; ++i) {
      if (pick(8) == 0) {
        out += static_cast<char>(1 + pick(255));  // any byte but NUL
      } else {
        out += kPieces[pick(std::size(kPieces))];
      }
    }
    return out;
  }

  void fill(Pf &into, int depth) {
    int n = pick(5);
    for (int i = 0; i < n; ++i) {
      int kind = depth < 4 ? pick(4) : 0;
      auto child = kind == 1   ? std::make_unique<Pf>(PFARR)
                   : kind == 2 ? std::make_unique<Pf>(PFTBL)
                               : pfimpl::makeValue(text());
      if (child->kind != PFSTRING) fill(*child, depth + 1);
      if (into.kind == PFARR) {
        pfimpl::arraySet(into, text(), std::move(child));
      } else {
        into.items.push_back(std::move(child));
      }
    }
  }

  int pick(size_t n) { return static_cast<int>(rng_() % n); }

  std::mt19937 rng_;
};

TEST(PfText, RandomObjectsSurviveTheRoundTrip) {
  RandomObjects gen(20261207);
  for (int i = 0; i < 500; ++i) {
    PfHolder pf = gen.make();
    auto back = roundTrip(pf.get());
    ASSERT_TRUE(back) << toText(pf.get()) << pftest::drainLog();
    ASSERT_TRUE(pfequal(pf.get(), back.get())) << toText(pf.get());
    EXPECT_EQ(toText(back.get()), toText(pf.get()));
  }
}

TEST(PfText, ValueAndListObjectsAsText) {
  Pf *v = pfnew(PFSTRING);
  EXPECT_EQ(toText(v), "");
  pffree(v);
  auto pf = compile("l &List{\n a\n &Arr{\n  k v\n }\n}\n");
  Pf *l = nullptr;
  ASSERT_EQ(pfget(pf.get(), "l", &l), PFTBL);
  EXPECT_EQ(toText(l), "a\n&Arr{\n    k v\n}\n");
  auto back = roundTrip(l);
  ASSERT_TRUE(back);
  EXPECT_TRUE(pfequal(l, back.get()));
  EXPECT_EQ(pf2string(nullptr), nullptr);
}

}  // namespace
