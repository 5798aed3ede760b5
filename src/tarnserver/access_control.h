// Who may use the server, by IPv4 address:
//  - connecting and reading: the networks given with -A (default: any
//    address), and every network that may write;
//  - writing: the networks given with -W (default: loopback, 127.0.0.0/8),
//    each optionally with a pattern (a POSIX extended regular expression,
//    matched against the whole source name) that the packets it writes must
//    match. An address in several -W networks may write what any of them
//    allows.
// NETWORKS is a comma-separated list of ADDRESS or ADDRESS/BITS, or the word
// "none".
//
// The policy is built once from the command line and then only read;
// WritePermit points into it, so the policy must outlive every permit.
// Reading from several threads is safe; nothing changes after finish().
#pragma once

#include <regex.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tarnserver {

struct Network {
  uint32_t addr = 0;  // host byte order, host bits cleared
  uint32_t mask = 0;
  bool contains(uint32_t a) const { return (a & mask) == addr; }
};

// "10.0.0.0/8,192.168.1.7" or "none"; false with the reason in err.
bool parseNetworks(const std::string &text, std::vector<Network> &out, std::string &err);

// What one address may write.
class WritePermit {
 public:
  // A permit to write any source (for sessions made without a policy).
  static WritePermit anySource() {
    WritePermit p;
    p.any_ = true;
    return p;
  }
  bool none() const { return !any_ && patterns_.empty(); }
  bool any() const { return any_; }
  // Whether a packet of source `src` may be written.
  bool allows(const std::string &src) const;

 private:
  friend class AccessPolicy;
  bool any_ = false;
  std::vector<const regex_t *> patterns_;
};

class AccessPolicy {
 public:
  AccessPolicy();
  ~AccessPolicy();
  AccessPolicy(const AccessPolicy &) = delete;
  AccessPolicy &operator=(const AccessPolicy &) = delete;

  // -A NETWORKS; false with the reason in err.
  bool addReaders(const std::string &entry, std::string &err);
  // -W NETWORKS[=PATTERN]; false with the reason in err.
  bool addWriters(const std::string &entry, std::string &err);

  bool mayConnect(uint32_t addr) const;
  WritePermit permitFor(uint32_t addr) const;
  // Whether the address may write anything at all.
  bool mayWrite(uint32_t addr) const { return !permitFor(addr).none(); }

 private:
  struct WriterRule {
    std::vector<Network> networks;
    std::unique_ptr<regex_t> pattern;  // null: any source
  };
  const std::vector<WriterRule> &writers() const { return writersGiven_ ? writers_ : loopback_; }

  std::vector<Network> readers_;
  bool readersGiven_ = false;
  std::vector<WriterRule> writers_;
  bool writersGiven_ = false;
  std::vector<WriterRule> loopback_;  // the default writers
};

}  // namespace tarnserver
