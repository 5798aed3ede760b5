// Packets of the relay benchmark: the stuffed bytes it puts, the record of
// what was put and of what a server holds as (source name, time) pairs, and
// the count of packets missing and duplicated between the two.
//
// Every packet the benchmark puts carries the same stuffed bytes: a data
// packet of the packet library, built once with stuffPkt. The bytes do not
// hold the source name or the time (the server carries them beside the
// bytes), so they unstuff under any name and time, and the relay's
// check_unstuff passes them all.
//
// Failures: putPackets and readBack return false when the client library
// fails (the reason is in the text they fill).
// Thread-safety: a Ledger is used by one thread at a time.
#ifndef BENCH_RELAY_BENCH_PACKETS_H
#define BENCH_RELAY_BENCH_PACKETS_H

#include <cstdint>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace relaybench {

// The stuffed bytes of a data packet `total` bytes long (header included),
// or "" when the packet library refuses (the reason on standard error).
std::string stuffedBytes(size_t total);

// A multiset of (source name, time) pairs.
class Ledger {
 public:
  void add(const std::string &srcname, double time);
  size_t size() const { return m_pairs.size(); }
  // Each pair as (index of its name in names(), time), in the order added.
  const std::vector<std::pair<uint32_t, double>> &pairs() const { return m_pairs; }
  const std::vector<std::string> &names() const { return m_nameOf; }
  // The index of a name in names(), or -1 when no pair has it.
  long indexOf(const std::string &srcname) const;

 private:
  std::unordered_map<std::string, uint32_t> m_names;  // name -> index in m_nameOf
  std::vector<std::string> m_nameOf;
  std::vector<std::pair<uint32_t, double>> m_pairs;
};

// What a destination holds against what it should hold.
struct Tally {
  long missing = 0;     // put but not held (counted once per copy put)
  long duplicated = 0;  // held more often than put
  long unexpected = 0;  // held but never put (or left out by the filter)
  Tally &operator+=(const Tally &other);
};

Tally compareLedgers(const Ledger &expected, const Ledger &held);

// Puts `count` packets with the same bytes onto `tarn`: packet i under
// names[i % names.size()] at time base + i * step; each one put is added to
// `put` when `keep(i)` says so (the pairs the relay is to deliver). Waits
// for the server to acknowledge them all.
template <class Keep>
bool putPackets(const std::string &tarn, const std::string &bytes,
                const std::vector<std::string> &names, long count, double base, double step,
                Ledger &put, Keep keep, std::string &why);

// Reads every packet `tarn` holds, from the oldest to the newest present
// when it starts, into `held`.
bool readBack(const std::string &tarn, Ledger &held, std::string &why);

// Puts one packet; false (with why) when the library refuses it.
bool putOne(int fd, const std::string &srcname, double time, const std::string &bytes,
            std::string &why);
int openForPuts(const std::string &tarn, std::string &why);
bool closePuts(int fd, std::string &why);

template <class Keep>
bool putPackets(const std::string &tarn, const std::string &bytes,
                const std::vector<std::string> &names, long count, double base, double step,
                Ledger &put, Keep keep, std::string &why) {
  int fd = openForPuts(tarn, why);
  if (fd < 0) return false;
  bool ok = true;
  for (long i = 0; i < count && ok; ++i) {
    const std::string &name = names[static_cast<size_t>(i) % names.size()];
    double time = base + static_cast<double>(i) * step;
    ok = putOne(fd, name, time, bytes, why);
    if (ok && keep(i)) put.add(name, time);
  }
  return closePuts(fd, why) && ok;
}

}  // namespace relaybench

#endif  // BENCH_RELAY_BENCH_PACKETS_H
