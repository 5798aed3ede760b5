// FolderWatch: the files of one folder that `tarn import --follow` follows,
// and word of their changes.
//
// The files are the regular files right in the folder (symbolic links
// followed, subfolders not entered) whose name does not start with '.' and
// matches the shell pattern given (every name when it is empty). Changes come
// from inotify: wait() hands over the names that were written, made, moved or
// removed. Where inotify cannot watch the folder (no watches left, a folder
// that was removed and made again), the caller's periodic full listing is
// all there is; the watch is set again at the next listing that succeeds.
//
// Failures: list() and look() answer false with the reason. Nothing is
// printed here.
// Thread-safety: one thread at a time.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace tarntool {

struct FileSeen {
  std::string name;
  uint64_t device = 0, inode = 0, size = 0;
};

class FolderWatch {
 public:
  FolderWatch(std::string folder, std::string pattern);
  ~FolderWatch();
  FolderWatch(const FolderWatch &) = delete;
  FolderWatch &operator=(const FolderWatch &) = delete;

  // Leaves this name out (the follower's own state file, when it lies in
  // the folder).
  void ignore(const std::string &name) { m_ignored.insert(name); }

  // Whether inotify watches the folder now; why not, when it does not.
  bool watching() const { return m_watch >= 0; }
  const std::string &whyNotWatching() const { return m_whyNot; }

  // Every followed file, in name order (and the watch set again when lost).
  bool list(std::vector<FileSeen> &out, std::string &err);
  // One name: false when it is not a followed file (any more).
  bool look(const std::string &name, FileSeen &out) const;
  // Waits at most `seconds` for changes, then adds the names changed to
  // `names`; `everything` is set when the watch lost track (events dropped,
  // the folder itself removed or moved) and only a full listing will do.
  // Returns early on a signal.
  void wait(double seconds, std::set<std::string> &names, bool &everything);

 private:
  bool follows(const char *name) const;
  void startWatching();
  void stopWatching(const std::string &why);

  const std::string m_folder, m_pattern;
  int m_inotify = -1, m_watch = -1;
  std::string m_whyNot;
  std::set<std::string> m_ignored;
};

}  // namespace tarntool
