/*
 * Read positions: exhume, tarnresurrect and bury.
 *
 * Locks, always taken in this order: g_saveMutex (one save at a time), then
 * g_stateMutex (the statefile name, the saved positions and the
 * registrations), then a ReadPosition's own mutex. The forced-exit save
 * waits for g_saveMutex only a bounded time and then writes through a
 * temporary file of its own.
 */
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "platform/elog/elog.h"
#include "platform/statefile/sequence_positions.h"
#include "platform/statefile/statefile.h"
#include "platform/statefile/statefile_format.h"
#include "platform/statefile/statefile_internal.h"
#include "platform/tarnclient/tarn_address.h"
#include "platform/tarnclient/tarnclient_internal.h"

using statefile::SavedPosition;

namespace {

// A tarn reader's position, or a sequence reader's positions per stream.
struct Registration {
  SavedPosition names;  // id, time and at unused: the position holds them
  std::shared_ptr<ReadPosition> position;
  std::shared_ptr<SequencePositions> sequences;
};

std::timed_mutex g_saveMutex;
bool g_saveFailing = false;  // guarded by g_saveMutex: the last save failed

std::mutex g_stateMutex;
std::condition_variable g_exhumed;  // signalled once exhume has read the file
bool g_haveExhumed = false;         // these four guarded by g_stateMutex
std::string g_statefile;
std::map<std::string, SavedPosition> g_saved;  // by key, as exhume read them
std::set<std::string> g_claimed;               // keys of g_saved taken by a reader
std::vector<Registration> g_registered;
double g_lifetime = STATEFILE_DEFAULT_POSITION_LIFETIME;  // of a saved position no reader takes

constexpr auto kExhumeWait = std::chrono::seconds(10);
std::atomic<int> g_waitingForExhume{0};  // tarnresurrect calls in that wait

// The most a statefile may hold: far more than the positions of any relay
// (a line is about 150 bytes), far less than what would hurt to read.
constexpr off_t kMaxStatefileBytes = 16 << 20;

// Reads the whole file. False with `why` set when it cannot be read, or is
// not a regular file of a sane size (a FIFO, a device, a folder would block
// or never end); `missing` tells a file that does not exist.
bool readWholeFile(const std::string &path, std::string &text, std::string &why, bool &missing) {
  missing = false;
  // Not blocking: opening a FIFO would wait for a writer.
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    missing = errno == ENOENT;
    why = std::strerror(errno);
    return false;
  }
  struct stat st;
  if (fstat(fd, &st) != 0) {
    why = std::strerror(errno);
  } else if (!S_ISREG(st.st_mode)) {
    why = "not a regular file";
  } else if (st.st_size > kMaxStatefileBytes) {
    why = std::to_string(st.st_size) + " bytes, more than a statefile can hold (" +
          std::to_string(kMaxStatefileBytes) + ")";
  }
  if (!why.empty()) {
    close(fd);
    return false;
  }
  int error = 0;
  char buffer[65536];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) error = errno;
    if (n <= 0) break;
    text.append(buffer, static_cast<size_t>(n));
    if (static_cast<off_t>(text.size()) > kMaxStatefileBytes) error = EFBIG;  // it grew meanwhile
    if (error) break;
  }
  close(fd);
  if (error) why = std::strerror(error);
  return error == 0;
}

bool writeAll(int fd, const std::string &text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Writes `text` to `path` through `temporary` and a rename, so that the file
// is always either the old one or the new one. "" or the reason.
std::string replaceFile(const std::string &path, const std::string &temporary,
                        const std::string &text) {
  int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return std::string("cannot create '") + temporary + "': " + std::strerror(errno);
  bool written = writeAll(fd, text) && fsync(fd) == 0;
  int writeError = errno;
  if (close(fd) != 0 && written) {
    written = false;
    writeError = errno;
  }
  if (!written) {
    unlink(temporary.c_str());
    return std::string("cannot write '") + temporary + "': " + std::strerror(writeError);
  }
  if (rename(temporary.c_str(), path.c_str()) != 0) {
    int renameError = errno;
    unlink(temporary.c_str());
    return std::string("cannot rename '") + temporary + "': " + std::strerror(renameError);
  }
  return "";
}

double nowSeconds() {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

// Whether resuming at `a` reads from an earlier packet than resuming at `b`.
bool older(const SavedPosition &a, const SavedPosition &b) {
  if (a.time != b.time) return a.time < b.time;
  if (a.id != b.id) return a.id < b.id;
  return a.at && !b.at;
}

// Forgets the saved positions no reader has taken for longer than the
// lifetime, saying which. The caller holds g_stateMutex.
void dropStaleLocked(double now) {
  if (!(g_lifetime > 0)) return;
  for (auto it = g_saved.begin(); it != g_saved.end();) {
    const SavedPosition &p = it->second;
    if (g_claimed.count(it->first) || now - p.seen <= g_lifetime) {
      ++it;
      continue;
    }
    if (p.bySequence()) {
      elog_log(0,
               "bury: forgetting the saved position of reader '%s' of %s '%s' (stream '%s'): no "
               "reader has taken it for %.0f days",
               p.owner.c_str(), p.kind.c_str(), p.address.c_str(), p.stream.c_str(),
               (now - p.seen) / 86400);
      it = g_saved.erase(it);
      continue;
    }
    elog_log(0,
             "bury: forgetting the saved position of reader '%s' of tarn '%s' (%s): no reader has "
             "taken it "
             "for %.0f days",
             p.owner.c_str(), p.tarn.c_str(), p.address.c_str(), (now - p.seen) / 86400);
    it = g_saved.erase(it);
  }
}

// What a save writes: the registered positions that have a place (where two
// registrations share a key, the older one, so that neither reader misses a
// packet) and the saved positions no reader claimed, unless they are stale.
std::vector<SavedPosition> positionsToSave(std::string &path) {
  std::lock_guard<std::mutex> lock(g_stateMutex);
  path = g_statefile;
  double now = std::floor(nowSeconds());
  dropStaleLocked(now);
  std::map<std::string, SavedPosition> out;
  std::set<std::string> registered;
  for (const Registration &r : g_registered) {
    if (r.sequences) {
      for (const auto &[stream, point] : r.sequences->points()) {
        SavedPosition p = r.names;
        p.stream = stream;
        p.sequence = point.sequence;
        p.time = point.time;
        p.at = point.at;
        p.seen = now;
        std::string key = p.key();
        registered.insert(key);
        auto found = out.find(key);
        if (found == out.end() || p.sequence < found->second.sequence ||
            (p.sequence == found->second.sequence && p.at))
          out[key] = p;
      }
      continue;
    }
    SavedPosition p = r.names;
    ResumePoint point = r.position->resumePoint();
    p.id = point.id;
    p.time = point.time;
    p.at = point.at;
    p.seen = now;
    std::string key = p.key();
    registered.insert(key);
    if (p.id < 0) continue;
    auto found = out.find(key);
    if (found == out.end() || older(p, found->second)) out[key] = p;
  }
  for (const auto &[key, p] : g_saved) {
    if (!registered.count(key) && !g_claimed.count(key)) out.emplace(key, p);
  }
  std::vector<SavedPosition> list;
  for (auto &[key, p] : out) list.push_back(p);
  return list;
}

// The save a forced exit makes; it reports on standard error alone, since
// nothing will drain the log library any more.
void saveBeforeExit() {
  // Waits at most two seconds for a save in progress; try_lock in short
  // steps rather than a timed lock, which ThreadSanitizer does not follow.
  std::unique_lock<std::timed_mutex> lock(g_saveMutex, std::defer_lock);
  for (int tries = 0; tries < 200 && !lock.try_lock(); ++tries) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::string path;
  std::vector<SavedPosition> list = positionsToSave(path);
  if (path.empty()) return;
  std::string temporary = path + (lock.owns_lock() ? ".tmp" : ".exit-tmp");
  std::string failure =
      replaceFile(path, temporary, statefile::formatStatefile(list, nowSeconds()));
  std::string line =
      failure.empty() ? "Read positions saved to statefile '" + path + "' before exiting\n"
                      : "Read positions not saved to statefile '" + path + "': " + failure + "\n";
  ssize_t ignored = write(2, line.data(), line.size());
  (void)ignored;
}

}  // namespace

extern "C" {

int exhume(const char *statefile, StopFlag *stop, int grace_seconds, int flags) {
  std::string path = statefile ? statefile : "";
  std::map<std::string, SavedPosition> saved;
  int result = 0;
  std::string text, why;
  bool missing = false;
  if (path.empty()) {
    elog_log(0, "exhume: no statefile name given");
    result = -1;
  } else if (!readWholeFile(path, text, why, missing)) {
    if (!missing) {
      elog_log(0, "exhume: cannot read statefile '%s': %s; starting without saved read positions",
               path.c_str(), why.c_str());
      result = -1;
    }
  } else {
    std::vector<SavedPosition> list;
    if (statefile::parseStatefile(text, list, why)) {
      for (SavedPosition &p : list) {
        if (p.seen == 0) p.seen = std::floor(nowSeconds());  // first format: from now on
        saved[p.key()] = p;
      }
    } else {
      elog_log(0, "exhume: statefile '%s' is unusable (%s); starting without saved read positions",
               path.c_str(), why.c_str());
      result = -1;
    }
  }
  {
    std::lock_guard<std::mutex> lock(g_stateMutex);
    g_statefile = path;
    g_saved = std::move(saved);
    g_claimed.clear();
    g_registered.clear();
    g_haveExhumed = true;
  }
  g_exhumed.notify_all();
  statefile_set_forced_exit_save(path.empty() ? nullptr : saveBeforeExit);
  if (setup_signals(stop, flags, grace_seconds) != 0) result = -1;
  return result;
}

void statefile_set_position_lifetime(double seconds) {
  std::lock_guard<std::mutex> lock(g_stateMutex);
  g_lifetime = seconds;
}

int bury(void) {
  std::lock_guard<std::timed_mutex> lock(g_saveMutex);
  std::string path;
  std::vector<SavedPosition> list = positionsToSave(path);
  if (path.empty()) return 0;
  std::string failure =
      replaceFile(path, path + ".tmp", statefile::formatStatefile(list, nowSeconds()));
  if (!failure.empty()) {
    if (!g_saveFailing) {
      elog_log(
          0,
          "bury: cannot save read positions to statefile '%s': %s (reported once; saving goes on)",
          path.c_str(), failure.c_str());
    }
    g_saveFailing = true;
    return -1;
  }
  if (g_saveFailing)
    elog_log(0, "bury: read positions saved to statefile '%s' again", path.c_str());
  g_saveFailing = false;
  return 0;
}

}  // extern "C"

namespace {

// The saved positions of the first format for a reader's server and
// expressions (their tarn names resolve to `address`), by key.
std::vector<SavedPosition> formerCandidates(const SavedPosition &names) {
  std::vector<SavedPosition> old;
  {
    std::lock_guard<std::mutex> lock(g_stateMutex);
    for (const auto &[key, p] : g_saved) {
      if (p.address.empty() && !g_claimed.count(key) && p.select == names.select &&
          p.reject == names.reject) {
        old.push_back(p);
      }
    }
  }
  std::vector<SavedPosition> matching;
  for (const SavedPosition &p : old) {
    std::vector<std::string> addresses;
    std::string why;
    if (!tarnclient::resolveAddresses(p.tarn, addresses, why)) continue;
    for (const std::string &a : addresses) {
      if (a == names.address) {
        matching.push_back(p);
        break;
      }
    }
  }
  return matching;
}

// Picks the reader's position among the first format's candidates: the one
// under its former name, else the only one, else the oldest (said).
bool pickFormer(const std::vector<SavedPosition> &candidates, const std::string &formerOwner,
                SavedPosition &picked) {
  if (candidates.empty()) return false;
  for (const SavedPosition &p : candidates) {
    if (!formerOwner.empty() && p.owner == formerOwner) {
      picked = p;
      return true;
    }
  }
  picked = candidates.front();
  for (const SavedPosition &p : candidates) {
    if (older(p, picked)) picked = p;
  }
  if (candidates.size() > 1) {
    elog_log(0,
             "tarnresurrect: %zu saved positions of the old statefile format fit the reader of "
             "tarn '%s'; "
             "resuming from the oldest of them",
             candidates.size(), picked.tarn.c_str());
  }
  return true;
}

// The reader's names: its server's address and tarn name, expressions and
// own name. False for an unknown descriptor.
bool readerNames(int fd, const std::string &owner, SavedPosition &names) {
  names.owner = owner;
  return tarnclient::descriptorName(fd, names.tarn) &&
         tarnclient::descriptorAddress(fd, names.address) &&
         tarnclient::descriptorExpressions(fd, names.select, names.reject);
}

// Registers the position (once) and says when another reader already has
// its key. The caller holds g_stateMutex.
void registerLocked(const SavedPosition &names, const std::shared_ptr<ReadPosition> &position) {
  bool already = false, twin = false;
  for (const Registration &r : g_registered) {
    if (r.names.key() != names.key()) continue;
    already = already || r.position == position;
    twin = twin || r.position != position;
  }
  if (already) return;
  if (twin) {
    elog_log(
        0,
        "tarnresurrect: two readers of tarn '%s' have the same expressions and the same name '%s': "
        "their positions cannot be told apart in the statefile, so the older of them is saved for "
        "both",
        names.tarn.c_str(), names.owner.c_str());
  }
  g_registered.push_back({names, position, nullptr});
}

}  // namespace

int tarnresurrect_waiting() { return g_waitingForExhume.load(); }

namespace {

// Waits (bounded) for exhume to have read the statefile; false, having said
// so, when it has not. The caller holds `lock` on g_stateMutex.
bool awaitExhume(std::unique_lock<std::mutex> &lock, const std::string &who) {
  const bool waits = !g_haveExhumed;
  if (waits) g_waitingForExhume.fetch_add(1);
  bool exhumed = g_exhumed.wait_for(lock, kExhumeWait, [] { return g_haveExhumed; });
  if (waits) g_waitingForExhume.fetch_sub(1);
  if (!exhumed) {
    elog_log(0,
             "tarnresurrect: the statefile was not read in time; '%s' starts without its saved "
             "position",
             who.c_str());
  }
  return exhumed;
}

}  // namespace

int sequenceresurrect(const std::string &kind, const std::string &server, const std::string &select,
                      const std::string &owner,
                      const std::shared_ptr<SequencePositions> &positions) {
  if (!positions || kind.empty()) return 0;
  Registration r;
  r.names.kind = kind;
  r.names.address = server;
  r.names.select = select;
  r.names.owner = owner;
  r.sequences = positions;
  int restored = 0;
  std::unique_lock<std::mutex> lock(g_stateMutex);
  awaitExhume(lock, server);
  for (const auto &[key, p] : g_saved) {
    if (!p.bySequence() || p.kind != kind || p.address != server || p.select != select ||
        p.owner != owner || g_claimed.count(key)) {
      continue;
    }
    // Restored before it is registered, so that no save leaves it out.
    positions->restore(p.stream, SequencePositions::Point{p.sequence, p.time, p.at});
    g_claimed.insert(key);
    ++restored;
  }
  for (const Registration &other : g_registered) {
    if (!other.sequences || other.sequences == positions) continue;
    const SavedPosition &n = other.names;
    if (n.kind == kind && n.address == server && n.select == select && n.owner == owner) {
      elog_log(0,
               "sequenceresurrect: two readers of %s '%s' have the same selection and the same "
               "name '%s': the older of their positions per stream is saved for both",
               kind.c_str(), server.c_str(), owner.c_str());
      break;
    }
  }
  bool already = false;
  for (const Registration &other : g_registered) already = already || other.sequences == positions;
  if (!already) g_registered.push_back(r);
  return restored;
}

int tarnresurrect(int fd, const std::shared_ptr<ReadPosition> &position, const std::string &owner,
                  const std::string &formerOwner, std::string *identity) {
  if (!position) return -1;
  SavedPosition names;
  if (!readerNames(fd, owner, names)) {
    elog_log(0, "tarnresurrect: unknown tarn descriptor %d", fd);
    return -1;
  }
  if (identity) names.identity = *identity;
  SavedPosition saved;
  bool found = false;
  {
    std::unique_lock<std::mutex> lock(g_stateMutex);
    awaitExhume(lock, names.tarn);
    auto it = g_saved.find(names.key());
    if (it != g_saved.end()) {
      saved = it->second;
      found = true;
    }
  }
  // Resolving old names may take a while: outside the lock.
  if (!found) found = pickFormer(formerCandidates(names), formerOwner, saved);
  // Restored before it is registered: no save in between may find it empty
  // and leave the claimed position out.
  if (found) position->restore(ResumePoint{saved.id, saved.time, saved.at});
  // The identity goes with the position: older formats did not keep it, and
  // their relays made it from the tag's name.
  if (found) names.identity = !saved.identity.empty() ? saved.identity : formerOwner;
  if (identity) *identity = names.identity;
  {
    std::lock_guard<std::mutex> lock(g_stateMutex);
    if (found) g_claimed.insert(saved.key());
    registerLocked(names, position);
  }
  if (!found) return -1;
  int rc = tarnclient::resumeAt(fd, saved.id, saved.time, saved.at);
  return (rc == 0 || rc == -2 || rc == -3) ? rc : -1;
}
