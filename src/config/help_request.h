// What the relay's command line asks before anything is configured: the
// usage text (--help or -h) or the version (--version), and the usage text
// itself, which a wrong command line also shows.
//
// Pure functions: safe from any thread.
#pragma once

#include <string>

enum class HelpRequest { kNone, kHelp, kVersion };

// --help, -h or --version among the options, read as the relay reads its
// options: up to the first argument that is not an option (or "--"), with
// the values of -m, -p, -r, -S and -t passed over ("-p -h" names the
// parameter file "-h"). The first one found wins.
HelpRequest helpRequest(int argc, char **argv);

// "Usage:", an empty line, then the two syntaxes; no newline at the end.
std::string relayUsageText();
