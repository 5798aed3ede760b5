// The tarn tool's subcommands. Each takes the arguments after its name and
// returns the exit status. To add one, write tarn_NAME.cc with its run
// function and add it to kCommands in tarn_main.cc.
#pragma once

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace tarntool {

using Args = std::vector<std::string>;

int runPut(const Args &args);
int runTail(const Args &args);
int runStat(const Args &args);
int runGen(const Args &args);
int runStatus(const Args &args);
int runMonitor(const Args &args);
int runImport(const Args &args);
// tarn import --follow (tarn_follow.cc).
int runImportFollow(const Args &args);

// With --help or -h among the arguments: prints the command's usage on
// standard output and returns true; the command then ends with status 0.
inline bool showsHelp(const Args &args, const char *usage) {
  auto asks = [](const std::string &a) { return a == "--help" || a == "-h"; };
  if (std::none_of(args.begin(), args.end(), asks)) return false;
  std::fputs(usage, stdout);
  return true;
}

struct Command {
  const char *name;
  int (*run)(const Args &);
  const char *usage;  // one or more lines, each starting "tarn NAME"
};

}  // namespace tarntool
