#include "bench_packets.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "platform/pkt/pkt.h"
#include "platform/tarnclient/tarnclient.h"

namespace relaybench {

std::string stuffedBytes(size_t total) {
  if (total < PKT_HEADER_SIZE || total - PKT_HEADER_SIZE > PKT_MAX_BODY) return "";
  Packet *pkt = newPkt();
  if (!pkt) return "";
  size_t body = total - PKT_HEADER_SIZE;
  pkt->type = suffix2pkttype("gen");
  pkt->time = 1.0;  // not in the bytes: any time will do
  pkt->ndata = static_cast<int>(body);
  pkt->data = static_cast<char *>(std::malloc(body + 1));
  for (size_t i = 0; pkt->data && i < body; ++i) pkt->data[i] = static_cast<char>(i & 0xff);
  char *buf = nullptr;
  int nbytes = 0, bufsize = 0;
  double time = 0;
  int rc = pkt->data ? stuffPkt(pkt, "BENCH_1/DAT", &time, &buf, &nbytes, &bufsize) : PKT_ERR_NOMEM;
  std::string bytes;
  if (rc == PKT_CONTENT_DATA && static_cast<size_t>(nbytes) == total)
    bytes.assign(buf, total);
  else
    std::fprintf(stderr, "relay_bench: stuffPkt: %s\n",
                 rc < 0 ? pkt_strerror(rc) : "unexpected size");
  std::free(buf);
  freePkt(pkt);
  return bytes;
}

void Ledger::add(const std::string &srcname, double time) {
  auto [it, added] = m_names.try_emplace(srcname, static_cast<uint32_t>(m_nameOf.size()));
  if (added) m_nameOf.push_back(srcname);
  m_pairs.emplace_back(it->second, time);
}

long Ledger::indexOf(const std::string &srcname) const {
  auto it = m_names.find(srcname);
  return it == m_names.end() ? -1 : static_cast<long>(it->second);
}

Tally &Tally::operator+=(const Tally &other) {
  missing += other.missing;
  duplicated += other.duplicated;
  unexpected += other.unexpected;
  return *this;
}

namespace {

using Pairs = std::vector<std::pair<uint32_t, double>>;

// The held pairs with their names as indices of the expected ledger's
// names; pairs whose name the expected ledger lacks are counted in
// `unexpected` and left out.
Pairs translate(const Ledger &expected, const Ledger &held, long &unexpected) {
  std::vector<long> index;
  for (const std::string &name : held.names()) index.push_back(expected.indexOf(name));
  Pairs out;
  out.reserve(held.size());
  for (const auto &[name, time] : held.pairs()) {
    long at = index[name];
    if (at < 0)
      ++unexpected;
    else
      out.emplace_back(static_cast<uint32_t>(at), time);
  }
  return out;
}

// Counts, for one key, how many of `want` copies came (`got`).
void tallyKey(long want, long got, Tally &t) {
  if (want == 0)
    t.unexpected += got;
  else if (got < want)
    t.missing += want - got;
  else
    t.duplicated += got - want;
}

// Length of the run of equal pairs starting at `at`.
size_t runLength(const Pairs &pairs, size_t at) {
  size_t end = at;
  while (end < pairs.size() && pairs[end] == pairs[at]) ++end;
  return end - at;
}

}  // namespace

Tally compareLedgers(const Ledger &expected, const Ledger &held) {
  Tally t;
  Pairs want = expected.pairs(), got = translate(expected, held, t.unexpected);
  std::sort(want.begin(), want.end());
  std::sort(got.begin(), got.end());
  size_t i = 0, j = 0;
  while (i < want.size() || j < got.size()) {
    bool takeWant = j == got.size() || (i < want.size() && want[i] <= got[j]);
    const auto key = takeWant ? want[i] : got[j];
    size_t nWant = i < want.size() && want[i] == key ? runLength(want, i) : 0;
    size_t nGot = j < got.size() && got[j] == key ? runLength(got, j) : 0;
    tallyKey(static_cast<long>(nWant), static_cast<long>(nGot), t);
    i += nWant;
    j += nGot;
  }
  return t;
}

int openForPuts(const std::string &tarn, std::string &why) {
  int fd = tarnopen(tarn.c_str(), "w&");
  if (fd < 0) why = "cannot reach " + tarn + " to put packets";
  return fd;
}

bool putOne(int fd, const std::string &srcname, double time, const std::string &bytes,
            std::string &why) {
  if (tarnput(fd, srcname.c_str(), time, bytes.data(), static_cast<int>(bytes.size())) == 0)
    return true;
  why = "a server refused a put of " + std::to_string(bytes.size()) + " bytes";
  return false;
}

bool closePuts(int fd, std::string &why) {
  if (tarnclose(fd) == 0) return true;
  if (why.empty()) why = "a server did not acknowledge every put";
  return false;
}

bool readBack(const std::string &tarn, Ledger &held, std::string &why) {
  int fd = tarnopen(tarn.c_str(), "r&");
  if (fd < 0) {
    why = "cannot reach " + tarn + " to read it back";
    return false;
  }
  int newest = tarnposition(fd, "newest");
  bool ok = true;
  if (newest >= 0 && tarnseek(fd, TARN_OLDEST) >= 0) {
    char srcname[64];
    char *buf = nullptr;
    int bufsize = 0, id = -1, nbytes = 0;
    double time = 0;
    for (long n = 0; id != newest && n <= static_cast<long>(newest) + 1; ++n) {
      ok = tarnreap_timeout(fd, 10.0, &id, srcname, &time, &buf, &nbytes, &bufsize) == 0;
      if (!ok) break;
      held.add(srcname, time);
    }
    if (!ok) why = "reading " + tarn + " back stalled";
    std::free(buf);
  }
  tarnclose(fd);
  return ok;
}

}  // namespace relaybench
