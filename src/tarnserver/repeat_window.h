// The packets a server has stored recently, by identity, so that a writer
// that sends a packet again (after a lost connection, or after its own
// restart) does not get it stored twice.
//
// An identity is (origin, sequence): an origin names where a writer's
// packets come from (for a relay: one reader of one source ring), and the
// sequence numbers them there. Per origin the window remembers, in a bitmap,
// which of the kSpan sequence numbers up to the highest one seen were
// stored. seen() answers whether an identity was stored before and records
// it when not:
//  - above the highest: new; the window moves up, forgetting what falls
//    out of it;
//  - within kSpan below the highest: a repeat when its bit is set;
//  - further below: not remembered, so stored again (a writer that re-reads
//    old packets on purpose gets them stored); more than kRestartDistance
//    below, the origin's numbers started again (tarn packet ids wrap at
//    2^31) and the window starts over there.
// At most kMaxOrigins origins are kept; a new one beyond that evicts the one
// least recently used. So the memory is bounded whatever writers send:
// kMaxOrigins * (kSpan / 8 bytes + a few dozen), 16 MiB, and each seen()
// costs a hash lookup and a few bit operations (moving the window clears at
// most kSpan / 64 words).
//
// Not thread-safe: used from the server's event thread only.
#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <unordered_map>

namespace tarnserver {

class RepeatWindow {
 public:
  static constexpr uint64_t kSpan = uint64_t{1} << 18;  // sequence numbers per origin
  static constexpr uint64_t kRestartDistance = uint64_t{1} << 30;
  static constexpr size_t kMaxOrigins = 512;

  explicit RepeatWindow(size_t maxOrigins = kMaxOrigins) : maxOrigins_(maxOrigins) {}

  // Whether (origin, sequence) was recorded before; records it when not.
  bool seen(uint64_t origin, uint64_t sequence);
  // Identities answered as repeats so far.
  uint64_t repeats() const { return repeats_; }
  void countRepeat() { ++repeats_; }
  size_t origins() const { return origins_.size(); }
  // Bytes held for the origins kept now.
  size_t memoryHeld() const;

 private:
  struct Origin {
    uint64_t high = 0;  // the highest sequence seen
    std::unique_ptr<uint64_t[]> bits;
    std::list<uint64_t>::iterator use;  // its place in uses_
  };
  Origin &find(uint64_t origin, bool &fresh);
  static bool bit(const Origin &o, uint64_t seq);
  static void set(Origin &o, uint64_t seq);
  static void startAt(Origin &o, uint64_t seq);

  size_t maxOrigins_;
  std::unordered_map<uint64_t, Origin> origins_;
  std::list<uint64_t> uses_;  // origins, most recently used first
  uint64_t repeats_ = 0;
};

}  // namespace tarnserver
