// pfread: where it looks for a file, what it answers for missing, broken and
// unreadable files, and what it logs.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "pf_test_util.h"
#include "process.h"

namespace {

using pftest::drainLog;
using pftest::str;
using testsupport::TempDir;
using testsupport::writeFile;

// Runs each test inside a fresh folder with PFPATH unset, and puts both back.
class PfRead : public ::testing::Test {
 protected:
  void SetUp() override {
    char buffer[4096];
    ASSERT_NE(getcwd(buffer, sizeof buffer), nullptr);
    oldCwd_ = buffer;
    if (const char *p = std::getenv("PFPATH")) oldPfpath_ = p, hadPfpath_ = true;
    unsetenv("PFPATH");
    ASSERT_EQ(chdir(dir_.path().c_str()), 0);
    drainLog();
  }
  void TearDown() override {
    EXPECT_EQ(chdir(oldCwd_.c_str()), 0);
    if (hadPfpath_) {
      setenv("PFPATH", oldPfpath_.c_str(), 1);
    } else {
      unsetenv("PFPATH");
    }
  }

  std::string mkdirIn(const std::string &name) {
    std::string path = dir_.file(name);
    EXPECT_EQ(mkdir(path.c_str(), 0755), 0);
    return path;
  }

  // The value of "from" in the file pfread finds for `name`.
  std::string whichFile(const char *name) {
    Pf *pf = nullptr;
    int rc = pfread(name, &pf);
    if (rc != 0) return "rc " + std::to_string(rc);
    return str(pf, "from");
  }

  TempDir dir_;
  std::string oldCwd_;
  std::string oldPfpath_;
  bool hadPfpath_ = false;
};

TEST_F(PfRead, FindsTheNameThenTheNameWithPfInTheCurrentFolder) {
  writeFile(dir_.file("relay.pf"), "from relay.pf\n");
  EXPECT_EQ(whichFile("relay"), "relay.pf");
  EXPECT_EQ(whichFile("relay.pf"), "relay.pf");
  writeFile(dir_.file("relay"), "from relay\n");
  EXPECT_EQ(whichFile("relay"), "relay");
  mkdirIn("folder");
  writeFile(dir_.file("folder.pf"), "from folder.pf\n");
  EXPECT_EQ(whichFile("folder"), "folder.pf");  // a folder is not a parameter file
}

TEST_F(PfRead, SearchesPfpathAfterTheCurrentFolder) {
  std::string a = mkdirIn("a");
  std::string b = mkdirIn("b");
  writeFile(b + "/x.pf", "from b/x.pf\n");
  writeFile(b + "/y", "from b/y\n");
  writeFile(a + "/y.pf", "from a/y.pf\n");
  setenv("PFPATH", ("/nonexistent::" + a + ":" + b + "/").c_str(), 1);
  EXPECT_EQ(whichFile("x"), "b/x.pf");
  EXPECT_EQ(whichFile("y"), "a/y.pf");  // folder by folder, each with both names
  writeFile(dir_.file("x"), "from here\n");
  EXPECT_EQ(whichFile("x"), "here");
  EXPECT_EQ(whichFile("z"), "rc -1");
  EXPECT_EQ(whichFile((b + "/x").c_str()), "b/x.pf");
  EXPECT_EQ(whichFile("/x"), "rc -1");  // an absolute name is not searched for
}

TEST_F(PfRead, MissingFileIsMinusOne) {
  Pf *pf = reinterpret_cast<Pf *>(&dir_);
  EXPECT_EQ(pfread("absent", &pf), -1);
  EXPECT_EQ(pf, nullptr);
  EXPECT_EQ(pfread("", &pf), -1);
  EXPECT_EQ(pfread(nullptr, &pf), -1);
}

TEST_F(PfRead, BrokenFileNamesTheFileAndTheLine) {
  writeFile(dir_.file("x.pf"),
            "a 1\n"
            "b &Arr{\n"
            "  c 2\n"
            "}\n"
            "}\n");
  Pf *pf = nullptr;
  int rc = pfread("x", &pf);
  EXPECT_LT(rc, 0);
  EXPECT_NE(rc, -1);
  EXPECT_EQ(pf, nullptr);
  EXPECT_EQ(elog_mark(), 1);
  EXPECT_EQ(drainLog(), "file x.pf line 5: '}' closes nothing");

  std::string sub = mkdirIn("sub");
  writeFile(sub + "/y.pf", "l &List{\n  a\n");
  setenv("PFPATH", sub.c_str(), 1);
  EXPECT_EQ(pfread("y", &pf), -2);
  EXPECT_EQ(drainLog(),
            "file " + sub + "/y.pf line 1: '&List{' is never closed (a '}' is missing)");
}

TEST_F(PfRead, BinaryFileDoesNotParse) {
  writeFile(dir_.file("bin"), std::string("a 1\nb \0\x01\x02\n", 10));
  Pf *pf = nullptr;
  EXPECT_EQ(pfread("bin", &pf), -2);
  EXPECT_NE(drainLog().find("file bin line 2: holds a NUL byte"), std::string::npos);
}

TEST_F(PfRead, FifoIsRefusedWithoutBlocking) {
  ASSERT_EQ(mkfifo(dir_.file("pipe.pf").c_str(), 0600), 0);
  Pf *pf = nullptr;
  EXPECT_EQ(pfread("pipe", &pf), -3);
  EXPECT_EQ(drainLog(), "file pipe.pf: not a regular file");
}

TEST_F(PfRead, RereadingGivesTheSameObjectUntilTheFileChanges) {
  writeFile(dir_.file("x.pf"), "v 1\n");
  Pf *first = nullptr;
  Pf *again = nullptr;
  ASSERT_EQ(pfread("x", &first), 0);
  ASSERT_EQ(pfread("x", &again), 0);
  EXPECT_EQ(first, again);
  writeFile(dir_.file("x.pf"), "v 2\n");
  Pf *second = nullptr;
  ASSERT_EQ(pfread("x", &second), 0);
  EXPECT_NE(second, first);
  EXPECT_EQ(str(first, "v"), "1");  // still valid for whoever holds it
  EXPECT_EQ(str(second, "v"), "2");
}

TEST_F(PfRead, ThreadsMayReadAtOnce) {
  writeFile(dir_.file("x.pf"), "v &List{\n a\n b\n}\n");
  std::vector<std::thread> threads;
  std::vector<int> lengths(4, -1);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&lengths, t] {
      for (int i = 0; i < 50; ++i) {
        Pf *pf = nullptr;
        if (pfread("x", &pf) != 0) return;
        Pf *v = nullptr;
        pfget(pf, "v", &v);
        lengths[t] = pfmaxtbl(v);
      }
    });
  }
  for (auto &t : threads) t.join();
  EXPECT_EQ(lengths, std::vector<int>(4, 2));
}

}  // namespace
