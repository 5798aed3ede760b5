#include "config/help_request.h"

#include <cstring>

namespace {

// The relay's options that take a value.
bool takesValue(char option) { return option != '\0' && std::strchr("mprSt", option) != nullptr; }

}  // namespace

HelpRequest helpRequest(int argc, char **argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (word == "--help") return HelpRequest::kHelp;
    if (word == "--version") return HelpRequest::kVersion;
    if (word == "--" || word.size() < 2 || word[0] != '-' || word[1] == '-') {
      return HelpRequest::kNone;
    }
    // A cluster such as "-vh" or "-vpfile": each letter until one that
    // takes a value, whose value is the rest or the next argument.
    for (size_t at = 1; at < word.size(); ++at) {
      if (word[at] == 'h') return HelpRequest::kHelp;
      if (takesValue(word[at])) {
        if (at + 1 == word.size()) ++i;
        break;
      }
    }
  }
  return HelpRequest::kNone;
}

std::string relayUsageText() {
  const std::string indent = "\t            ";
  return "Usage:\n"
         "\n"
         "[CURRENT SYNTAX]\n"
         "\n"
         "\ttarn2tarn_pre [-v]\n" +
         indent + "[-p pf]\n" + indent + "[-S statefile]\n" + indent +
         "[-t targetname] \t[[tarntag tarnname] ...]\n"
         "\n"
         "[LEGACY SYNTAX]\n"
         "\n"
         "\ttarn2tarn_pre [-v]\n" +
         indent + "[-m match]\n" + indent + "[-p pf]\n" + indent + "[-r reject]\n" + indent +
         "[-S statefile]\n" + indent +
         "[-t targetname] \ttarnin tarnout [start-time [period|end-time]]";
}
