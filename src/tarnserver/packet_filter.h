// One client's select and reject expressions (POSIX extended regular
// expressions matched against the whole source name) with a per-source cache
// of the verdict, so each source name is matched at most once per expression
// change, whatever the packet rate.
// Not thread-safe: one per client, used from the server's event thread.
#pragma once

#include <regex.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tarnserver/source_table.h"

namespace tarnserver {

// Whether compiling the extended expression `e` would cost more than a
// client may ask for (repetitions multiplied out past a bound,
// back-references, nested groups); true with the reason in `why`.
bool expressionTooCostly(const std::string &e, std::string &why);

class PacketFilter {
 public:
  PacketFilter() = default;
  ~PacketFilter();
  PacketFilter(const PacketFilter &) = delete;
  PacketFilter &operator=(const PacketFilter &) = delete;

  // Replace the expression; an empty one selects everything (rejects
  // nothing). On a bad expression nothing changes and the reason is in err.
  bool setSelect(const std::string &expr, std::string &err);
  bool setReject(const std::string &expr, std::string &err);

  // Whether packets of the source in slot `idx` are delivered; false for a
  // slot the table does not have (a hole in the ring).
  bool passes(const SourceTable &sources, uint32_t idx);
  // How many sources present in the table pass.
  int32_t countPassing(const SourceTable &sources);
  // Whether every source passes (no expression is set).
  bool all() const { return !select_.set && !reject_.set; }
  // Expression matches run so far: the costly part of passes().
  uint64_t matchesRun() const { return matchesRun_; }

 private:
  struct Expr {
    bool set = false;
    regex_t re;
  };
  static bool compile(Expr &e, const std::string &expr, std::string &err);
  bool matches(const Expr &e, const std::string &name);
  void clearCache() { cache_.clear(); }

  Expr select_;
  Expr reject_;
  std::vector<int8_t> cache_;  // per source slot: -1 unknown, 0 no, 1 yes
  uint64_t cacheGeneration_ = 0;
  uint64_t matchesRun_ = 0;
};

}  // namespace tarnserver
