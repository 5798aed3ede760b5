#include "tools/follow_state.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <sstream>

namespace tarntool {
namespace {

std::string systemReason() { return std::strerror(errno); }

// A name as one word: bytes up to the blank, DEL and '%' as %XX.
std::string escaped(const std::string &name) {
  std::string out;
  for (unsigned char c : name) {
    if (c <= ' ' || c == 0x7f || c == '%') {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

bool unescaped(const std::string &word, std::string &out) {
  out.clear();
  for (size_t i = 0; i < word.size(); ++i) {
    if (word[i] != '%') {
      out += word[i];
      continue;
    }
    unsigned value = 0;
    if (i + 2 >= word.size() || std::sscanf(word.c_str() + i + 1, "%2x", &value) != 1) return false;
    out += static_cast<char>(value);
    i += 2;
  }
  return !out.empty();
}

bool readAll(const std::string &path, std::string &text, std::string &err) {
  FILE *f = std::fopen(path.c_str(), "rb");
  if (!f) {
    if (errno != ENOENT) err = "cannot read state file '" + path + "': " + systemReason();
    return false;
  }
  char buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
  if (std::ferror(f)) err = "cannot read state file '" + path + "': " + systemReason();
  std::fclose(f);
  return err.empty();
}

std::string writeWhole(const std::string &path, const std::string &text) {
  std::string temporary = path + ".tmp";
  int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return "cannot create '" + temporary + "': " + systemReason();
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  bool written = done == text.size() && ::fsync(fd) == 0;
  std::string why = written ? "" : "cannot write '" + temporary + "': " + systemReason();
  if (::close(fd) != 0 && written) why = "cannot write '" + temporary + "': " + systemReason();
  if (why.empty() && std::rename(temporary.c_str(), path.c_str()) != 0)
    why = "cannot rename '" + temporary + "' to '" + path + "': " + systemReason();
  if (!why.empty()) ::unlink(temporary.c_str());
  return why;
}

uint64_t newOrigin() {
  uint64_t v = 0;
  while (v == 0) {
    if (getrandom(&v, sizeof v, 0) != static_cast<ssize_t>(sizeof v)) v = 0;
  }
  return v;
}

}  // namespace

FollowState::FollowState(std::string path, std::string folder)
    : m_path(std::move(path)), m_folder(std::move(folder)) {}

FollowState::~FollowState() {
  if (m_lockFd >= 0) ::close(m_lockFd);
}

uint64_t FollowState::printOf(const char *bytes, size_t n) {
  uint64_t h = 0xcbf29ce484222325ull;
  for (size_t i = 0; i < n; ++i) {
    h ^= static_cast<unsigned char>(bytes[i]);
    h *= 0x100000001b3ull;
  }
  return h;
}

std::string FollowState::lock() {
  std::string lockPath = m_path + ".lock";
  m_lockFd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (m_lockFd < 0) return "cannot create lock file '" + lockPath + "': " + systemReason();
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  if (fcntl(m_lockFd, F_SETLK, &lock) == 0) return "";
  std::string holder = "another process";
  struct flock probe {};
  probe.l_type = F_WRLCK;
  probe.l_whence = SEEK_SET;
  if (fcntl(m_lockFd, F_GETLK, &probe) == 0 && probe.l_type != F_UNLCK && probe.l_pid > 0)
    holder = "pid " + std::to_string(probe.l_pid);
  return "state file '" + m_path + "' is in use by " + holder + " (lock file '" + lockPath + "')";
}

std::string FollowState::open() {
  std::string err = lock();
  if (!err.empty()) return err;
  std::string text;
  if (readAll(m_path, text, err)) return parse(text);
  if (!err.empty()) return err;
  m_new = true;
  origin = newOrigin();
  return save();
}

std::string FollowState::parse(const std::string &text) {
  std::istringstream in(text);
  std::string line, folder;
  for (int number = 1; std::getline(in, line); ++number) {
    std::istringstream words(line);
    std::string key, name;
    words >> key;
    bool ok = true;
    if (key.empty() || key[0] == '#') continue;
    if (key == "folder") {
      std::string word;
      ok = words >> word && unescaped(word, folder);
    } else if (key == "origin") {
      ok = static_cast<bool>(words >> std::hex >> origin) && origin != 0;
    } else if (key == "next") {
      ok = static_cast<bool>(words >> next);
    } else if (key == "file") {
      FollowedFile f;
      std::string word;
      ok = words >> f.device >> f.inode >> f.taken >> f.assigned >> f.sequence >> f.printLength >>
               std::hex >> f.print >> word &&
           unescaped(word, f.name) && f.taken <= f.assigned && f.printLength <= kPrintBytes;
      f.lookedTo = f.assigned;
      if (ok) files[{f.device, f.inode}] = f;
    } else {
      ok = false;
    }
    if (!ok) {
      return "state file '" + m_path + "' line " + std::to_string(number) + ": cannot read '" +
             line + "'";
    }
  }
  if (origin == 0) return "state file '" + m_path + "' names no origin";
  if (folder != m_folder)
    return "state file '" + m_path + "' is of folder '" + folder + "', not '" + m_folder + "'";
  return "";
}

std::string FollowState::save() {
  std::string text = "# tarn import --follow: what is taken of each file (docs/import-follow.md)\n";
  char line[160];
  text += "folder " + escaped(m_folder) + "\n";
  std::snprintf(line, sizeof line, "origin %016" PRIx64 "\nnext %" PRIu64 "\n", origin, next);
  text += line;
  text += "# file DEVICE INODE TAKEN ASSIGNED SEQUENCE PRINTLENGTH PRINT NAME\n";
  for (const auto &[key, f] : files) {
    std::snprintf(line, sizeof line,
                  "file %" PRIu64 " %" PRIu64 " %" PRIu64 " %" PRIu64 " %" PRIu64 " %u %016" PRIx64
                  " ",
                  f.device, f.inode, f.taken, f.assigned, f.sequence, f.printLength, f.print);
    text += line + escaped(f.name) + "\n";
  }
  std::string why = writeWhole(m_path, text);
  if (why.empty()) m_savedBytes = text.size();
  return why;
}

}  // namespace tarntool
