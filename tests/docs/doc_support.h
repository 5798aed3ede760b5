// Helpers of the documentation tests: reading the project's files, running
// shell commands, and pulling names out of manual pages and usage texts.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include "process.h"

namespace doctest_support {

// A file of the source tree or of the build tree, by its relative path.
std::string sourcePath(const std::string &relative);
std::string buildPath(const std::string &relative);

// Runs `command` with /bin/sh, bounded to `seconds`.
testsupport::ProcessResult shell(const std::string &command, int seconds = 60);
// True when `program` is found on PATH.
bool haveProgram(const std::string &program);
// `text` with each ' replaced so that it can stand inside '...' in sh.
std::string shellQuote(const std::string &text);

// The lines of a manual page from the line that starts `from` up to, not
// including, the next line that starts with `to` (to the end when empty).
std::string section(const std::string &page, const std::string &from, const std::string &to);

// The options of a synopsis in man macros ("[ \-p" then ".IR pf ]") or of a
// usage text ("[-p pf]"), each as "-p pf" or "-v".
std::set<std::string> manSynopsisOptions(const std::string &roff);
std::set<std::string> usageOptions(const std::string &usage);

// Words set in bold at the start of .B/.BR lines right after a .TP: the
// terms of a tagged list ("connections_defaults{shared}", "too_old").
std::vector<std::string> taggedTerms(const std::string &roff);

// Every string literal of the C++ files in a source folder, each with its
// quotes, joined by newlines.
std::string stringLiterals(const std::string &folder);

// What a document names of the machine, put in a test's own place: each
// path under /tmp/ goes under `dir`, and each port of a tarn name or an
// address (":6510", "host:4222") becomes a free port, the same one for the
// same port across every text given. A test that runs the documents'
// commands so never takes a file or a port of someone who follows them on
// the same machine at the same time.
class Localizer {
 public:
  explicit Localizer(std::string dir) : m_dir(std::move(dir)) {}
  std::string operator()(const std::string &text);

 private:
  std::string m_dir;
  std::map<std::string, std::string> m_ports;
};

// A block a document shows as it is: a fenced or indented block of a
// Markdown file, or an .EX/.EE block of a manual page with its roff escapes
// undone, as a reader would type it.
struct Example {
  std::string where;  // "docs/x.md:12": the file and the block's first line
  std::string text;
  std::string intro;  // the paragraph just before the block
};
std::vector<Example> markdownExamples(const std::string &relative);
std::vector<Example> manExamples(const std::string &relative);

// The command lines of a block, each split into words as sh would split it
// (quotes, backslashes, lines continued with a backslash); a trailing "&"
// is dropped.
std::vector<std::vector<std::string>> commandLines(const std::string &block);

}  // namespace doctest_support
