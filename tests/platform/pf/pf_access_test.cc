// Looking entries up by key, path and index; typed getters; changing and
// copying objects; compiling text into existing objects (the layering of
// defaults that the relay's configuration depends on).
#include <gtest/gtest.h>

#include <string>

#include "pf_test_util.h"

namespace {

using pftest::compile;
using pftest::drainLog;
using pftest::PfHolder;
using pftest::str;
using pftest::toText;

class PfAccess : public ::testing::Test {
 protected:
  void SetUp() override {
    drainLog();
    pf_ = compile(
        "connections &List{\n"
        "  &Arr{\n    name r1\n  }\n"
        "  &Arr{\n    name w1\n    tags &List{\n      a\n      b\n    }\n  }\n"
        "}\n"
        "connections_special &Arr{\n"
        "  status_create &Arr{\n    run true\n    write_to_queue\n  }\n"
        "}\n"
        "odd{key} braces\n"
        "time_intervals_sec &Arr{\n  internal_timeout 0.5\n}\n");
    ASSERT_TRUE(pf_);
  }

  PfHolder pf_;
};

TEST_F(PfAccess, PathsReachIntoArraysAndLists) {
  Pf *pf = pf_.get();
  EXPECT_EQ(str(pf, "connections_special{status_create}{run}"), "true");
  EXPECT_EQ(str(pf, "connections{1}{name}"), "w1");
  EXPECT_EQ(str(pf, "connections[1]{name}"), "w1");
  EXPECT_EQ(str(pf, "connections[1]{tags}[1]"), "b");
  EXPECT_EQ(str(pf, "odd{key}"), "braces");  // a key held as it is comes first
  Pf *found = nullptr;
  EXPECT_EQ(pfresolve(pf, "connections_special{status_create}", 0, &found), PFARR);
  EXPECT_EQ(pfmaxtbl(found), 2);
  EXPECT_EQ(pfresolve(pf, "connections", 0, &found), PFTBL);
  EXPECT_EQ(pfresolve(found, "[0]", 0, nullptr), PFARR);
  EXPECT_EQ(pfget_boolean(pf, "connections_special{status_create}{run}"), 1);
  EXPECT_DOUBLE_EQ(pfget_double(pf, "time_intervals_sec{internal_timeout}"), 0.5);
}

TEST_F(PfAccess, MissingKeysIndexesAndBadPathsGiveKindFive) {
  Pf *pf = pf_.get();
  const char *missing[] = {"nothing",
                           "connections{2}",
                           "connections{-1}",
                           "connections{x}",
                           "connections{1}{tags}{2}",
                           "connections_defaults{shared}",
                           "connections_special{status_create}{run}{deeper}",
                           "connections_special[0]",
                           "connections_special{status_create",
                           "connections_special{status_create}x",
                           "connections{{1}}",
                           "connections{99999999999999999999999}",
                           ""};
  for (const char *key : missing) {
    SCOPED_TRACE(key);
    Pf *value = pf;
    EXPECT_EQ(pfget(pf, key, &value), PFINVALID);
    EXPECT_EQ(value, nullptr);
    EXPECT_LT(pfresolve(pf, key, 0, &value), 0);
    EXPECT_FALSE(pfhas_key(pf, key));
    EXPECT_EQ(pfget_string(pf, key), nullptr);
  }
  Pf *list = nullptr;
  ASSERT_EQ(pfget(pf, "connections", &list), PFTBL);
  Pf *value = pf;
  EXPECT_EQ(pfget_index(list, 2, &value), PFINVALID);
  EXPECT_EQ(value, nullptr);
  EXPECT_EQ(pfget_index(list, -1, &value), PFINVALID);
  EXPECT_EQ(pfget_index(list, 1, &value), PFARR);
  EXPECT_EQ(pfget(nullptr, "x", &value), PFINVALID);
  EXPECT_EQ(pfget(pf, nullptr, &value), PFINVALID);
  Pf *text = nullptr;
  ASSERT_EQ(pfget(pf, "odd{key}", &text), PFSTRING);
  EXPECT_EQ(pfget(text, "anything", &value), PFINVALID);
  EXPECT_EQ(pfget_index(text, 0, &value), PFINVALID);
}

TEST_F(PfAccess, EmptyValuesExist) {
  Pf *pf = pf_.get();
  EXPECT_TRUE(pfhas_key(pf, "connections_special{status_create}{write_to_queue}"));
  ASSERT_NE(pfget_string(pf, "connections_special{status_create}{write_to_queue}"), nullptr);
  EXPECT_STREQ(pfget_string(pf, "connections_special{status_create}{write_to_queue}"), "");
  EXPECT_EQ(pfget_string(pf, "connections"), nullptr);  // present, but not a value
}

TEST_F(PfAccess, ListLengths) {
  auto pf = compile("empty &List{\n}\nthree &List{\n a\n &Arr{\n }\n &List{\n }\n}\nv x\n");
  Pf *l = nullptr;
  ASSERT_EQ(pfget(pf.get(), "empty", &l), PFTBL);
  EXPECT_EQ(pfmaxtbl(l), 0);
  ASSERT_EQ(pfget(pf.get(), "three", &l), PFTBL);
  EXPECT_EQ(pfmaxtbl(l), 3);
  EXPECT_EQ(pfmaxtbl(pf.get()), 3);  // an array: its keys
  ASSERT_EQ(pfget(pf.get(), "v", &l), PFSTRING);
  EXPECT_EQ(pfmaxtbl(l), 0);
  EXPECT_EQ(pfmaxtbl(nullptr), 0);
}

TEST_F(PfAccess, Booleans) {
  auto pf = compile(
      "t1 true\nt2 YES\nt3 y\nt4 On\nt5 1\nt6 &\" TRUE \"\n"
      "f1 false\nf2 No\nf3 N\nf4 OFF\nf5 0\n"
      "empty\nbad maybe\nbad2 2\n");
  for (const char *key : {"t1", "t2", "t3", "t4", "t5", "t6"}) {
    EXPECT_EQ(pfget_boolean(pf.get(), key), 1) << key;
  }
  for (const char *key : {"f1", "f2", "f3", "f4", "f5", "empty", "absent"}) {
    EXPECT_EQ(pfget_boolean(pf.get(), key), 0) << key;
  }
  EXPECT_EQ(drainLog(), "");  // absent and empty are quietly false
  EXPECT_EQ(pfget_boolean(pf.get(), "bad"), 0);
  EXPECT_EQ(drainLog(), "parameter 'bad' has the value 'maybe', which is not a boolean");
  EXPECT_EQ(pfget_boolean(pf.get(), "bad2"), 0);
  EXPECT_NE(drainLog(), "");
}

TEST_F(PfAccess, Numbers) {
  auto pf = compile(
      "i 42\nneg -7\nplus +5\nspaced &\" 12 \"\nbig 2147483647\n"
      "over 2147483648\nfrac 1.5\ntrail 12abc\ndouble_sign +-3\n"
      "d 2.5\nexp 1e3\ndneg -0.25\nnan nan\ninf inf\nword abc\nempty\n");
  Pf *p = pf.get();
  EXPECT_EQ(pfget_int(p, "i"), 42);
  EXPECT_EQ(pfget_int(p, "neg"), -7);
  EXPECT_EQ(pfget_int(p, "plus"), 5);
  EXPECT_EQ(pfget_int(p, "spaced"), 12);
  EXPECT_EQ(pfget_int(p, "big"), 2147483647);
  EXPECT_EQ(pfget_int(p, "empty"), 0);
  EXPECT_EQ(pfget_int(p, "absent"), 0);
  EXPECT_DOUBLE_EQ(pfget_double(p, "d"), 2.5);
  EXPECT_DOUBLE_EQ(pfget_double(p, "exp"), 1000.0);
  EXPECT_DOUBLE_EQ(pfget_double(p, "dneg"), -0.25);
  EXPECT_DOUBLE_EQ(pfget_double(p, "i"), 42.0);
  EXPECT_DOUBLE_EQ(pfget_double(p, "empty"), 0.0);
  EXPECT_EQ(drainLog(), "");
  for (const char *key : {"over", "frac", "trail", "double_sign", "word"}) {
    EXPECT_EQ(pfget_int(p, key), 0) << key;
    EXPECT_NE(drainLog().find(std::string("parameter '") + key + "'"), std::string::npos);
  }
  for (const char *key : {"nan", "inf", "word", "trail", "double_sign"}) {
    EXPECT_EQ(pfget_double(p, key), 0.0) << key;
    EXPECT_NE(drainLog().find("not a finite number"), std::string::npos) << key;
  }
}

TEST_F(PfAccess, Times) {
  auto pf = compile(
      "epoch 1765101600.5\nneg -10\nday 2026-12-07 10:00:00.5\niso 2026-12-07T10:00:00Z\n"
      "us 12/07/2026 10:00:00\nyday 2026-341 10:00:00\nbad soon\nempty\n");
  Pf *p = pf.get();
  EXPECT_DOUBLE_EQ(pfget_time(p, "epoch"), 1765101600.5);
  EXPECT_DOUBLE_EQ(pfget_time(p, "neg"), -10.0);
  EXPECT_DOUBLE_EQ(pfget_time(p, "day"), 1796637600.5);
  EXPECT_DOUBLE_EQ(pfget_time(p, "iso"), 1796637600.0);
  EXPECT_DOUBLE_EQ(pfget_time(p, "us"), 1796637600.0);
  EXPECT_DOUBLE_EQ(pfget_time(p, "yday"), 1796637600.0);
  EXPECT_EQ(pfget_time(p, "empty"), 0.0);
  EXPECT_EQ(pfget_time(p, "absent"), 0.0);
  EXPECT_EQ(drainLog(), "");
  EXPECT_EQ(pfget_time(p, "bad"), 0.0);
  EXPECT_EQ(drainLog(), "parameter 'bad' has the value 'soon', which is not a time");
}

TEST_F(PfAccess, LongOrControlValuesAreShortenedInMessages) {
  std::string big(10000, 'x');
  PfHolder pf(pfnew(PFARR));
  pfput_string(pf.get(), "k", (big + "\n").c_str());
  EXPECT_EQ(pfget_int(pf.get(), "k"), 0);
  std::string log = drainLog();
  EXPECT_LT(log.size(), 200u);
  EXPECT_EQ(log.find('\n'), std::string::npos);
}

TEST_F(PfAccess, PutAddsAtTheEndAndReplacesInPlace) {
  PfHolder pf(pfnew(PFARR));
  EXPECT_EQ(pfput_string(pf.get(), "a", "1"), 0);
  EXPECT_EQ(pfput_string(pf.get(), "b", "2"), 0);
  EXPECT_EQ(pfput_string(pf.get(), "a", "3"), 0);
  EXPECT_EQ(toText(pf.get()), "a 3\nb 2\n");
}

TEST_F(PfAccess, PutFollowsPathsIntoExistingObjects) {
  Pf *pf = pf_.get();
  EXPECT_EQ(pfput_string(pf, "connections_special{status_create}{run}", "false"), 0);
  EXPECT_EQ(pfget_boolean(pf, "connections_special{status_create}{run}"), 0);
  EXPECT_EQ(pfput_string(pf, "connections{0}{match}", ".*"), 0);
  EXPECT_EQ(str(pf, "connections{0}{match}"), ".*");
  EXPECT_EQ(pfput_string(pf, "connections{1}{tags}{0}", "z"), 0);
  EXPECT_EQ(pfput_string(pf, "connections{1}{tags}[2]", "appended"), 0);
  EXPECT_EQ(str(pf, "connections{1}{tags}{0}"), "z");
  EXPECT_EQ(str(pf, "connections{1}{tags}{2}"), "appended");
  // Not a way into existing objects: the text is a key, found again as such.
  EXPECT_EQ(pfput_string(pf, "missing{x}", "v"), 0);
  EXPECT_EQ(str(pf, "missing{x}"), "v");
  EXPECT_FALSE(pfhas_key(pf, "missing"));

  Pf *tags = nullptr;
  ASSERT_EQ(pfget(pf, "connections{1}{tags}", &tags), PFTBL);
  EXPECT_EQ(pfput_string(tags, "5", "too far"), -1);
  EXPECT_EQ(pfput_string(tags, "x", "not an index"), -1);
  EXPECT_EQ(pfmaxtbl(tags), 3);
  EXPECT_EQ(pfput_string(tags, "3", "end"), 0);
  EXPECT_EQ(pfmaxtbl(tags), 4);
  EXPECT_EQ(pfput_string(nullptr, "a", "b"), -1);
  EXPECT_EQ(pfput_string(pf, "a", nullptr), -1);
  EXPECT_NE(drainLog().find("pfput_string"), std::string::npos);
}

TEST_F(PfAccess, CopiesAreIndependent) {
  PfHolder copy(pfdup(pf_.get()));
  ASSERT_TRUE(copy);
  EXPECT_TRUE(pfequal(copy.get(), pf_.get()));
  pfput_string(copy.get(), "connections{0}{name}", "changed");
  EXPECT_FALSE(pfequal(copy.get(), pf_.get()));
  EXPECT_EQ(str(pf_.get(), "connections{0}{name}"), "r1");
  Pf *part = nullptr;
  pfget(pf_.get(), "connections{1}", &part);
  PfHolder partCopy(pfdup(part));
  EXPECT_TRUE(pfequal(partCopy.get(), part));
  EXPECT_EQ(pfdup(nullptr), nullptr);
}

TEST_F(PfAccess, EqualityLooksAtKindsOrderAndValues) {
  EXPECT_TRUE(pfequal(compile("a 1\nb 2\n").get(), compile("a 1\nb 2\n").get()));
  EXPECT_FALSE(pfequal(compile("a 1\nb 2\n").get(), compile("b 2\na 1\n").get()));
  EXPECT_FALSE(pfequal(compile("a 1\n").get(), compile("a 1 \nb\n").get()));
  EXPECT_FALSE(pfequal(compile("a &Arr{\n}\n").get(), compile("a &List{\n}\n").get()));
  EXPECT_FALSE(pfequal(compile("a &List{\n x\n}\n").get(), compile("a &List{\n y\n}\n").get()));
}

TEST(PfMerge, CompileIntoAnArrayAddsAndReplacesInPlace) {
  auto pf = compile("a 1\nsub &Arr{\n  x 1\n  y 2\n}\nb 2\n");
  Pf *target = pf.get();
  ASSERT_EQ(pfcompile("b 20\nc 30\nsub &Arr{\n  z 3\n}\n", &target), 0);
  EXPECT_EQ(target, pf.get());
  EXPECT_EQ(toText(pf.get()), "a 1\nsub &Arr{\n    z 3\n}\nb 20\nc 30\n");
}

TEST(PfMerge, CompileIntoAListAppends) {
  PfHolder list(pfnew(PFTBL));
  Pf *target = list.get();
  ASSERT_EQ(pfcompile("one\n&Arr{\n k v\n}\n", &target), 0);
  ASSERT_EQ(pfcompile("two words\n", &target), 0);
  ASSERT_EQ(pfmaxtbl(list.get()), 3);
  EXPECT_EQ(str(list.get(), "0"), "one");
  EXPECT_EQ(str(list.get(), "1{k}"), "v");
  EXPECT_EQ(str(list.get(), "2"), "two words");
}

TEST(PfMerge, LayeringOfDefaultsUnderAnEntry) {
  // How a connection's object is built: the direction first, then the read
  // defaults with the shared defaults compiled over them, then the entry.
  auto file = compile(
      "connections_defaults &Arr{\n"
      "  shared &Arr{\n    run true\n    match .*\n  }\n"
      "  read &Arr{\n    run false\n    reject ^X\n    too_old 3600\n  }\n"
      "}\n"
      "connections &List{\n  &Arr{\n    name r1\n    too_old 60\n    read_from_tarnname :7000\n  "
      "}\n}\n");
  ASSERT_TRUE(file);
  Pf *shared = nullptr;
  Pf *read = nullptr;
  ASSERT_EQ(pfresolve(file.get(), "connections_defaults{shared}", 0, &shared), PFARR);
  ASSERT_EQ(pfresolve(file.get(), "connections_defaults{read}", 0, &read), PFARR);
  std::string s = toText(shared);
  PfHolder readCopy(pfdup(read));
  Pf *rc = readCopy.get();
  ASSERT_EQ(pfcompile(s.c_str(), &rc), 0);
  std::string r = toText(readCopy.get());
  Pf *entry = nullptr;
  ASSERT_EQ(pfget(file.get(), "connections{0}", &entry), PFARR);
  std::string e = toText(entry);

  PfHolder conn(pfnew(PFARR));
  Pf *c = conn.get();
  pfput_string(c, "direction", "read");
  ASSERT_EQ(pfcompile(r.c_str(), &c), 0);
  ASSERT_EQ(pfcompile(e.c_str(), &c), 0);
  EXPECT_EQ(toText(conn.get()),
            "direction read\nrun true\nreject ^X\ntoo_old 60\nmatch .*\n"
            "name r1\nread_from_tarnname :7000\n");
  EXPECT_EQ(str(read, "run"), "false");  // the file's own objects are untouched
}

}  // namespace
