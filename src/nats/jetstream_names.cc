#include "nats/jetstream_names.h"

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/hostname/host_name.h"
#include "platform/pkt/crc32.h"

namespace jetstream {

namespace {

const char kHex[] = "0123456789ABCDEF";

bool isWordByte(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '-';
}

void appendEscape(std::string &out, unsigned char c) {
  out += '%';
  out += kHex[c >> 4];
  out += kHex[c & 15];
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Decodes %HH at text[i]; -1 when there is no valid escape there.
int escapeAt(const std::string &text, size_t i) {
  if (i + 2 >= text.size()) return -1;
  int high = hexValue(text[i + 1]), low = hexValue(text[i + 2]);
  if (high < 0 || low < 0) return -1;
  return high * 16 + low;
}

// Decodes `text`, where `plain` says which bytes stand for themselves and
// `dot` what a '.' stands for (0: a '.' is not allowed).
bool decode(const std::string &text, bool (*plain)(unsigned char), char dot, std::string &out) {
  if (text.empty()) return false;  // a source name has at least one byte
  std::string result;
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '%') {
      int value = escapeAt(text, i);
      if (value <= 0) return false;  // a source name holds no NUL
      result += static_cast<char>(value);
      i += 2;
    } else if (c == '.' && dot) {
      result += dot;
    } else if (plain(c)) {
      result += static_cast<char>(c);
    } else {
      return false;
    }
  }
  out = result;
  return true;
}

bool isHeaderPlain(unsigned char c) { return c > ' ' && c < 0x7f && c != '%'; }

uint64_t fnv1a64(const char *bytes, size_t n) {
  uint64_t hash = 0xcbf29ce484222325ULL;
  for (size_t i = 0; i < n; ++i) {
    hash ^= static_cast<unsigned char>(bytes[i]);
    hash *= 0x100000001b3ULL;
  }
  return hash;
}

std::vector<std::string> split(const std::string &text, char separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t end = text.find(separator, start);
    parts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) return parts;
    start = end + 1;
  }
}

std::string serverProblem(std::string server) {
  if (server.rfind("nats://", 0) == 0) server.erase(0, 7);
  if (server.find("://") != std::string::npos) return "only nats:// servers are taken";
  size_t at = server.rfind('@');
  if (at != std::string::npos) {
    if (at == 0) return "an empty user before '@'";
    server.erase(0, at + 1);
  }
  if (!server.empty() && server.back() == '/') server.pop_back();
  std::string host = server, port;
  size_t colon = server.rfind(':');
  if (colon != std::string::npos) {
    host = server.substr(0, colon);
    port = server.substr(colon + 1);
    char *end = nullptr;
    errno = 0;
    long number = port.empty() ? 0 : std::strtol(port.c_str(), &end, 10);
    if (port.empty() || *end != '\0' || port[0] == '+' || port[0] == '-' || errno != 0 ||
        number < 1 || number > 65535) {
      return "the port '" + port + "' is not a number from 1 to 65535";
    }
  }
  if (host.empty()) return "no host";
  if (!hostname::namesAHost(host))
    return "'" + host + "' is neither a dotted address nor a host name";
  return "";
}

}  // namespace

std::string subjectToken(const std::string &srcname) {
  std::string token;
  token.reserve(srcname.size() + 8);
  for (size_t i = 0; i < srcname.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(srcname[i]);
    if (isWordByte(c)) {
      token += static_cast<char>(c);
    } else if (c == '/' && i > 0 && i + 1 < srcname.size() && srcname[i - 1] != '/' &&
               srcname[i + 1] != '/') {
      token += '.';
    } else {
      appendEscape(token, c);
    }
  }
  return token;
}

bool srcnameFromSubjectToken(const std::string &token, std::string &srcname) {
  return decode(
      token, [](unsigned char c) { return isWordByte(c); }, '/', srcname);
}

std::string subjectFor(const std::string &prefix, const std::string &srcname) {
  return prefix + "." + subjectToken(srcname);
}

std::string srcnameHeader(const std::string &srcname) {
  std::string value;
  value.reserve(srcname.size());
  for (char ch : srcname) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (isHeaderPlain(c)) {
      value += ch;
    } else {
      appendEscape(value, c);
    }
  }
  return value;
}

bool srcnameFromHeader(const std::string &value, std::string &srcname) {
  return decode(value, isHeaderPlain, 0, srcname);
}

// std::to_chars with a precision writes what printf's "%.17g" writes,
// without printf's cost.
size_t writeTimeHeader(double time, char *text, size_t size) {
  if (size == 0) return 0;
  auto [end, ec] = std::to_chars(text, text + size - 1, time, std::chars_format::general, 17);
  if (ec != std::errc()) end = text;
  *end = '\0';
  return static_cast<size_t>(end - text);
}

std::string timeHeader(double time) {
  char text[40];
  return std::string(text, writeTimeHeader(time, text, sizeof text));
}

bool timeFromHeader(const std::string &value, double &time) {
  if (value.empty() || value[0] == ' ') return false;
  char *end = nullptr;
  double parsed = std::strtod(value.c_str(), &end);
  if (end != value.c_str() + value.size()) return false;
  time = parsed;
  return true;
}

std::string messageId(const std::string &srcname, double time, const char *bytes, size_t nbytes) {
  char text[40];
  writeTimeHeader(time, text, sizeof text);
  return messageIdFrom(subjectToken(srcname), text, bytes, nbytes);
}

// TOKEN|TIME|NBYTES|CRC32 (8 hex digits) FNV-1a 64 (16 hex digits).
std::string messageIdFrom(const std::string &token, const char *timeText, const char *bytes,
                          size_t nbytes) {
  static const char kHex[] = "0123456789abcdef";
  char tail[64];
  char *at = tail;
  *at++ = '|';
  at = std::to_chars(at, tail + sizeof tail, nbytes).ptr;
  *at++ = '|';
  uint32_t crc = crc32_ieee(bytes, nbytes);
  for (int shift = 28; shift >= 0; shift -= 4) *at++ = kHex[(crc >> shift) & 0xf];
  uint64_t fnv = fnv1a64(bytes, nbytes);
  for (int shift = 60; shift >= 0; shift -= 4) *at++ = kHex[(fnv >> shift) & 0xf];
  size_t timeLength = std::strlen(timeText);
  std::string id;
  id.reserve(token.size() + 1 + timeLength + static_cast<size_t>(at - tail));
  id.append(token).append(1, '|').append(timeText, timeLength).append(tail, at);
  return id;
}

std::string consumerName(const std::string &connection) {
  std::string name;
  for (char ch : connection) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (isWordByte(c)) {
      name += ch;
    } else {
      appendEscape(name, c);
    }
  }
  return name;
}

std::string subjectPrefixProblem(const std::string &prefix) {
  if (prefix.empty()) return "it is empty";
  if (prefix.size() > 200) return "it is longer than 200 characters";
  for (const std::string &token : split(prefix, '.')) {
    if (token.empty()) return "it has an empty token (a '.' at an end or two together)";
    for (char ch : token) {
      unsigned char c = static_cast<unsigned char>(ch);
      if (c <= ' ' || c >= 0x7f)
        return "it holds a blank or a character that is not printable ASCII";
      if (c == '*' || c == '>') return "it holds the wildcard '" + std::string(1, ch) + "'";
      if (c == '%') return "it holds '%'";
    }
  }
  return "";
}

std::string streamNameProblem(const std::string &stream) {
  if (stream.empty()) return "it is empty";
  if (stream.size() > 255) return "it is longer than 255 characters";
  for (char ch : stream) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (c <= ' ' || c >= 0x7f) return "it holds a blank or a character that is not printable ASCII";
    if (c == '.' || c == '*' || c == '>' || c == '/' || c == '\\') {
      return "it holds '" + std::string(1, ch) + "'";
    }
  }
  return "";
}

std::string serverUrlsProblem(const std::string &urls) {
  if (urls.empty()) return "it is empty";
  for (const std::string &server : split(urls, ',')) {
    if (server.empty()) return "it has an empty server (a ',' at an end or two together)";
    std::string why = serverProblem(server);
    if (!why.empty()) return "server '" + displayUrls(server) + "': " + why;
  }
  return "";
}

std::string displayUrls(const std::string &urls) {
  std::vector<std::string> servers = split(urls, ',');
  std::string shown;
  for (size_t i = 0; i < servers.size(); ++i) {
    std::string server = servers[i];
    size_t at = server.rfind('@');
    size_t start = server.rfind("://", at) == std::string::npos ? 0 : server.find("://") + 3;
    if (at != std::string::npos && at > start) {
      size_t colon = server.find(':', start);
      if (colon != std::string::npos && colon < at)
        server.replace(colon + 1, at - colon - 1, "***");
    }
    shown += (i ? "," : "") + server;
  }
  return shown;
}

bool subjectCoversPrefix(const std::string &streamSubject, const std::string &prefix) {
  std::vector<std::string> filter = split(streamSubject, '.');
  std::vector<std::string> tokens = split(prefix, '.');
  size_t i = 0;
  for (; i < tokens.size(); ++i) {
    if (i >= filter.size()) return false;
    if (filter[i] == ">") return true;
    if (filter[i] != "*" && filter[i] != tokens[i]) return false;
  }
  // Below the prefix a source name may make any number of tokens.
  return i + 1 == filter.size() && filter[i] == ">";
}

}  // namespace jetstream
