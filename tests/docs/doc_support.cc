#include "doc_support.h"

#include <dirent.h>

#include <regex>
#include <sstream>

namespace doctest_support {

std::string sourcePath(const std::string &relative) { return std::string(RELAY_SOURCE_DIR) + "/" + relative; }
std::string buildPath(const std::string &relative) { return std::string(RELAY_BUILD_DIR) + "/" + relative; }

testsupport::ProcessResult shell(const std::string &command, int seconds) {
  return testsupport::runProgram({"/bin/sh", "-c", command}, std::chrono::seconds(seconds));
}

bool haveProgram(const std::string &program) {
  return shell("command -v " + program + " >/dev/null 2>&1").exitStatus == 0;
}

std::string shellQuote(const std::string &text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

std::string section(const std::string &page, const std::string &from, const std::string &to) {
  std::istringstream lines(page);
  std::string line, out;
  bool inside = false;
  while (std::getline(lines, line)) {
    if (inside && !to.empty() && line.rfind(to, 0) == 0) break;
    if (!inside && line.rfind(from, 0) == 0) inside = true;
    if (inside) out += line + "\n";
  }
  return out;
}

std::set<std::string> manSynopsisOptions(const std::string &roff) {
  // ".RB [ \-p" followed by ".IR pf ]" on the next line, or ".RB [ \-v ]".
  static const std::regex option(R"(\.RB \[ \\-([A-Za-z])( \])?\n(\.IR ([^ \n]+) \])?)");
  std::set<std::string> found;
  for (std::sregex_iterator it(roff.begin(), roff.end(), option), end; it != end; ++it) {
    std::string name = "-" + (*it)[1].str();
    if (!(*it)[2].matched && (*it)[4].matched) name += " " + (*it)[4].str();
    found.insert(name);
  }
  return found;
}

std::set<std::string> usageOptions(const std::string &usage) {
  static const std::regex option(R"(\[-([A-Za-z])( [^\]\s]+)?\])");
  std::set<std::string> found;
  for (std::sregex_iterator it(usage.begin(), usage.end(), option), end; it != end; ++it) {
    found.insert("-" + (*it)[1].str() + (*it)[2].str());
  }
  return found;
}

std::vector<std::string> taggedTerms(const std::string &roff) {
  std::istringstream lines(roff);
  std::string line;
  std::vector<std::string> terms;
  bool afterTp = false;
  static const std::regex word(R"(^\.BR? ([A-Za-z_{}]+)(.*)$)");
  static const std::regex more(R"(\s*", "\s*([A-Za-z_{}]+))");
  while (std::getline(lines, line)) {
    std::smatch m;
    if (afterTp && std::regex_match(line, m, word)) {
      terms.push_back(m[1]);
      std::string rest = m[2];
      for (std::sregex_iterator it(rest.begin(), rest.end(), more), end; it != end; ++it) {
        terms.push_back((*it)[1]);
      }
    }
    afterTp = line == ".TP";
  }
  return terms;
}

std::string stringLiterals(const std::string &folder) {
  static const std::regex literal(R"("(?:[^"\\\n]|\\.)*")");
  std::string out;
  DIR *dir = opendir(folder.c_str());
  if (!dir) return out;
  while (struct dirent *entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name.size() < 3 || name.substr(name.size() - 3) != ".cc") continue;
    std::string text = testsupport::readFile(folder + "/" + name);
    for (std::sregex_iterator it(text.begin(), text.end(), literal), end; it != end; ++it) {
      out += it->str() + "\n";
    }
  }
  closedir(dir);
  return out;
}

}  // namespace doctest_support
