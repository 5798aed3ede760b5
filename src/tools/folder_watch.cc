#include "tools/folder_watch.h"

#include <dirent.h>
#include <fnmatch.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

namespace tarntool {
namespace {

constexpr uint32_t kEvents = IN_CREATE | IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_FROM | IN_MOVED_TO |
                             IN_DELETE | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
// The events that mean the folder itself is no longer watched.
constexpr uint32_t kLost = IN_Q_OVERFLOW | IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED | IN_UNMOUNT;

}  // namespace

FolderWatch::FolderWatch(std::string folder, std::string pattern)
    : m_folder(std::move(folder)), m_pattern(std::move(pattern)) {
  m_inotify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (m_inotify < 0) m_whyNot = std::string("inotify: ") + std::strerror(errno);
  startWatching();
}

FolderWatch::~FolderWatch() {
  if (m_inotify >= 0) ::close(m_inotify);
}

void FolderWatch::startWatching() {
  if (m_inotify < 0 || m_watch >= 0) return;
  m_watch = inotify_add_watch(m_inotify, m_folder.c_str(), kEvents);
  if (m_watch < 0) m_whyNot = std::string("inotify: ") + std::strerror(errno);
}

void FolderWatch::stopWatching(const std::string &why) {
  if (m_watch >= 0) inotify_rm_watch(m_inotify, m_watch);
  m_watch = -1;
  m_whyNot = why;
}

bool FolderWatch::follows(const char *name) const {
  return name[0] != '.' && (m_pattern.empty() || fnmatch(m_pattern.c_str(), name, 0) == 0) &&
         !m_ignored.count(name);
}

bool FolderWatch::look(const std::string &name, FileSeen &out) const {
  struct stat st;
  if (!follows(name.c_str()) || ::stat((m_folder + "/" + name).c_str(), &st) != 0 ||
      !S_ISREG(st.st_mode))
    return false;
  out = FileSeen{name, static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino),
                 static_cast<uint64_t>(st.st_size)};
  return true;
}

bool FolderWatch::list(std::vector<FileSeen> &out, std::string &err) {
  out.clear();
  DIR *dir = opendir(m_folder.c_str());
  if (!dir) {
    err = "cannot read folder '" + m_folder + "': " + std::strerror(errno);
    return false;
  }
  startWatching();
  FileSeen seen;
  while (struct dirent *e = readdir(dir)) {
    if (look(e->d_name, seen)) out.push_back(seen);
  }
  closedir(dir);
  std::sort(out.begin(), out.end(),
            [](const FileSeen &a, const FileSeen &b) { return a.name < b.name; });
  return true;
}

void FolderWatch::wait(double seconds, std::set<std::string> &names, bool &everything) {
  if (m_watch < 0) {
    if (seconds > 0) poll(nullptr, 0, static_cast<int>(std::ceil(std::min(seconds, 1.0) * 1000)));
    return;
  }
  struct pollfd p = {m_inotify, POLLIN, 0};
  int ms = static_cast<int>(std::ceil(std::clamp(seconds, 0.0, 1.0) * 1000));
  if (poll(&p, 1, ms) <= 0) return;
  alignas(struct inotify_event) char buf[65536];
  // A bounded number of reads: writers that never pause must not keep the
  // caller here.
  for (int reads = 0; reads < 16; ++reads) {
    ssize_t n = ::read(m_inotify, buf, sizeof buf);
    if (n <= 0) return;
    for (char *at = buf; at < buf + n;) {
      const auto *e = reinterpret_cast<const struct inotify_event *>(at);
      at += sizeof(struct inotify_event) + e->len;
      if (e->mask & kLost) {
        everything = true;
        if (!(e->mask & IN_Q_OVERFLOW)) stopWatching("the folder itself was removed or moved");
      } else if (e->len > 0 && follows(e->name)) {
        names.insert(e->name);
      }
    }
  }
}

}  // namespace tarntool
