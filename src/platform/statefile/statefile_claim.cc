/*
 * One process per statefile: a record lock on STATEFILE.lock, taken once at
 * start-up and held until the process ends. The statefile itself cannot
 * carry the lock, since every save renames a new file over it. The lock
 * file is never removed: removing it would let a second process lock a new
 * file of the same name while the first still holds the old one.
 */
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <set>
#include <string>

#include "platform/statefile/statefile.h"

namespace {

std::mutex g_claimMutex;
std::set<std::string> g_claimed;  // statefiles this process holds; guarded by g_claimMutex

std::string systemReason(int error) { return std::strerror(error); }

// Who holds the lock on `fd`: "pid N", or a vaguer text when the system
// does not say.
std::string holderOf(int fd) {
  struct flock probe;
  std::memset(&probe, 0, sizeof probe);
  probe.l_type = F_WRLCK;
  probe.l_whence = SEEK_SET;
  if (fcntl(fd, F_GETLK, &probe) == 0 && probe.l_type != F_UNLCK && probe.l_pid > 0) {
    return "pid " + std::to_string(probe.l_pid);
  }
  return "a process that has just let it go";
}

// Saves write STATEFILE.tmp and rename it over the statefile: both must work.
std::string checkSavable(const std::string &path) {
  struct stat st;
  if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    return "statefile '" + path + "' is a folder";
  }
  std::string temporary = path + ".tmp";
  int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    return "cannot create '" + temporary + "' to save statefile '" + path +
           "': " + systemReason(errno);
  }
  close(fd);
  unlink(temporary.c_str());
  return "";
}

}  // namespace

std::string statefile_claim(const std::string &path) {
  std::lock_guard<std::mutex> guard(g_claimMutex);
  if (g_claimed.count(path)) return "";
  std::string lockPath = path + ".lock";
  int fd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    return "cannot create lock file '" + lockPath + "' of statefile '" + path +
           "': " + systemReason(errno);
  }
  struct flock lock;
  std::memset(&lock, 0, sizeof lock);
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  if (fcntl(fd, F_SETLK, &lock) != 0) {
    int error = errno;
    std::string why =
        (error == EACCES || error == EAGAIN)
            ? "statefile '" + path + "' is in use by another relay (" + holderOf(fd) +
                  ", lock file '" + lockPath + "')"
            : "cannot lock '" + lockPath + "' of statefile '" + path + "': " + systemReason(error);
    close(fd);
    return why;
  }
  std::string problem = checkSavable(path);
  if (!problem.empty()) {
    close(fd);  // lets the lock go
    return problem;
  }
  // For a person looking: the lock, not this text, is what keeps others out.
  std::string pid = std::to_string(getpid()) + "\n";
  if (ftruncate(fd, 0) != 0 || pwrite(fd, pid.data(), pid.size(), 0) < 0) {
    int error = errno;
    close(fd);
    return "cannot write lock file '" + lockPath + "' of statefile '" + path +
           "': " + systemReason(error);
  }
  g_claimed.insert(path);
  return "";
}
