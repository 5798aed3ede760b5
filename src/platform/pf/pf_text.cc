#include "platform/pf/pf_text.h"

namespace pfimpl {

namespace {

bool isControl(unsigned char c) { return c < 0x20 || c == 0x7f; }

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void appendQuoted(std::string &out, std::string_view text) {
  static const char kHex[] = "0123456789abcdef";
  out += "&\"";
  for (char ch : text) {
    auto c = static_cast<unsigned char>(ch);
    switch (ch) {
      case '\\':
        out += "\\\\";
        break;
      case '"':
        out += "\\\"";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        if (isControl(c)) {
          out += "\\x";
          out += kHex[c >> 4];
          out += kHex[c & 0xf];
        } else {
          out += ch;
        }
    }
  }
  out += '"';
}

}  // namespace

std::string_view trimBlanks(std::string_view text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && isBlank(text[begin])) ++begin;
  while (end > begin && isBlank(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

bool needsQuoting(std::string_view text, Slot slot) {
  if (text.empty()) return slot != Slot::ArrayValue;  // "key" alone is the empty value
  for (char c : text) {
    if (isControl(static_cast<unsigned char>(c))) return true;
  }
  if (isBlank(text.front()) || isBlank(text.back())) return true;
  // A leading '&' could open an object or a quoted text. A key or list entry
  // must not start as a comment or a closing line; a key must not hold a blank.
  if (text.front() == '&') return true;
  if (slot == Slot::ArrayValue) return false;
  if (text.front() == '#' || text.front() == '}') return true;
  // The reader skips a byte-order mark at the start of a text.
  if (text.substr(0, 3) == "\xEF\xBB\xBF") return true;
  return slot == Slot::Key && text.find(' ') != std::string_view::npos;
}

void appendText(std::string &out, std::string_view text, Slot slot) {
  if (needsQuoting(text, slot)) {
    appendQuoted(out, text);
  } else {
    out += text;
  }
}

bool readQuoted(std::string_view text, std::string *out, size_t *used, std::string *why) {
  out->clear();
  size_t i = 2;  // after &"
  while (i < text.size()) {
    char c = text[i];
    if (c == '"') {
      *used = i + 1;
      return true;
    }
    if (c != '\\') {
      *out += c;
      ++i;
      continue;
    }
    if (i + 1 >= text.size()) break;
    char e = text[i + 1];
    switch (e) {
      case '\\':
        *out += '\\';
        break;
      case '"':
        *out += '"';
        break;
      case 'n':
        *out += '\n';
        break;
      case 't':
        *out += '\t';
        break;
      case 'r':
        *out += '\r';
        break;
      case 'x': {
        int hi = i + 2 < text.size() ? hexDigit(text[i + 2]) : -1;
        int lo = i + 3 < text.size() ? hexDigit(text[i + 3]) : -1;
        if (hi < 0 || lo < 0) {
          *why = "'\\x' needs two hexadecimal digits";
          return false;
        }
        if (hi == 0 && lo == 0) {
          *why = "'\\x00' is not allowed";
          return false;
        }
        *out += static_cast<char>(hi * 16 + lo);
        i += 2;
        break;
      }
      default:
        *why = std::string("unknown escape '\\") + e + "'";
        return false;
    }
    i += 2;
  }
  *why = "quoted text has no closing '\"'";
  return false;
}

}  // namespace pfimpl
