// One DataLink client's MATCH and REJECT expressions (POSIX extended
// regular expressions found anywhere in a stream id, as DataLink clients
// write them: anchor with ^ and $), and per source slot of the ring the
// source's stream id and the verdict, so that each source is named and
// matched at most once per expression change, whatever the packet rate.
// A source without a stream id (datalink_streams.h) never passes.
// Not thread-safe: one per client, used from the server's event thread.
#pragma once

#include <regex.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tarnserver/source_table.h"

namespace tarnserver {

class DatalinkFilter {
 public:
  DatalinkFilter() = default;
  ~DatalinkFilter();
  DatalinkFilter(const DatalinkFilter &) = delete;
  DatalinkFilter &operator=(const DatalinkFilter &) = delete;

  // Replaces the expression; an empty one matches every stream (rejects
  // none). On a bad expression nothing changes and the reason is in err.
  bool setMatch(const std::string &expr, std::string &err);
  bool setReject(const std::string &expr, std::string &err);

  // The stream id of the source in slot `idx` ("" when it has none).
  const std::string &streamId(const SourceTable &sources, uint32_t idx);
  // Whether packets of the source in slot `idx` are sent; false for a slot
  // the table does not have (a hole in the ring).
  bool passes(const SourceTable &sources, uint32_t idx);
  // How many sources present in the table pass.
  int32_t countPassing(const SourceTable &sources);
  // Work done so far: sources named and expressions run.
  uint64_t work() const { return work_; }

 private:
  struct Expr {
    bool set = false;
    regex_t re;
  };
  struct Slot {
    bool named = false;
    int8_t verdict = -1;  // -1 not known, 0 no, 1 yes
    std::string id;
  };
  static bool compile(Expr &e, const std::string &expr, std::string &err);
  Slot &slot(const SourceTable &sources, uint32_t idx);
  bool found(const Expr &e, const std::string &id);
  void forgetVerdicts();

  Expr match_;
  Expr reject_;
  std::vector<Slot> slots_;
  uint64_t generation_ = 0;
  uint64_t work_ = 0;
};

}  // namespace tarnserver
