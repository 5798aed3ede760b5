#include "tools/follower.h"

#include <algorithm>
#include <cstdio>

#include "platform/tarnclient/tarnclient_internal.h"
#include "tools/tool_support.h"

namespace tarntool {
namespace {

using Seconds = std::chrono::duration<double>;

constexpr std::chrono::seconds kListEvery{5}, kListEveryUnwatched{1};
constexpr std::chrono::seconds kReportEvery{10};
constexpr std::chrono::seconds kSaveQuietAfter{1};

double secondsUntil(std::chrono::steady_clock::time_point t) {
  return Seconds(t - std::chrono::steady_clock::now()).count();
}

}  // namespace

Follower::Follower(std::string tarn, std::string folder, FollowState &state, FolderWatch &watch,
                   int fd)
    : m_tarn(std::move(tarn)),
      m_folder(std::move(folder)),
      m_state(state),
      m_watch(watch),
      m_fd(fd) {
  for (const auto &[key, f] : m_state.files) m_byName[f.name] = key;
}

// A file under the same name and inode whose device number changed (a
// volume numbered anew at a reboot) is the same file: its print, checked
// before it is read, says whether it really is.
void Follower::renumberDevice(const FileSeen &seen) {
  FileKey key{seen.device, seen.inode};
  auto named = m_byName.find(seen.name);
  if (m_state.files.count(key) || named == m_byName.end()) return;
  auto old = m_state.files.find(named->second);
  if (old == m_state.files.end() || old->second.inode != seen.inode) return;
  FollowedFile f = old->second;
  m_state.files.erase(old);
  f.device = seen.device;
  m_state.files[key] = f;
  named->second = key;
  m_stateDirty = true;
}

void Follower::take(const FileSeen &seen) {
  renumberDevice(seen);
  FileKey key{seen.device, seen.inode};
  auto [it, isNew] = m_state.files.try_emplace(key);
  FollowedFile &f = it->second;
  if (isNew) {
    f.device = seen.device;
    f.inode = seen.inode;
    f.name = seen.name;
    ++m_total.filesTaken;
    m_stateDirty = true;
  } else if (f.name != seen.name) {
    auto old = m_byName.find(f.name);
    if (old != m_byName.end() && old->second == key) m_byName.erase(old);
    f.name = seen.name;
    m_stateDirty = true;
  }
  m_byName[seen.name] = key;
  f.size = seen.size;
}

void Follower::forget(std::map<FileKey, FollowedFile>::iterator it) {
  const FollowedFile &f = it->second;
  if (f.size > f.taken) {
    std::fprintf(stderr, "tarn import: %s: gone with %llu bytes after byte %llu not taken\n",
                 f.name.c_str(), static_cast<unsigned long long>(f.size - f.taken),
                 static_cast<unsigned long long>(f.taken));
  }
  auto named = m_byName.find(f.name);
  if (named != m_byName.end() && named->second == it->first) m_byName.erase(named);
  m_state.files.erase(it);
  ++m_total.forgotten;
  m_stateDirty = true;
}

void Follower::listAll() {
  std::vector<FileSeen> seen;
  std::string err;
  m_relist = false;
  // A folder that cannot be listed forgets nothing: its files may come back.
  if (!m_watch.list(seen, err)) {
    if (!m_listFailing) std::fprintf(stderr, "tarn import: %s; trying again\n", err.c_str());
    m_listFailing = true;
    return;
  }
  if (m_listFailing) {
    std::printf("tarn import: %s can be read again\n", m_folder.c_str());
    std::fflush(stdout);
  }
  m_listFailing = false;
  std::set<FileKey> present;
  for (const FileSeen &s : seen) {
    present.insert({s.device, s.inode});
    take(s);
  }
  // A file renamed while the folder is read may be missed under both names:
  // a file is forgotten only when a second listing, made at once, misses it
  // too.
  for (auto it = m_state.files.begin(); it != m_state.files.end();) {
    auto at = it++;
    if (present.count(at->first)) {
      at->second.missing = 0;
    } else if (++at->second.missing >= 2) {
      forget(at);
    } else {
      m_relist = true;
    }
  }
}

void Follower::lookAt(const std::set<std::string> &names) {
  for (const std::string &name : names) {
    FileSeen s;
    if (m_watch.look(name, s)) {
      take(s);
    } else if (m_byName.count(name)) {
      // Removed, or renamed: only a listing of the whole folder tells which.
      m_relist = true;
    }
  }
}

bool Follower::anyWork() const {
  return std::any_of(m_state.files.begin(), m_state.files.end(),
                     [this](const auto &entry) { return hasWork(entry.second); });
}

void Follower::tick(Clock::time_point now) {
  double wall = Seconds(now.time_since_epoch()).count();
  for (auto &[key, f] : m_state.files) {
    if (f.waitingSince == 0 || f.waitingSaid || wall - f.waitingSince < 120) continue;
    f.waitingSaid = true;
    std::fprintf(stderr,
                 "tarn import: %s: the %llu bytes from byte %llu have not been a whole record for "
                 "two minutes (a writer stopped inside a record, or bytes that are no record); "
                 "waiting for more\n",
                 f.name.c_str(), static_cast<unsigned long long>(f.lookedTo - f.assigned),
                 static_cast<unsigned long long>(f.assigned));
  }
  if (m_stateDirty && !m_saveFailing && now - m_lastSave >= kSaveQuietAfter) {
    std::string why = m_state.save();
    m_lastSave = now;
    if (why.empty())
      m_stateDirty = false;
    else
      std::fprintf(stderr, "tarn import: %s\n", why.c_str());
  }
  if (now - m_lastReport >= kReportEvery) report(false);
}

void Follower::report(bool final) {
  m_lastReport = Clock::now();
  Counts d{m_total.put - m_reported.put,
           m_total.again - m_reported.again,
           m_total.skipped - m_reported.skipped,
           m_total.filesTaken - m_reported.filesTaken,
           m_total.forgotten - m_reported.forgotten,
           0};
  m_reported = m_total;
  if (final) {
    std::string again = m_total.again == 0 ? ""
                                           : " (and " + std::to_string(m_total.again) +
                                                 " numbered before a restart, again)";
    std::printf(
        "tarn import: %ld records put%s, %ld skipped, %zu streams, %ld files taken, "
        "%ld forgotten\n",
        m_total.put, again.c_str(), m_total.skipped, m_streams.size(), m_total.filesTaken,
        m_total.forgotten);
  } else if (d.put || d.skipped || d.filesTaken || d.forgotten) {
    std::printf(
        "tarn import: %s: %ld records put, %ld skipped, %ld files taken, %ld forgotten; "
        "%zu files followed\n",
        m_folder.c_str(), d.put, d.skipped, d.filesTaken, d.forgotten, m_state.files.size());
  }
  std::fflush(stdout);
}

bool Follower::run() {
  tarnclient::callerSaysRefusals(m_fd);
  listAll();
  std::printf("tarn import: following %s (%zu files; state %s%s), putting to %s%s%s\n",
              m_folder.c_str(), m_state.files.size(), m_state.path().c_str(),
              m_state.isNew() ? ", new" : "", m_tarn.c_str(),
              m_watch.watching() ? "" : "; listing it every second, ",
              m_watch.watching() ? "" : m_watch.whyNotWatching().c_str());
  std::fflush(stdout);
  m_lastReport = m_lastSave = Clock::now();
  m_reported.filesTaken = m_total.filesTaken;
  Clock::time_point nextList = Clock::now() + kListEvery, nextTick = Clock::now();
  bool whole = true;
  while (!interrupted()) {
    bool work = anyWork() && Clock::now() >= m_notBefore;
    if (work && !turn()) {
      whole = false;
      break;
    }
    double wait = work ? 0 : std::min(secondsUntil(nextList), secondsUntil(nextTick));
    if (!work && anyWork()) wait = std::min(wait, secondsUntil(m_notBefore));
    std::set<std::string> names;
    bool everything = false;
    m_watch.wait(wait, names, everything);
    if (everything || m_relist || Clock::now() >= nextList) {
      listAll();
      nextList = Clock::now() + (m_watch.watching() ? kListEvery : kListEveryUnwatched);
    } else if (!names.empty()) {
      lookAt(names);
    }
    if (Clock::now() >= nextTick) {
      tick(Clock::now());
      nextTick = Clock::now() + std::chrono::seconds(1);
    }
  }
  std::string why = m_state.save();
  if (!why.empty()) std::fprintf(stderr, "tarn import: %s\n", why.c_str());
  report(true);
  return whole && why.empty();
}

}  // namespace tarntool
