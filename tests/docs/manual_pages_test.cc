// The manual pages: they format without warnings, and what the relay's page
// names (options, parameter-file keys, messages) is what the relay has.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

#include "doc_support.h"

using namespace doctest_support;
using testsupport::readFile;

namespace {

const char *const kPages[] = {"tarn2tarn_pre.1", "tarnserver.1", "tarn.1"};

std::string relayPage() { return readFile(sourcePath("docs/man/tarn2tarn_pre.1")); }

// What `tarn2tarn_pre -x` writes: the usage text on standard error.
std::string relayUsage() {
  testsupport::ProcessResult r =
      testsupport::runProgram({testsupport::programPath("tarn2tarn_pre"), "-x"});
  EXPECT_EQ(r.exitStatus, 255) << r.err;
  EXPECT_NE(r.err.find("Usage:"), std::string::npos) << r.err;
  return r.err;
}

}  // namespace

// Each built page, as `man -l` shows it to a reader: no warning from the
// formatter, a NAME line, and every section in the expected order.
TEST(ManualPages, FormatWithoutWarnings) {
  if (!haveProgram("man") || !haveProgram("groff")) GTEST_SKIP() << "man or groff is not installed";
  for (const char *page : kPages) {
    SCOPED_TRACE(page);
    std::string path = buildPath(std::string("man/man1/") + page);
    ASSERT_FALSE(readFile(path).empty()) << "the build did not produce " << path;
    testsupport::ProcessResult shown = shell("MANWIDTH=80 man --warnings -l " + shellQuote(path));
    EXPECT_EQ(shown.exitStatus, 0);
    EXPECT_EQ(shown.err, "");
    EXPECT_NE(shown.out.find("NAME"), std::string::npos);
    EXPECT_NE(shown.out.find("EXIT STATUS"), std::string::npos);
    // groff's own check, with every warning on.
    testsupport::ProcessResult checked = shell("groff -man -ww -z " + shellQuote(path));
    EXPECT_EQ(checked.exitStatus, 0);
    EXPECT_EQ(checked.err, "");
  }
}

// The built pages are the source pages: an edit of a source reaches the build.
TEST(ManualPages, BuildCopiesTheSources) {
  for (const char *page : kPages) {
    EXPECT_EQ(readFile(buildPath(std::string("man/man1/") + page)),
              readFile(sourcePath(std::string("docs/man/") + page)))
        << page;
  }
}

// The synopsis of each syntax names exactly the options that the relay's
// usage text gives for it, with the same argument names, and so does the
// list of options.
TEST(RelayPage, OptionsMatchTheUsageText) {
  std::string usage = relayUsage();
  size_t legacyAt = usage.find("[LEGACY SYNTAX]");
  ASSERT_NE(legacyAt, std::string::npos) << usage;
  std::set<std::string> currentUsage = usageOptions(usage.substr(0, legacyAt));
  std::set<std::string> legacyUsage = usageOptions(usage.substr(legacyAt));
  ASSERT_EQ(currentUsage, (std::set<std::string>{"-v", "-p pf", "-S statefile", "-t targetname"}));
  ASSERT_EQ(legacyUsage.size(), 6u);

  std::string synopsis = section(relayPage(), ".SH SYNOPSIS", ".SH DESCRIPTION");
  size_t legacyPage = synopsis.find("Legacy syntax:");
  ASSERT_NE(legacyPage, std::string::npos);
  EXPECT_EQ(manSynopsisOptions(synopsis.substr(0, legacyPage)), currentUsage);
  EXPECT_EQ(manSynopsisOptions(synopsis.substr(legacyPage)), legacyUsage);

  // The arguments of both syntaxes, word for word.
  for (const char *word : {"tarntag", "tarnname"}) {
    EXPECT_NE(usage.substr(0, legacyAt).find(word), std::string::npos) << word;
    EXPECT_NE(synopsis.substr(0, legacyPage).find(word), std::string::npos) << word;
  }
  for (const char *word : {"tarnin", "tarnout", "start-time", "period", "end-time"}) {
    EXPECT_NE(usage.substr(legacyAt).find(word), std::string::npos) << word;
    EXPECT_NE(synopsis.substr(legacyPage).find(word), std::string::npos) << word;
  }

  // OPTIONS: one entry (".BI \-p " pf"" or ".B \-v") per option of either syntax.
  std::string options = section(relayPage(), ".SH OPTIONS", ".SH \"PARAMETER FILE\"");
  std::set<std::string> listed;
  static const std::regex entry(R"re(\.TP\n\.BI? \\-([A-Za-z])(?: " ([^"\n]+)")?)re");
  for (std::sregex_iterator it(options.begin(), options.end(), entry), end; it != end; ++it) {
    listed.insert("-" + (*it)[1].str() + ((*it)[2].matched ? " " + (*it)[2].str() : ""));
  }
  std::set<std::string> all = currentUsage;
  all.insert(legacyUsage.begin(), legacyUsage.end());
  EXPECT_EQ(listed, all);
}

// Every parameter-file key the page describes is one the configuration code
// reads: each part of a path such as connections_special{log_create}{run}
// stands in a string literal of the configuration sources, whole.
TEST(RelayPage, ParameterKeysAreReadByTheConfiguration) {
  std::string page = relayPage();
  std::vector<std::string> keys = taggedTerms(section(page, ".SH \"PARAMETER FILE\"", ".SH TIMES"));
  std::vector<std::string> legacyKeys =
      taggedTerms(section(page, ".SS Legacy syntax", ".SH OPTIONS"));
  ASSERT_GE(keys.size(), 28u);
  ASSERT_EQ(legacyKeys, (std::vector<std::string>{"too_old", "too_new", "check_unstuff"}));
  keys.insert(keys.end(), legacyKeys.begin(), legacyKeys.end());

  std::string literals =
      stringLiterals(sourcePath("src/config")) + stringLiterals(sourcePath("src/endpoints"));
  ASSERT_FALSE(literals.empty());
  for (const std::string &key : keys) {
    std::string rest = key;
    std::smatch part;
    static const std::regex component(R"(^\{?([a-z_]+)\}?)");
    while (!rest.empty() && std::regex_search(rest, part, component)) {
      std::regex inLiteral("[\"{]" + part[1].str() + "[\"{}]");
      EXPECT_TRUE(std::regex_search(literals, inLiteral))
          << "'" << part[1] << "' of '" << key << "'";
      rest = part.suffix();
    }
  }
}

// The page and the parameter-file guide describe the same connection keys.
TEST(RelayPage, ConnectionKeysMatchTheGuide) {
  std::vector<std::string> pageKeys =
      taggedTerms(section(relayPage(), ".SS Connection keys", ".SS Defaults and layering"));
  std::set<std::string> page(pageKeys.begin(), pageKeys.end());
  std::string guide = section(readFile(sourcePath("docs/parameter-files.md")),
                              "### Connection keys", "### Direction");
  std::set<std::string> documented;
  static const std::regex row(R"(\n\| `([a-z_]+)` \|)");
  for (std::sregex_iterator it(guide.begin(), guide.end(), row), end; it != end; ++it)
    documented.insert((*it)[1]);
  ASSERT_GE(documented.size(), 17u);
  EXPECT_EQ(page, documented);
}

// Messages the page quotes are messages the relay writes, and the source
// names of its status and log packets are the suffixes its packets get.
TEST(RelayPage, QuotedMessagesExistInTheCode) {
  std::string literals;
  for (const char *folder : {"src/app", "src/base", "src/config", "src/connection", "src/endpoints",
                             "src/managers", "src/tarn", "src/platform/statefile"}) {
    literals += stringLiterals(sourcePath(folder));
  }
  for (const char *message :
       {"Configuration error: ", "Flushing queue",
        "Second termination signal received: exiting now",
        "Shutdown grace period of %d seconds expired: exiting now",
        "Read positions saved to statefile '", "' before exiting", "tarn2tarn_pre read positions",
        "Fatal: ", "shutting down", "\"pf/st\"", "\"log\"",
        "Usage:", ": they will be read again when the relay restarts on its statefile",
        "Configuration error: cannot use statefile (-S): ", "' is in use by another relay (",
        "Unknown key '", "; did you mean '"}) {
    EXPECT_NE(literals.find(message), std::string::npos) << message;
  }
  std::string page = relayPage();
  for (const char *quoted :
       {"Configuration error:", "Flushing queue", "Second termination signal received: exiting now",
        "Shutdown grace period of 15 seconds expired: exiting now",
        "tarn2tarn_pre read positions 3",
        "they will be read again when the relay restarts on its statefile",
        "Configuration error: cannot use statefile (-S): statefile '",
        "Unknown key 'pfstatusreprot' in time_intervals_sec (ignored); did you mean"}) {
    EXPECT_NE(page.find(quoted), std::string::npos) << quoted;
  }
}

// --version of every program: the name and the project's version; a value
// given to it is refused.
TEST(ProgramPages, VersionIsTheProjectsVersion) {
  for (const char *program : {"tarn", "tarnserver", "tarn2tarn_pre"}) {
    testsupport::ProcessResult r =
        testsupport::runProgram({testsupport::programPath(program), "--version"});
    EXPECT_EQ(r.exitStatus, 0) << program;
    EXPECT_EQ(r.out, std::string(program) + " (tarn2tarn_pre) " RELAY_VERSION "\n");
    EXPECT_NE(readFile(sourcePath(std::string("docs/man/") + program + ".1")).find("\\-\\-version"),
              std::string::npos)
        << program;
  }
  testsupport::ProcessResult r =
      testsupport::runProgram({testsupport::programPath("tarnserver"), "--version=2"});
  EXPECT_EQ(r.exitStatus, 2);
  EXPECT_NE(r.err.find("option --version takes no value"), std::string::npos) << r.err;
}

// --help and -h of the relay, also after other options, write the usage
// text on standard output and start nothing; the page shows all three.
TEST(RelayPage, HelpWritesTheUsageTextAndStartsNothing) {
  std::string usage = relayUsage();
  std::string text = usage.substr(usage.find("Usage:"));
  text = text.substr(0, text.find_last_not_of('\n') + 1) + "\n";
  for (std::vector<std::string> args :
       {std::vector<std::string>{"--help"}, {"-h"}, {"-v", "-p", "x.pf", "-h"}, {"-vh"}}) {
    args.insert(args.begin(), testsupport::programPath("tarn2tarn_pre"));
    testsupport::ProcessResult r = testsupport::runProgram(args);
    EXPECT_EQ(r.exitStatus, 0) << args.back();
    EXPECT_EQ(r.out, text) << args.back();
    EXPECT_EQ(r.err, "") << args.back();
  }
  // "-p -h" names a parameter file: no help, the file is looked for.
  testsupport::ProcessResult r =
      testsupport::runProgram({testsupport::programPath("tarn2tarn_pre"), "-p", "-h"});
  EXPECT_EQ(r.exitStatus, 255);
  EXPECT_NE(r.err.find("Failed to find parameter-file '-h'"), std::string::npos) << r.err;
  std::string synopsis = section(relayPage(), ".SH SYNOPSIS", ".SH DESCRIPTION");
  EXPECT_NE(synopsis.find(".BR \\-h \" | \" \\-\\-help \" | \" \\-\\-version"),
            std::string::npos)
      << synopsis;
}

// The tarnserver page lists every option of the server's usage text, which
// --help writes on standard output.
TEST(ServerPage, OptionsMatchTheUsageText) {
  testsupport::ProcessResult r =
      testsupport::runProgram({testsupport::programPath("tarnserver"), "--help"});
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(r.err, "");
  std::set<std::string> usage = usageOptions(r.out);
  std::string synopsis =
      section(readFile(sourcePath("docs/man/tarnserver.1")), ".SH SYNOPSIS", ".SH DESCRIPTION");
  std::set<std::string> page;
  for (const std::string &option : manSynopsisOptions(synopsis)) {
    page.insert(option.substr(0, 2) + (option.size() > 2 ? " " +
                                                               [&] {
                                                                 std::string arg = option.substr(3);
                                                                 std::transform(
                                                                     arg.begin(), arg.end(),
                                                                     arg.begin(), ::toupper);
                                                                 return arg;
                                                               }()
                                                         : ""));
  }
  ASSERT_GE(usage.size(), 7u);
  EXPECT_EQ(page, usage);
}

// The tarn page describes each command of the tool, and each command's
// options as its usage text gives them.
TEST(ToolPage, CommandsAndOptionsMatchTheUsageText) {
  testsupport::ProcessResult r =
      testsupport::runProgram({testsupport::programPath("tarn"), "--help"});
  EXPECT_EQ(r.exitStatus, 0);
  std::string page = readFile(sourcePath("docs/man/tarn.1"));
  for (const char *command : {"put", "gen", "import", "tail", "stat", "status", "monitor"}) {
    EXPECT_NE(r.out.find(std::string("tarn ") + command), std::string::npos) << command;
    // Each command's own usage text, also after its other arguments.
    testsupport::ProcessResult own =
        testsupport::runProgram({testsupport::programPath("tarn"), command, "host:1", "--help"});
    EXPECT_EQ(own.exitStatus, 0) << command;
    EXPECT_EQ(own.out.rfind(std::string("usage: tarn ") + command, 0), 0u) << own.out;
    EXPECT_NE(page.find(std::string(".SS \"tarn ") + command + "\""), std::string::npos) << command;
  }
  static const std::regex option(R"(\[(--?[a-z]+))");
  for (std::sregex_iterator it(r.out.begin(), r.out.end(), option), end; it != end; ++it) {
    std::string name = (*it)[1];
    std::string roff = std::regex_replace(name, std::regex("-"), "\\-");
    bool described = false;
    for (const char *macro : {"\n.B ", "\n.BI ", "\n.BR "}) {
      for (const char *after : {" ", "\n"})
        described |= page.find(macro + roff + after) != std::string::npos;
    }
    EXPECT_TRUE(described) << name;
  }
}
