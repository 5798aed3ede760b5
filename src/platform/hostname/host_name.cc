#include "platform/hostname/host_name.h"

#include <vector>

namespace hostname {

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

std::vector<std::string> split(const std::string &text, char separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t at = text.find(separator, start);
    parts.push_back(text.substr(start, at - start));
    if (at == std::string::npos) return parts;
    start = at + 1;
  }
}

bool allDigits(const std::string &text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (!isDigit(c)) return false;
  }
  return true;
}

bool isLabel(const std::string &label) {
  if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-')
    return false;
  for (char c : label) {
    if (!isLetter(c) && !isDigit(c) && c != '-') return false;
  }
  return true;
}

}  // namespace

bool isDottedAddress(const std::string &text) {
  std::vector<std::string> parts = split(text, '.');
  if (parts.size() != 4) return false;
  for (const std::string &part : parts) {
    if (!allDigits(part) || part.size() > 3 || (part.size() > 1 && part[0] == '0')) return false;
    if (std::stoi(part) > 255) return false;
  }
  return true;
}

bool isHostName(const std::string &text) {
  std::string name = text;
  if (!name.empty() && name.back() == '.') name.pop_back();
  if (name.empty() || name.size() > 253) return false;
  std::vector<std::string> labels = split(name, '.');
  for (const std::string &label : labels) {
    if (!isLabel(label)) return false;
  }
  return !allDigits(labels.back());
}

bool namesAHost(const std::string &text) {
  bool numeric = !text.empty() && text.find_first_not_of("0123456789.") == std::string::npos;
  return numeric ? isDottedAddress(text) : isHostName(text);
}

}  // namespace hostname
