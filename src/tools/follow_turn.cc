// One turn of the follower: read, number, save, put, wait, settle.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/tarnclient/tarnclient_internal.h"
#include "tools/follower.h"
#include "tools/tool_support.h"

namespace tarntool {
namespace {

constexpr uint64_t kTurnBytes = 8 << 20;
constexpr size_t kTurnRecords = 50000;
// Room for the largest record libmseed reads, and the bytes that decide
// whether a header follows it.
constexpr uint64_t kLeastShare = (1 << 20) + kHeaderProbe;

double steadySeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

struct Closer {
  int fd;
  ~Closer() { ::close(fd); }
};

// Up to `n` bytes from `from`; fewer when the file ends first.
bool readAt(int fd, uint64_t from, uint64_t n, std::string &out) {
  out.resize(n);
  size_t done = 0;
  while (done < n) {
    ssize_t got = ::pread(fd, out.data() + done, n - done, static_cast<off_t>(from + done));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) break;
    done += static_cast<size_t>(got);
  }
  out.resize(done);
  return true;
}

}  // namespace

std::vector<FollowedFile *> Follower::filesInTurnOrder() {
  std::vector<FollowedFile *> first, then;  // after m_resumeAfter, and up to it
  for (auto &[name, key] : m_byName) {
    FollowedFile &f = m_state.files.at(key);
    if (hasWork(f)) (name > m_resumeAfter ? first : then).push_back(&f);
  }
  first.insert(first.end(), then.begin(), then.end());
  return first;
}

void Follower::startAgain(FollowedFile &f, const std::string &why) {
  std::fprintf(stderr, "tarn import: %s: %s: taken again from its start\n", f.name.c_str(),
               why.c_str());
  f.taken = f.assigned = f.sequence = f.lookedTo = 0;
  f.printLength = 0;
  f.print = 0;
  f.waitingSince = 0;
  f.waitingSaid = false;
  ++m_total.restarted;
  m_stateDirty = true;
}

// "" when the open file is still the one taken so far (its print extended
// while it is short); else why not.
std::string Follower::sameFile(int fd, FollowedFile &f) {
  if (f.size < f.assigned || f.size < f.printLength) {
    return "shorter (" + std::to_string(f.size) + " bytes) than the " +
           std::to_string(std::max<uint64_t>(f.assigned, f.printLength)) +
           " bytes looked at before (truncated, or a new file in a removed one's place)";
  }
  std::string head;
  uint64_t n = std::min<uint64_t>(f.size, FollowState::kPrintBytes);
  if (f.printLength == n) return "";
  if (!readAt(fd, 0, n, head) || head.size() < f.printLength) return "";  // read below
  if (f.printLength > 0 && FollowState::printOf(head.data(), f.printLength) != f.print)
    return "its first bytes changed (a new file in a removed one's place, or rewritten)";
  f.printLength = static_cast<uint32_t>(head.size());
  f.print = FollowState::printOf(head.data(), head.size());
  m_stateDirty = true;
  return "";
}

bool Follower::plan(FollowedFile &f, uint64_t share, size_t maxRecords, Chunk &c) {
  int fd = ::open((m_folder + "/" + f.name).c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st;
  if (fd < 0 || ::fstat(fd, &st) != 0) {
    int error = errno;
    if (error != ENOENT && !f.readFailureSaid)
      std::fprintf(stderr, "tarn import: %s: cannot read: %s\n", f.name.c_str(),
                   std::strerror(error));
    f.readFailureSaid = error != ENOENT;
    m_relist = true;
    m_notBefore = Clock::now() + std::chrono::seconds(1);  // tried again, not spun on
    if (fd >= 0) ::close(fd);
    return false;
  }
  Closer closer{fd};
  if (static_cast<uint64_t>(st.st_dev) != f.device || static_cast<uint64_t>(st.st_ino) != f.inode) {
    m_relist = true;  // another file under its name now
    m_notBefore = Clock::now() + std::chrono::seconds(1);
    return false;
  }
  f.size = static_cast<uint64_t>(st.st_size);
  std::string changed = sameFile(fd, f);
  if (!changed.empty()) startAgain(f, changed);
  c.key = {f.device, f.inode};
  c.again = f.taken < f.assigned;
  c.from = c.again ? f.taken : f.assigned;
  uint64_t span = f.assigned - f.taken;
  uint64_t want = std::min(c.again ? span + kHeaderProbe : share, f.size - c.from);
  if (!readAt(fd, c.from, want, c.bytes)) {
    int error = errno;
    if (!f.readFailureSaid)
      std::fprintf(stderr, "tarn import: %s: cannot read at byte %llu: %s\n", f.name.c_str(),
                   static_cast<unsigned long long>(c.from), std::strerror(error));
    f.readFailureSaid = true;
    f.lookedTo = f.size;  // tried again once the file grows, or at a restart
    return false;
  }
  f.readFailureSaid = false;
  c.scan = scanRecords(c.bytes.data(), c.bytes.size(), c.again ? span : c.bytes.size(),
                       c.again ? kTurnRecords : maxRecords);
  if (c.again) {
    if (c.scan.stop != span) {
      startAgain(f, "its bytes before byte " + std::to_string(f.assigned) + " changed");
      return false;
    }
    c.sequence = f.sequence;
    return true;
  }
  f.lookedTo = c.from + (c.scan.full ? c.scan.stop : c.bytes.size());
  f.assigned = c.from + c.scan.stop;
  if (!c.scan.records.empty()) {
    f.sequence = m_state.next;
    m_state.next += c.scan.records.size();
  }
  c.sequence = f.sequence;
  noteDamage(f, c);
  noteWaiting(f, c.scan.stop > 0);
  return c.scan.stop > 0;
}

void Follower::noteDamage(const FollowedFile &f, const Chunk &c) {
  for (const ScannedDamage &d : c.scan.damage) {
    std::fprintf(stderr, "tarn import: %s: byte %llu: %s; %llu bytes skipped\n", f.name.c_str(),
                 static_cast<unsigned long long>(c.from + d.at), d.why.c_str(),
                 static_cast<unsigned long long>(d.length));
  }
  m_total.skipped += static_cast<long>(c.scan.damage.size());
}

void Follower::noteWaiting(FollowedFile &f, bool moved) {
  bool waiting = f.lookedTo > f.assigned;
  if (moved || !waiting) {
    f.waitingSince = waiting ? steadySeconds() : 0;
    f.waitingSaid = false;
  } else if (f.waitingSince == 0) {
    f.waitingSince = steadySeconds();
  }
}

// Saves the numbers of new records before any of them is put. When the
// state cannot be saved, the new records are not put: their files are looked
// at again a second later.
bool Follower::saveNumbers(std::vector<Chunk> &chunks) {
  bool numbered = std::any_of(chunks.begin(), chunks.end(),
                              [](const Chunk &c) { return !c.again && !c.scan.records.empty(); });
  if (!numbered) return true;
  std::string why = m_state.save();
  if (why.empty()) {
    m_stateDirty = false;
    m_saveFailing = false;
    m_lastSave = Clock::now();
    // Turns that save a large state come less often.
    double bytes = static_cast<double>(m_state.savedBytes());
    m_notBefore = Clock::now() + std::chrono::milliseconds(10) +
                  std::chrono::duration_cast<Clock::duration>(
                      std::chrono::duration<double>(std::min(1.0, bytes / (4 << 20))));
    return true;
  }
  if (!m_saveFailing) std::fprintf(stderr, "tarn import: %s; records wait\n", why.c_str());
  m_saveFailing = true;
  for (Chunk &c : chunks) {
    if (c.again || c.scan.records.empty()) continue;
    FollowedFile &f = m_state.files.at(c.key);
    f.assigned = f.lookedTo = c.from;
    c.scan.records.clear();
  }
  m_notBefore = Clock::now() + std::chrono::seconds(1);
  return false;
}

bool Follower::putAll(std::vector<Chunk> &chunks, uint64_t &last) {
  for (Chunk &c : chunks) {
    for (size_t i = 0; i < c.scan.records.size(); ++i) {
      const ScannedRecord &r = c.scan.records[i];
      std::string src = mseed::sourceName(r.header);
      tarnclient::PutIdentity identity{m_state.origin, c.sequence + i};
      tarnclient::PutReceipt receipt;
      int rc = tarnclient::putNumbered(m_fd, src.c_str(), r.header.start, c.bytes.data() + r.at,
                                       r.length, -1, &receipt, &identity);
      if (rc == -3) return false;  // stopping, and the server is away
      c.numbers.push_back(rc == 0 ? receipt.number : 0);
      if (rc != 0) {
        std::fprintf(stderr, "tarn import: %s: record at byte %llu not put\n",
                     m_state.files.at(c.key).name.c_str(),
                     static_cast<unsigned long long>(c.from + r.at));
        ++m_total.skipped;
        continue;
      }
      last = receipt.number;
    }
  }
  return true;
}

bool Follower::awaitAcknowledged(uint64_t last) {
  auto started = Clock::now();
  bool said = false;
  for (;;) {
    int rc = tarnclient::awaitAcknowledged(m_fd, last, 1.0);
    if (rc == 0) return true;
    if (rc != -2) return false;
    if (!said && Clock::now() - started > std::chrono::seconds(10)) {
      std::fprintf(stderr, "tarn import: waiting for %s to acknowledge what was put\n",
                   m_tarn.c_str());
      said = true;
    }
  }
}

void Follower::settle(std::vector<Chunk> &chunks) {
  std::vector<tarnclient::RefusedPut> refused = tarnclient::takeRefusedPuts(m_fd);
  // A server that refuses every record is said in a few lines a turn.
  const long kSaidPerTurn = 5;
  long refusedHere = 0;
  for (Chunk &c : chunks) {
    FollowedFile &f = m_state.files.at(c.key);
    for (size_t i = 0; i < c.numbers.size(); ++i) {
      if (c.numbers[i] == 0) continue;
      auto r = std::find_if(refused.begin(), refused.end(), [&](const tarnclient::RefusedPut &p) {
        return p.number == c.numbers[i];
      });
      if (r == refused.end()) {
        ++(c.again ? m_total.again : m_total.put);
        m_streams.insert(mseed::sourceName(c.scan.records[i].header));
        continue;
      }
      if (++refusedHere <= kSaidPerTurn) {
        std::fprintf(stderr, "tarn import: %s: record at byte %llu (%s): %s refused it: %s\n",
                     f.name.c_str(), static_cast<unsigned long long>(c.from + c.scan.records[i].at),
                     r->srcname.c_str(), m_tarn.c_str(), r->why.c_str());
      }
      ++m_total.skipped;
    }
    f.taken = f.assigned;
  }
  if (refusedHere > kSaidPerTurn) {
    std::fprintf(stderr, "tarn import: and %ld more records refused by %s\n",
                 refusedHere - kSaidPerTurn, m_tarn.c_str());
  }
  m_stateDirty = true;
}

bool Follower::turn() {
  std::vector<FollowedFile *> files = filesInTurnOrder();
  uint64_t share = std::max<uint64_t>(kLeastShare, kTurnBytes / std::max<size_t>(files.size(), 1));
  std::vector<Chunk> chunks;
  uint64_t bytes = 0;
  size_t records = 0;
  m_resumeAfter.clear();
  for (FollowedFile *f : files) {
    if (bytes >= kTurnBytes || records >= kTurnRecords) break;
    Chunk c;
    if (!plan(*f, share, kTurnRecords - records, c)) continue;
    bytes += c.bytes.size();
    records += c.scan.records.size();
    m_resumeAfter = bytes >= kTurnBytes || records >= kTurnRecords ? f->name : "";
    chunks.push_back(std::move(c));
  }
  saveNumbers(chunks);
  uint64_t last = 0;
  if (!putAll(chunks, last)) return false;
  if (last != 0 && !awaitAcknowledged(last)) return false;
  settle(chunks);
  return true;
}

}  // namespace tarntool
