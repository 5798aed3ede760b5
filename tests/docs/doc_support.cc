#include "doc_support.h"

#include <dirent.h>

#include <cstring>
#include <regex>
#include <sstream>

#include "relay_e2e.h"

namespace doctest_support {

std::string sourcePath(const std::string &relative) {
  return std::string(RELAY_SOURCE_DIR) + "/" + relative;
}
std::string buildPath(const std::string &relative) {
  return std::string(RELAY_BUILD_DIR) + "/" + relative;
}

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

std::string Localizer::operator()(const std::string &text) {
  std::string out;
  static const std::regex port(R"(:(\d{4,5})(?!\d))");
  auto last = text.cbegin();
  for (std::sregex_iterator it(text.begin(), text.end(), port), end; it != end; ++it) {
    out.append(last, (*it)[0].first);
    auto [at, fresh] = m_ports.try_emplace((*it)[1].str());
    if (fresh) at->second = std::to_string(e2e::freePort());
    out += ":" + at->second;
    last = (*it)[0].second;
  }
  out.append(last, text.cend());
  for (size_t at = out.find("/tmp/"); at != std::string::npos; at = out.find("/tmp/", at)) {
    out.replace(at, 5, m_dir + "/");
    at += m_dir.size() + 1;
  }
  return out;
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

namespace {

std::vector<std::string> linesOf(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

bool isBlank(const std::string &line) { return line.find_first_not_of(" \t") == std::string::npos; }

// The paragraph that ends at line `end` (exclusive), blank lines before it
// skipped.
std::string paragraphBefore(const std::vector<std::string> &lines, size_t end,
                            bool (*endsParagraph)(const std::string &)) {
  size_t at = end;
  while (at > 0 && endsParagraph(lines[at - 1])) --at;
  size_t start = at;
  while (start > 0 && !endsParagraph(lines[start - 1])) --start;
  std::string text;
  for (size_t i = start; i < at; ++i) text += lines[i] + "\n";
  return text;
}

std::string unescapeRoff(std::string line) {
  static const std::pair<const char *, const char *> escapes[] = {
      {"\\-", "-"}, {"\\e", "\\"}, {"\\&", ""}, {"\\(aq", "'"}, {"\\(dq", "\""}};
  for (const auto &[from, to] : escapes) {
    for (size_t at = line.find(from); at != std::string::npos;
         at = line.find(from, at + std::strlen(to))) {
      line.replace(at, std::strlen(from), to);
    }
  }
  return line;
}

}  // namespace

std::vector<Example> markdownExamples(const std::string &relative) {
  std::vector<std::string> lines = linesOf(testsupport::readFile(sourcePath(relative)));
  auto endsParagraph = [](const std::string &line) {
    return isBlank(line) || line.rfind("```", 0) == 0;
  };
  std::vector<Example> found;
  for (size_t i = 0; i < lines.size(); ++i) {
    bool fenced = lines[i].rfind("```", 0) == 0;
    bool indented = lines[i].rfind("    ", 0) == 0 && i > 0 && isBlank(lines[i - 1]);
    if (!fenced && !indented) continue;
    Example example{relative + ":" + std::to_string(i + 1), "",
                    paragraphBefore(lines, i, endsParagraph)};
    size_t j = fenced ? i + 1 : i;
    for (; j < lines.size(); ++j) {
      if (fenced ? lines[j].rfind("```", 0) == 0
                 : !(lines[j].rfind("    ", 0) == 0 || isBlank(lines[j])))
        break;
      example.text +=
          (fenced ? lines[j] : lines[j].substr(std::min<size_t>(4, lines[j].size()))) + "\n";
    }
    found.push_back(example);
    i = fenced ? j : j - 1;
  }
  return found;
}

std::vector<Example> manExamples(const std::string &relative) {
  std::vector<std::string> lines = linesOf(testsupport::readFile(sourcePath(relative)));
  auto endsParagraph = [](const std::string &line) {
    for (const char *macro : {".PP", ".SH", ".SS", ".TP", ".EE", ".LP"}) {
      if (line.rfind(macro, 0) == 0) return true;
    }
    return false;
  };
  std::vector<Example> found;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i] != ".EX") continue;
    size_t introEnd = i;
    while (introEnd > 0 && lines[introEnd - 1] == ".PP") --introEnd;
    Example example{relative + ":" + std::to_string(i + 1), "",
                    paragraphBefore(lines, introEnd, endsParagraph)};
    size_t j = i + 1;
    for (; j < lines.size() && lines[j] != ".EE"; ++j)
      example.text += unescapeRoff(lines[j]) + "\n";
    found.push_back(example);
    i = j;
  }
  return found;
}

std::vector<std::vector<std::string>> commandLines(const std::string &block) {
  std::vector<std::vector<std::string>> commands;
  std::vector<std::string> words;
  std::string word;
  bool inWord = false;
  auto endWord = [&] {
    if (inWord) words.push_back(word);
    word.clear();
    inWord = false;
  };
  auto endCommand = [&] {
    endWord();
    if (!words.empty() && words.back() == "&") words.pop_back();
    if (!words.empty()) commands.push_back(words);
    words.clear();
  };
  for (size_t i = 0; i < block.size(); ++i) {
    char c = block[i];
    if (c == '\\' && i + 1 < block.size()) {
      if (block[i + 1] != '\n') word += block[i + 1], inWord = true;
      ++i;
    } else if (c == '\'' || c == '"') {
      inWord = true;
      for (++i; i < block.size() && block[i] != c; ++i) {
        if (c == '"' && block[i] == '\\' && i + 1 < block.size()) ++i;
        word += block[i];
      }
    } else if (c == '\n') {
      endCommand();
    } else if (c == ' ' || c == '\t') {
      endWord();
    } else if (c == '#' && !inWord) {
      while (i + 1 < block.size() && block[i + 1] != '\n') ++i;
    } else {
      word += c;
      inWord = true;
    }
  }
  endCommand();
  return commands;
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
