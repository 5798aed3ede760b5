#include "platform/hostname/allowed_hosts.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <cctype>

namespace hostname {

namespace {

std::string lower(std::string text) {
  for (char &c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool isAddress(const std::string &host) {
  unsigned char buffer[16];
  return inet_pton(AF_INET, host.c_str(), buffer) == 1 ||
         inet_pton(AF_INET6, host.c_str(), buffer) == 1;
}

bool isLoopback(const std::string &host) {
  if (host == "localhost" || host == "::1") return true;
  if (host.size() > 10 && host.compare(host.size() - 10, 10, ".localhost") == 0) return true;
  in_addr v4;
  return inet_pton(AF_INET, host.c_str(), &v4) == 1 && (ntohl(v4.s_addr) >> 24) == 127;
}

bool isWildcard(const std::string &host) {
  return host.empty() || host == "0.0.0.0" || host == "::" || host == "*";
}

// "scheme://authority" in lower case, the authority without a default
// port; "" when it is not an origin.
std::string authorityOfOrigin(const std::string &origin, std::string &scheme) {
  size_t sep = origin.find("://");
  if (sep == std::string::npos || sep == 0) return "";
  scheme = lower(origin.substr(0, sep));
  std::string authority = origin.substr(sep + 3);
  if (authority.empty() || authority.find_first_of("/?#@") != std::string::npos) return "";
  return authority;
}

}  // namespace

std::string hostOfAuthority(const std::string &authority) {
  std::string host;
  if (!authority.empty() && authority[0] == '[') {
    size_t close = authority.find(']');
    if (close == std::string::npos) return "";
    std::string rest = authority.substr(close + 1);
    if (!rest.empty() && rest[0] != ':') return "";
    host = authority.substr(1, close - 1);
    return isAddress(host) ? lower(host) : "";
  }
  size_t colon = authority.find(':');
  if (colon != std::string::npos && authority.find(':', colon + 1) != std::string::npos) return "";
  host = authority.substr(0, colon);
  if (host.empty()) return "";
  for (char c : host) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-' && c != '_') return "";
  }
  return lower(host);
}

AllowedHosts::AllowedHosts(const std::vector<std::string> &configured, const std::string &listen) {
  for (const std::string &entry : configured) {
    size_t start = 0;
    for (;;) {
      size_t comma = entry.find(',', start);
      std::string name = lower(entry.substr(start, comma - start));
      while (!name.empty() && name.back() == ' ') name.pop_back();
      while (!name.empty() && name.front() == ' ') name.erase(0, 1);
      if (name == "*") any_ = true;
      if (!name.empty()) names_.push_back(name);
      if (comma == std::string::npos) break;
      start = comma + 1;
    }
  }
  listen_ = lower(listen);
  if (listen_.size() >= 2 && listen_.front() == '[' && listen_.back() == ']')
    listen_ = listen_.substr(1, listen_.size() - 2);
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) == 0) {
    machine_ = lower(name);
    machineShort_ = machine_.substr(0, machine_.find('.'));
  }
}

bool AllowedHosts::localName(const std::string &host) const {
  return isLoopback(host) || (!machine_.empty() && (host == machine_ || host == machineShort_)) ||
         (!isWildcard(listen_) && host == listen_);
}

bool AllowedHosts::allowsHost(const std::string &hostHeader) const {
  if (any_) return true;
  std::string host = hostOfAuthority(hostHeader);
  if (host.empty()) return false;
  if (isAddress(host) || localName(host)) return true;
  for (const std::string &n : names_) {
    if (n == host) return true;
  }
  return false;
}

bool AllowedHosts::allowsOrigin(const std::string &origin) const {
  if (any_) return true;
  std::string scheme;
  std::string authority = authorityOfOrigin(origin, scheme);
  std::string host = hostOfAuthority(authority);
  if (host.empty()) return false;  // "null", or not an origin
  if (localName(host)) return true;
  const std::string whole = scheme + "://" + lower(authority);
  for (const std::string &n : names_) {
    if (n == whole || n == host) return true;
  }
  return false;
}

}  // namespace hostname
