#include "tarnserver/access_control.h"

#include <arpa/inet.h>

#include <cstdlib>

namespace tarnserver {

namespace {

constexpr size_t kMaxPattern = 1024;

bool parseNetwork(const std::string &item, Network &net, std::string &err) {
  size_t slash = item.find('/');
  std::string host = item.substr(0, slash);
  in_addr a{};
  if (inet_pton(AF_INET, host.c_str(), &a) != 1) {
    err = "'" + item + "' is not an IPv4 address or network such as 10.1.0.0/16";
    return false;
  }
  unsigned long bits = 32;
  if (slash != std::string::npos) {
    std::string text = item.substr(slash + 1);
    char *end = nullptr;
    bits = text.empty() ? 33 : std::strtoul(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || bits > 32) {
      err = "'" + item + "': the network's prefix length must be 0 to 32";
      return false;
    }
  }
  net.mask = bits == 0 ? 0 : ~0u << (32 - bits);
  net.addr = ntohl(a.s_addr) & net.mask;
  return true;
}

bool inAny(const std::vector<Network> &nets, uint32_t a) {
  for (const Network &n : nets) {
    if (n.contains(a)) return true;
  }
  return false;
}

}  // namespace

bool parseNetworks(const std::string &text, std::vector<Network> &out, std::string &err) {
  if (text == "none") return true;
  size_t start = 0;
  for (;;) {
    size_t comma = text.find(',', start);
    std::string item =
        text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    Network net;
    if (item.empty()) {
      err = "'" + text + "': an empty entry in the list of networks";
      return false;
    }
    if (!parseNetwork(item, net, err)) return false;
    out.push_back(net);
    if (comma == std::string::npos) return true;
    start = comma + 1;
  }
}

bool WritePermit::allows(const std::string &src) const {
  if (any_) return true;
  for (const regex_t *re : patterns_) {
    if (regexec(re, src.c_str(), 0, nullptr, 0) == 0) return true;
  }
  return false;
}

AccessPolicy::AccessPolicy() {
  WriterRule local;
  local.networks.push_back(Network{0x7f000000u, 0xff000000u});
  loopback_.push_back(std::move(local));
}

AccessPolicy::~AccessPolicy() {
  for (WriterRule &r : writers_) {
    if (r.pattern) regfree(r.pattern.get());
  }
}

bool AccessPolicy::addReaders(const std::string &entry, std::string &err) {
  readersGiven_ = true;
  return parseNetworks(entry, readers_, err);
}

bool AccessPolicy::addWriters(const std::string &entry, std::string &err) {
  writersGiven_ = true;
  WriterRule rule;
  size_t eq = entry.find('=');
  if (!parseNetworks(entry.substr(0, eq), rule.networks, err)) return false;
  if (eq != std::string::npos) {
    std::string pattern = entry.substr(eq + 1);
    if (pattern.empty() || pattern.size() > kMaxPattern) {
      err = "'" + entry + "': the source-name pattern after '=' must have 1 to 1024 characters";
      return false;
    }
    auto re = std::make_unique<regex_t>();
    int rc = regcomp(re.get(), ("^(" + pattern + ")$").c_str(), REG_EXTENDED | REG_NOSUB);
    if (rc != 0) {
      char msg[256];
      regerror(rc, re.get(), msg, sizeof msg);
      err = "'" + entry + "': bad source-name pattern: " + msg;
      return false;
    }
    rule.pattern = std::move(re);
  }
  writers_.push_back(std::move(rule));
  return true;
}

bool AccessPolicy::mayConnect(uint32_t addr) const {
  if (!readersGiven_ || inAny(readers_, addr)) return true;
  for (const WriterRule &r : writers()) {
    if (inAny(r.networks, addr)) return true;
  }
  return false;
}

WritePermit AccessPolicy::permitFor(uint32_t addr) const {
  WritePermit p;
  for (const WriterRule &r : writers()) {
    if (!inAny(r.networks, addr)) continue;
    if (!r.pattern) {
      p.any_ = true;
      p.patterns_.clear();
      return p;
    }
    p.patterns_.push_back(r.pattern.get());
  }
  return p;
}

}  // namespace tarnserver
