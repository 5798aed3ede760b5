// tarn import --follow DIR [--state FILE] [--match PATTERN] TARN: follows a
// folder of files that writers append miniSEED records to, and puts every
// whole record onto a tarn server once (follower.h says how).
#include <libgen.h>
#include <limits.h>
#include <stdlib.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "platform/tarnclient/tarnclient.h"
#include "tools/folder_watch.h"
#include "tools/follow_state.h"
#include "tools/follower.h"
#include "tools/tarn_commands.h"
#include "tools/tool_support.h"

namespace tarntool {
namespace {

const char *const kUsage =
    "usage: tarn import --follow DIR [--state FILE] [--match PATTERN] TARN\n"
    "  follows the files of DIR (those whose name matches the shell PATTERN) and puts every\n"
    "  whole miniSEED record appended to them once; what is taken of each file is kept in\n"
    "  FILE (default DIR/.tarn-import.state)\n";

struct FollowOptions {
  std::string tarn, folder, state, match;
};

bool parseArgs(const Args &args, FollowOptions &o, std::string &err) {
  for (size_t i = 0; i < args.size() && err.empty(); ++i) {
    const std::string &a = args[i];
    std::string *value = a == "--follow"  ? &o.folder
                         : a == "--state" ? &o.state
                         : a == "--match" ? &o.match
                                          : nullptr;
    if (value && i + 1 >= args.size()) {
      err = a + " needs a value";
    } else if (value) {
      *value = args[++i];
      if (value->empty()) err = a + " needs a value";
    } else if (a.size() > 1 && a[0] == '-') {
      err = a == "--rate" || a == "--realtime" ? a + " does not go with --follow"
                                               : "unknown option " + a;
    } else if (o.tarn.empty()) {
      o.tarn = a;
    } else {
      err = "--follow takes a folder, not files ('" + a + "')";
    }
  }
  if (!err.empty()) return false;
  if (o.tarn.empty())
    err = "no TARN given";
  else
    err = tarnNameError(o.tarn);
  return err.empty();
}

// The folder's absolute name, or "" with the reason.
std::string absoluteFolder(const std::string &folder, std::string &err) {
  char resolved[PATH_MAX];
  if (!realpath(folder.c_str(), resolved)) {
    err = "cannot follow '" + folder + "': " + std::strerror(errno);
    return "";
  }
  return resolved;
}

// The folder the state file lies in, resolved, and its name there.
std::pair<std::string, std::string> placeOf(const std::string &path) {
  std::string copy = path, copy2 = path;
  char resolved[PATH_MAX];
  std::string dir = realpath(dirname(copy.data()), resolved) ? resolved : "";
  return {dir, basename(copy2.data())};
}

}  // namespace

int runImportFollow(const Args &args) {
  catchInterrupts();
  if (showsHelp(args, kUsage)) return 0;
  FollowOptions o;
  std::string err;
  if (!parseArgs(args, o, err)) {
    std::fprintf(stderr, "tarn import: %s\n%s", err.c_str(), kUsage);
    return 2;
  }
  std::string folder = absoluteFolder(o.folder, err);
  if (folder.empty()) {
    std::fprintf(stderr, "tarn import: %s\n", err.c_str());
    return 1;
  }
  if (o.state.empty()) o.state = folder + "/.tarn-import.state";
  FolderWatch watch(folder, o.match);
  auto [stateFolder, stateName] = placeOf(o.state);
  if (stateFolder == folder) {
    for (const char *suffix : {"", ".lock", ".tmp"}) watch.ignore(stateName + suffix);
  }
  FollowState state(o.state, folder);
  err = state.open();
  if (!err.empty()) {
    std::fprintf(stderr, "tarn import: %s\n", err.c_str());
    return 1;
  }
  int fd = tarnopen(o.tarn.c_str(), "w&");
  if (fd < 0) {
    std::fprintf(stderr, "tarn import: cannot reach tarn '%s'\n", o.tarn.c_str());
    return 1;
  }
  Follower follower(o.tarn, folder, state, watch, fd);
  bool whole = follower.run();
  // Whatever is still unacknowledged was numbered and saved: it goes again
  // at the next start.
  if (tarnclose(fd) != 0) whole = false;
  return whole ? 0 : 1;
}

}  // namespace tarntool
