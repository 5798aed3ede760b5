// Keys the relay does not read: one warning each at start-up, naming the key
// and its table and, when one is near, the key it was probably meant to be;
// the relay still configures. A file of known keys warns nothing.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "config/relay_config.h"
#include "config/unknown_keys.h"
#include "output_capture.h"
#include "process.h"
#include "relay_pf.h"

namespace {

using testsupport::connectionEntry;
using testsupport::RelayPf;

size_t countOf(const std::string &text, const std::string &piece) {
  size_t n = 0;
  for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++n;
  return n;
}

class UnknownKeys : public ::testing::Test {
 protected:
  void SetUp() override {
    saved = getcwd(nullptr, 0);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
  }
  void TearDown() override {
    RelayCnf = nullptr;
    if (saved) {
      EXPECT_EQ(chdir(saved), 0);
      free(saved);
    }
  }
  // The standard error of configuring `text` as the parameter file.
  std::string configure(const std::string &text,
                        std::vector<std::string> args = {"t1", "a:1", "t2", "b:2"}) {
    testsupport::writeFile(dir.file("relay.pf"), text);
    args.insert(args.begin(), {"tarn2tarn_pre", "-p", "relay", "-t", "relay1"});
    static auto *kept = new std::vector<std::vector<std::string>>;  // argv outlives the config
    kept->push_back(args);
    std::vector<char *> argv;
    for (auto &a : kept->back()) argv.push_back(a.data());
    argv.push_back(nullptr);
    // The configuration lives on, as in the relay, where the leak check
    // still finds it.
    static auto *configs = new std::vector<RelayConfig *>;
    configs->push_back(new RelayConfig());
    RelayCnf = configs->back();
    RelayCnf->nameThread("master");
    testcapture::OutputCapture capture;
    RelayCnf->configure(static_cast<int>(args.size()), argv.data());
    capture.stop();
    return capture.err();
  }

  testsupport::TempDir dir;
  char *saved = nullptr;
};

TEST_F(UnknownKeys, EachTableWarnsOnceWithTheNearestKey) {
  RelayPf pf;
  pf.connections =
      connectionEntry("name in\nread_from_tarnname a:1\nwrite_to_queue q\ntoo_odl 5\n") +
      connectionEntry("write_to_tarnname b:2\nread_from_queue q\nname out\nmax_queeu 9\n") +
      connectionEntry("name auto\nwrite_to_tarnname b:2\nread_from_queue q\ncolour blue\n");
  pf.shared += "rnu true\n";
  pf.read += "startime\n";
  pf.write += "max_queue_bytes 1M\nwrite_to_tarnnam\n";
  pf.status = "run false\nwrite_to_queu\n";
  pf.timing += "pfstatusreprot 5\n";
  std::string text = pf.text() + "conections &List{\n}\ntime_interval_sec &Arr{\n}\n";
  std::string err = configure(text);
  for (const char *warning :
       {"Unknown key 'too_odl' in connection 'in' (connections #0) (ignored); did you mean "
        "'too_old'?",
        "Unknown key 'max_queeu' in connection 'out' (connections #1) (ignored); did you mean "
        "'max_queue'?",
        "Unknown key 'colour' in connection 'auto' (connections #2) (ignored)\n",
        "Unknown key 'rnu' in connections_defaults{shared} (ignored); did you mean 'run'?",
        "Unknown key 'startime' in connections_defaults{read} (ignored); did you mean "
        "'starttime'?",
        "Unknown key 'write_to_tarnnam' in connections_defaults{write} (ignored); did you mean "
        "'write_to_tarnname'?",
        "Unknown key 'write_to_queu' in connections_special{status_create} (ignored); did you "
        "mean 'write_to_queue'?",
        "Unknown key 'pfstatusreprot' in time_intervals_sec (ignored); did you mean "
        "'pfstatusreport'?",
        "Unknown key 'conections' at the top level (ignored); did you mean 'connections'?",
        "Unknown key 'time_interval_sec' at the top level (ignored); did you mean "
        "'time_intervals_sec'?"}) {
    EXPECT_EQ(countOf(err, warning), 1u) << warning << "\n" << err;
  }
  EXPECT_EQ(countOf(err, "Warning: parameter file 'relay': Unknown key"), 10u) << err;
  // Ignored: the relay configures all the same.
  EXPECT_EQ(RelayCnf->getConnections().size(), 3u);
}

TEST_F(UnknownKeys, KnownKeysOfEveryKindWarnNothing) {
  RelayPf pf;
  pf.connections = connectionEntry("name in\nread_from_tarntag t1\nwrite_to_queue q\n") +
                   connectionEntry("name out\nwrite_to_tarntag t2\nread_from_queue q\n");
  pf.write += "max_queue 10\nmax_queue_bytes 1M\n";
  pf.timing += "unclaimed_position_lifetime 60\n";
  EXPECT_EQ(configure(pf.text()), "");
}

TEST_F(UnknownKeys, LegacyFileKeysAreKnownAndOthersWarned) {
  std::string err =
      configure("too_old 5\ncheck_unstuf yes\nwait_match x\nlag_reset 1\n", {"a:1", "b:2"});
  EXPECT_EQ(countOf(err, "Unknown key"), 1u) << err;
  EXPECT_NE(err.find("Warning: parameter file 'relay': Unknown key 'check_unstuf' at the top level "
                     "(ignored); did you mean 'check_unstuff'?"),
            std::string::npos)
      << err;
}

TEST(ClosestKey, OnlyNearKeysAreSuggested) {
  std::vector<std::string> known = {"run", "match", "reject", "too_old", "too_new"};
  EXPECT_EQ(closestKey("rnu", known), "run");  // a swap is one edit
  EXPECT_EQ(closestKey("ru", known), "run");
  EXPECT_EQ(closestKey("fun", known), "run");
  EXPECT_EQ(closestKey("xyz", known), "");  // three edits from "run"
  EXPECT_EQ(closestKey("too_odl", known), "too_old");
  EXPECT_EQ(closestKey("rejcetion", known), "");  // too far off
  EXPECT_EQ(closestKey(std::string(1 << 20, 'r'), known), "");
  EXPECT_EQ(closestKey("run", {}), "");
}

}  // namespace
