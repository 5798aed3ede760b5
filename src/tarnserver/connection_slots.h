// The server's client slots: at most `total` clients at once, at most
// `perAddress` from one address, and the last `reserved` slots only for
// addresses that may write, so that readers, however many addresses they
// come from, never take every slot from the writers, and no one address
// takes them from the other addresses.
// Not thread-safe: used from the server's event thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>

namespace tarnserver {

class ConnectionSlots {
 public:
  enum class Verdict { kAdmit, kAddressFull, kServerFull };

  ConnectionSlots(size_t total, size_t perAddress, size_t reserved)
      : total_(total), perAddress_(perAddress), reserved_(reserved < total ? reserved : 0) {}

  Verdict admit(uint32_t addr, bool writer) const;
  void add(uint32_t addr);
  void remove(uint32_t addr);

  size_t count() const { return count_; }
  size_t total() const { return total_; }
  size_t perAddress() const { return perAddress_; }
  size_t reserved() const { return reserved_; }

 private:
  const size_t total_;
  const size_t perAddress_;
  const size_t reserved_;
  size_t count_ = 0;
  std::unordered_map<uint32_t, size_t> byAddress_;
};

}  // namespace tarnserver
