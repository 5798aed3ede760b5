// The documents' examples run as shown: every parameter text they show
// parses, every relay parameter file among them configures the relay, and
// every relay command line is read in the syntax its document claims. A block
// whose introducing paragraph starts with "Legacy" claims the legacy syntax;
// every other block the current one.
//
// Every path and port of the documents is the test's own (Localizer), so
// that a relay someone runs by following them meanwhile is not in the way.
//
// The relay is configured in a child process (configure() ends the process
// on a mistake), which reports the syntax it decided on by its exit status.
#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <regex>

#include "config/relay_config.h"
#include "doc_support.h"
#include "platform/pf/pf.h"
#include "relay_pf.h"

using namespace doctest_support;

namespace {

constexpr int kCurrent = 10;
constexpr int kLegacy = 11;
constexpr int kUnknownKeys = 12;  // configured, with a warning about a key

std::vector<std::string> filesIn(const std::string &relative, const std::string &suffix) {
  std::vector<std::string> files;
  if (DIR *dir = opendir(sourcePath(relative).c_str())) {
    while (struct dirent *entry = readdir(dir)) {
      std::string name = entry->d_name;
      if (name.size() > suffix.size() &&
          name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
        files.push_back(relative + "/" + name);
      }
    }
    closedir(dir);
  }
  return files;
}

// The README, the guides and the manual pages.
std::vector<Example> allExamples() {
  std::vector<Example> all = markdownExamples("README.md");
  for (const std::string &file : filesIn("docs", ".md")) {
    for (Example &e : markdownExamples(file)) all.push_back(e);
  }
  for (const std::string &file : filesIn("docs/man", ".1")) {
    for (Example &e : manExamples(file)) all.push_back(e);
  }
  return all;
}

bool isParameterText(const std::string &text) {
  static const std::regex opener(R"((^|\n)\s*\S+\s+&(Arr|List)\{\s*(\n|$))");
  return std::regex_search(text, opener);
}

bool isRelayFile(const std::string &text) {
  Pf *pf = nullptr;
  bool relay = pfcompile(text.c_str(), &pf) == 0 && pfhas_key(pf, "connections");
  pffree(pf);
  return relay;
}

// A relay command line: its program is tarn2tarn_pre (the first line of a
// statefile starts with that word too, and is none).
bool isRelayCommand(const std::vector<std::string> &words) {
  const std::string &program = words[0];
  bool relay = program == "tarn2tarn_pre" || program.ends_with("/tarn2tarn_pre");
  return relay && !(words.size() > 1 && words[1] == "read");
}

// Standard error of the configuring child, kept in a file of its folder
// and copied to the real one as the child ends, however it ends.
int g_standardError = -1;

std::string copyStandardError() {
  std::fflush(stderr);
  std::string text = testsupport::readFile("stderr.txt");
  if (g_standardError >= 0 && write(g_standardError, text.data(), text.size()) < 0) _exit(4);
  return text;
}

// Configures the relay from `folder` and ends the process with kCurrent or
// kLegacy, or kUnknownKeys when it warned about a key; a configuration
// mistake ends it with 255 first.
[[noreturn]] void configureAndExit(const std::string &folder, std::vector<std::string> args) {
  if (chdir(folder.c_str()) != 0 || !std::freopen("/dev/null", "w", stdout)) _exit(3);
  g_standardError = dup(2);
  if (g_standardError < 0 || !std::freopen("stderr.txt", "w", stderr)) _exit(3);
  std::atexit([] { copyStandardError(); });
  std::vector<char *> argv;
  for (std::string &arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  RelayCnf = new RelayConfig();
  RelayCnf->configure(static_cast<int>(args.size()), argv.data());
  std::fflush(nullptr);
  if (copyStandardError().find("Unknown key") != std::string::npos) _exit(kUnknownKeys);
  _exit(RelayCnf->isLegacy() ? kLegacy : kCurrent);
}

// The parameter file a command line names (-p, else the default). One of
// the source tree is copied into `dir`, localized; any other is written
// there as a stand-in of the claimed form.
void provideParameterFile(std::vector<std::string> &args, bool legacy,
                          const testsupport::TempDir &dir, Localizer &localize) {
  size_t valueAt = 0;
  for (size_t i = 1; i + 1 < args.size() && args[i].starts_with("-"); ++i) {
    if (args[i] == "-v") continue;
    if (args[i] == "-p") valueAt = i + 1;
    ++i;
  }
  std::string name = valueAt ? args[valueAt] : "tarn2tarn_pre.pf";
  if (valueAt && access(sourcePath(name).c_str(), R_OK) == 0) {
    std::string copy = dir.file(name.substr(name.rfind('/') + 1));
    testsupport::writeFile(copy, localize(testsupport::readFile(sourcePath(name))));
    args[valueAt] = copy;
  } else if (name.find('/') == std::string::npos) {
    testsupport::writeFile(dir.file(name), legacy ? "" : testsupport::kMinimalRelayPf);
  }
}

// No path outside the test's folder: a statefile of the document's, say,
// may be held by a relay someone started by following it.
bool onlyUnder(const std::vector<std::string> &args, const std::string &dir) {
  for (size_t i = 1; i < args.size(); ++i) {
    if (args[i].starts_with("/") && !args[i].starts_with(dir + "/")) return false;
  }
  return true;
}

}  // namespace

TEST(DocExamplesDeathTest, ParameterTextsParseAndRelayFilesConfigure) {
  std::vector<std::pair<std::string, std::string>> relayFiles;
  for (std::string file :
       {"examples/tarn2tarn_pre.pf", "examples/systemd/relay.pf", "examples/jetstream.pf",
        "examples/jetstream-local.pf", "examples/sds-archive.pf", "examples/seedlink-relay.pf"}) {
    relayFiles.emplace_back(file, testsupport::readFile(sourcePath(file)));
  }
  for (const Example &example : allExamples()) {
    if (!isParameterText(example.text)) continue;
    Pf *pf = nullptr;
    EXPECT_EQ(pfcompile(example.text.c_str(), &pf), 0) << example.where << ":\n" << example.text;
    pffree(pf);
    if (isRelayFile(example.text)) relayFiles.emplace_back(example.where, example.text);
  }
  ASSERT_GE(relayFiles.size(), 4u) << "the guide's and the manual page's examples were not found";
  // Every key of every file is one the relay reads, but where an example
  // says it shows one that the relay does not know.
  for (const auto &[where, text] : relayFiles) {
    testsupport::TempDir dir;
    Localizer localize(dir.path());
    testsupport::writeFile(dir.file("relay.pf"), localize(text));
    bool showsUnknown = text.find("Keys the relay does not know") != std::string::npos;
    EXPECT_EXIT(configureAndExit(dir.path(), {"tarn2tarn_pre", "-p", "relay.pf"}),
                ::testing::ExitedWithCode(showsUnknown ? kUnknownKeys : kCurrent), "")
        << where;
  }
}

TEST(DocExamplesDeathTest, RelayCommandLinesUseTheSyntaxTheyClaim) {
  int checked = 0, legacy = 0;
  for (const Example &example : allExamples()) {
    if (isParameterText(example.text)) continue;
    bool claimsLegacy = example.intro.starts_with("Legacy");
    for (std::vector<std::string> args : commandLines(example.text)) {
      if (!isRelayCommand(args)) continue;
      testsupport::TempDir dir;
      Localizer localize(dir.path());
      for (std::string &arg : args) arg = localize(arg);
      args[0] = "tarn2tarn_pre";
      provideParameterFile(args, claimsLegacy, dir, localize);
      EXPECT_TRUE(onlyUnder(args, dir.path())) << example.where;
      EXPECT_EXIT(configureAndExit(dir.path(), args),
                  ::testing::ExitedWithCode(claimsLegacy ? kLegacy : kCurrent), "")
          << example.where << " claims the " << (claimsLegacy ? "legacy" : "current")
          << " syntax:\n"
          << example.text;
      ++checked;
      legacy += claimsLegacy;
    }
  }
  EXPECT_GE(checked, 4) << "the README's and the manual page's command lines were not found";
  EXPECT_GE(legacy, 1);
}
