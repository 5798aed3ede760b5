#include "endpoints/sds_archive.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>
#include <vector>

namespace {

// A record's identity in the recent records of its file: FNV-1a over its
// bytes (a match is then compared byte for byte).
uint64_t keyOf(const char *bytes, size_t length) {
  uint64_t hash = 1469598103934665603ull;
  for (size_t i = 0; i < length; ++i) {
    hash ^= static_cast<unsigned char>(bytes[i]);
    hash *= 1099511628211ull;
  }
  return hash;
}

std::string systemError(const std::string &path, int error) {
  return "'" + path + "': " + std::strerror(error);
}

// SEED codes are letters and digits (and an empty location); anything else
// would make a path of its own choosing.
bool plainCode(const std::string &code, bool mayBeEmpty) {
  if (code.empty()) return mayBeEmpty;
  for (char c : code) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_') return false;
  }
  return true;
}

bool fullWrite(int fd, const char *bytes, size_t length, off_t offset, int &error) {
  while (length > 0) {
    ssize_t n = pwrite(fd, bytes, length, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = n < 0 ? errno : ENOSPC;
      return false;
    }
    bytes += n;
    length -= static_cast<size_t>(n);
    offset += n;
  }
  return true;
}

bool syncPath(const std::string &path, int &error) {
  int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    error = errno;
    return false;
  }
  bool ok = fsync(fd) == 0;
  if (!ok) error = errno;
  close(fd);
  return ok;
}

// Record lengths to try when finding the last record of a file, the usual
// first.
constexpr int kLengths[] = {512, 4096, 256, 1024, 2048, 8192, 128, 16384, 32768, 65536};
constexpr size_t kRecentBytes = 1 << 20;

}  // namespace

SdsArchive::SdsArchive(std::string root, size_t maxOpenFiles)
    : m_root(std::move(root)), m_maxOpenFiles(maxOpenFiles) {}

SdsArchive::~SdsArchive() {
  sync();
  for (auto &[path, file] : m_files) close(file.fd);
}

std::string SdsArchive::prepare() {
  std::string problem = makeFolders("");
  if (!problem.empty()) return problem;
  if (access(m_root.c_str(), W_OK | X_OK) != 0) return systemError(m_root, errno);
  struct stat st {};
  if (stat(m_root.c_str(), &st) == 0) m_rootDevice = st.st_dev;
  return "";
}

std::string SdsArchive::dayFile(const mseed::Record &r) {
  if (!plainCode(r.network, false) || !plainCode(r.station, false) ||
      !plainCode(r.location, true) || !plainCode(r.channel, false) || !std::isfinite(r.start)) {
    return "";
  }
  time_t seconds = static_cast<time_t>(std::floor(r.start));
  struct tm t {};
  if (gmtime_r(&seconds, &t) == nullptr) return "";
  char year[16], day[16];
  std::snprintf(year, sizeof year, "%04d", t.tm_year + 1900);
  std::snprintf(day, sizeof day, "%03d", t.tm_yday + 1);
  std::string stream = r.network + "." + r.station + "." + r.location + "." + r.channel;
  return std::string(year) + "/" + r.network + "/" + r.station + "/" + r.channel + ".D/" + stream +
         ".D." + year + "." + day;
}

std::string SdsArchive::makeFolders(const std::string &relative) {
  if (m_knownFolders.count(relative)) return "";
  std::string done;
  size_t start = 0;
  for (;;) {
    std::string path = m_root + (done.empty() ? "" : "/" + done);
    if (!m_knownFolders.count(done)) {
      if (mkdir(path.c_str(), 0755) == 0) {
        size_t slash = path.find_last_of('/');
        m_foldersToSync.insert(slash == std::string::npos || slash == 0 ? "/"
                                                                        : path.substr(0, slash));
      } else {
        int error = errno;
        struct stat st {};
        if (error != EEXIST || stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
          return systemError(path, error == EEXIST ? ENOTDIR : error);
        }
      }
      m_knownFolders.insert(done);
    }
    if (start >= relative.size()) return "";
    size_t slash = relative.find('/', start);
    done = relative.substr(0, slash);
    start = slash == std::string::npos ? relative.size() : slash + 1;
  }
}

std::string SdsArchive::open(const std::string &relative, File *&file) {
  auto found = m_files.find(relative);
  if (found != m_files.end()) {
    file = &found->second;
    m_uses.splice(m_uses.end(), m_uses, file->use);
    return "";
  }
  const std::string path = m_root + "/" + relative;
  int fd = -1;
  for (int attempt = 0; attempt < 2 && fd < 0; ++attempt) {
    std::string problem = makeFolders(relative.substr(0, relative.rfind('/')));
    if (!problem.empty()) return problem;
    fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd >= 0) {
      m_foldersToSync.insert(path.substr(0, path.rfind('/')));
    } else if (errno == EEXIST) {
      fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    }
    if (fd < 0 && errno != ENOENT) break;
    // A folder known to exist was removed: make them all anew.
    if (fd < 0) m_knownFolders.clear();
  }
  if (fd < 0) return systemError(path, errno);
  struct stat st {};
  if (fstat(fd, &st) != 0) {
    int error = errno;
    close(fd);
    return systemError(path, error);
  }
  if (m_files.size() >= m_maxOpenFiles) closeOldest();
  File &f = m_files[relative];
  f.fd = fd;
  f.device = st.st_dev;
  f.inode = st.st_ino;
  f.size = lseek(fd, 0, SEEK_END);
  f.heldBefore = f.size;
  f.use = m_uses.insert(m_uses.end(), relative);
  loadRecent(f);
  file = &f;
  return "";
}

// Finds the records the file ends with, from its end backwards, by the
// lengths their headers give.
void SdsArchive::loadRecent(File &file) {
  if (file.size <= 0) return;
  size_t window = static_cast<size_t>(std::min<off_t>(file.size, kRecentBytes));
  std::vector<char> tail(window);
  off_t base = file.size - static_cast<off_t>(window);
  if (pread(file.fd, tail.data(), window, base) != static_cast<ssize_t>(window)) return;
  std::deque<Recent> found;
  size_t end = window;
  while (found.size() < kRecentRecords) {
    int length = 0;
    for (int candidate : kLengths) {
      if (static_cast<size_t>(candidate) <= end &&
          mseed::recordLength(tail.data() + end - candidate, candidate) == candidate) {
        length = candidate;
        break;
      }
    }
    if (length == 0) break;
    end -= static_cast<size_t>(length);
    found.push_front({keyOf(tail.data() + end, static_cast<size_t>(length)),
                      base + static_cast<off_t>(end), static_cast<size_t>(length)});
  }
  file.recent = std::move(found);
}

bool SdsArchive::sameAt(File &file, off_t offset, const char *bytes, size_t length) {
  if (offset < 0 || offset + static_cast<off_t>(length) > file.size) return false;
  std::vector<char> stored(length);
  return pread(file.fd, stored.data(), length, offset) == static_cast<ssize_t>(length) &&
         std::memcmp(stored.data(), bytes, length) == 0;
}

off_t SdsArchive::findByStart(File &file, double start, size_t length) {
  off_t count = file.heldBefore / static_cast<off_t>(length);
  if (count == 0 || file.heldBefore % static_cast<off_t>(length) != 0) return -1;
  std::vector<char> record(length);
  off_t low = 0, high = count - 1;
  while (low <= high) {
    off_t middle = low + (high - low) / 2;
    off_t offset = middle * static_cast<off_t>(length);
    std::vector<mseed::Record> h;
    if (pread(file.fd, record.data(), length, offset) != static_cast<ssize_t>(length) ||
        !mseed::headers(record.data(), length, &h).empty() || h.size() != 1) {
      return -1;  // records of other lengths: not a file to search this way
    }
    if (h[0].start == start) return offset;
    if (h[0].start < start) {
      low = middle + 1;
    } else {
      high = middle - 1;
    }
  }
  return -1;
}

bool SdsArchive::alreadyThere(File &file, uint64_t key, const mseed::Record &header,
                              const char *bytes, size_t length) {
  for (const Recent &r : file.recent) {
    if (r.key == key && r.length == length && sameAt(file, r.offset, bytes, length)) return true;
  }
  if (!file.matching || file.heldBefore == 0) return false;
  if (file.next >= 0 && file.next < file.heldBefore && sameAt(file, file.next, bytes, length)) {
    file.next += static_cast<off_t>(length);
    return true;
  }
  off_t found = findByStart(file, header.start, length);
  if (found >= 0 && sameAt(file, found, bytes, length)) {
    file.next = found + static_cast<off_t>(length);
    return true;
  }
  // A record the file did not hold: the ones after it are new too.
  file.matching = false;
  return false;
}

void SdsArchive::remember(File &file, uint64_t key, off_t offset, size_t length) {
  file.recent.push_back({key, offset, length});
  if (file.recent.size() > kRecentRecords) file.recent.pop_front();
}

std::string SdsArchive::append(const mseed::Record &header, const char *bytes, size_t length,
                               Appended &result) {
  std::string relative = dayFile(header);
  if (relative.empty()) return "the record's codes or start time make no file name";
  File *file = nullptr;
  std::string problem = open(relative, file);
  if (!problem.empty()) return problem;
  uint64_t key = keyOf(bytes, length);
  if (alreadyThere(*file, key, header, bytes, length)) {
    result = Appended::kAlreadyThere;
    return "";
  }
  int error = 0;
  if (!fullWrite(file->fd, bytes, length, file->size, error)) {
    // Nothing of a record half written stays: the file ends on whole records.
    if (ftruncate(file->fd, file->size) != 0) error = errno;
    return systemError(m_root + "/" + relative, error);
  }
  remember(*file, key, file->size, length);
  file->size += static_cast<off_t>(length);
  file->dirty = true;
  result = Appended::kWritten;
  return "";
}

// Checked after the fsync, so that a file removed before or while it was
// flushed is caught: what passes was on disk under its name.
std::string SdsArchive::syncFile(const std::string &relative, File &file) {
  if (!file.dirty) return "";
  if (fsync(file.fd) != 0) return systemError(m_root + "/" + relative, errno);
  if (!stillNamed(relative, file)) {
    m_lost.push_back(relative);
    return "";
  }
  file.dirty = false;
  return "";
}

bool SdsArchive::stillNamed(const std::string &relative, const File &file) const {
  struct stat st {};
  if (stat((m_root + "/" + relative).c_str(), &st) != 0) return false;
  return st.st_dev == file.device && st.st_ino == file.inode;
}

// Closes a file found gone; the folders on its way may be gone too.
void SdsArchive::forget(const std::string &relative) {
  auto found = m_files.find(relative);
  if (found == m_files.end()) return;
  close(found->second.fd);
  m_uses.erase(found->second.use);
  m_files.erase(found);
  m_knownFolders.clear();
}

SdsArchive::Lost SdsArchive::takeLost() {
  Lost lost;
  lost.files.swap(m_lost);
  if (!lost.files.empty()) {
    struct stat st {};
    lost.otherDevice = stat(m_root.c_str(), &st) == 0 && st.st_dev != m_rootDevice;
  }
  return lost;
}

std::string SdsArchive::sync() {
  std::string first;
  const size_t lostBefore = m_lost.size();
  for (auto &[relative, file] : m_files) {
    std::string problem = syncFile(relative, file);
    if (first.empty()) first = problem;
  }
  for (size_t i = lostBefore; i < m_lost.size(); ++i) forget(m_lost[i]);
  for (auto it = m_foldersToSync.begin(); it != m_foldersToSync.end();) {
    int error = 0;
    if (syncPath(*it, error)) {
      it = m_foldersToSync.erase(it);
    } else {
      if (first.empty()) first = systemError(*it, error);
      ++it;
    }
  }
  return first;
}

void SdsArchive::closeOldest() {
  for (auto it = m_uses.begin(); it != m_uses.end(); ++it) {
    File &file = m_files.at(*it);
    const size_t lostBefore = m_lost.size();
    if (!syncFile(*it, file).empty()) continue;  // kept open until it syncs
    if (m_lost.size() > lostBefore) m_knownFolders.clear();
    close(file.fd);
    m_files.erase(*it);
    m_uses.erase(it);
    return;
  }
}
