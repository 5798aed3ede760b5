// The tarn tool's subcommands. Each takes the arguments after its name and
// returns the exit status. To add one, write tarn_NAME.cc with its run
// function and add it to kCommands in tarn_main.cc.
#pragma once

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

struct Command {
  const char *name;
  int (*run)(const Args &);
  const char *usage;  // one or more lines, each starting "tarn NAME"
};

}  // namespace tarntool
