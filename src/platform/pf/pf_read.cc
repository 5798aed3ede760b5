// pfread: finding a parameter file, reading it whole and keeping its object.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/elog/elog.h"
#include "platform/pf/pf.h"
#include "platform/pf/pf_object.h"
#include "platform/pf/pf_parse.h"

namespace {

// The objects pfread handed out, by the path of their file, the latest last.
// Never destroyed, so an object stays valid for any thread still using it
// while the program ends. Reading an unchanged file again hands out the same
// object, so a program that rereads its files does not grow.
struct Store {
  std::mutex mutex;
  std::unordered_map<std::string, std::vector<std::unique_ptr<Pf>>> objects;  // guarded by mutex
};

Store &store() {
  static Store *theStore = new Store;
  return *theStore;
}

// The folders to look in: the current one (""), then those of PFPATH.
std::vector<std::string> searchFolders(const std::string &name) {
  std::vector<std::string> folders{""};
  const char *env = std::getenv("PFPATH");
  if (name[0] == '/' || !env) return folders;
  std::string path = env;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find(':', start);
    if (end == std::string::npos) end = path.size();
    if (end > start) folders.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return folders;
}

bool exists(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

// The path of the file `name` stands for, or "" when there is none.
std::string findFile(const std::string &name) {
  for (const std::string &folder : searchFolders(name)) {
    std::string base = folder.empty()         ? name
                       : folder.back() == '/' ? folder + name
                                              : folder + "/" + name;
    for (const char *suffix : {"", ".pf"}) {
      if (exists(base + suffix)) return base + suffix;
    }
  }
  return "";
}

// Reads a regular file whole. A FIFO or device is refused rather than read,
// so that pfread never blocks.
bool readWhole(const std::string &path, std::string *text) {
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    elog_log(0, "file %s: cannot be opened: %s", path.c_str(), std::strerror(errno));
    return false;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    elog_log(0, "file %s: not a regular file", path.c_str());
    close(fd);
    return false;
  }
  char buffer[65536];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      elog_log(0, "file %s: cannot be read: %s", path.c_str(), std::strerror(errno));
      close(fd);
      return false;
    }
    text->append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  return true;
}

int readFile(const std::string &name, Pf **pf) {
  std::string path = findFile(name);
  if (path.empty()) return -1;
  std::string text;
  if (!readWhole(path, &text)) return -3;
  auto object = std::make_unique<Pf>(PFARR);
  pfimpl::ParseError error;
  if (!pfimpl::parseText(text, *object, &error)) {
    elog_log(0, "file %s line %zu: %s", path.c_str(), error.line, error.reason.c_str());
    return -2;
  }
  Store &s = store();
  std::lock_guard<std::mutex> lock(s.mutex);
  auto &objects = s.objects[path];
  if (objects.empty() || !pfimpl::equal(*objects.back(), *object)) {
    objects.push_back(std::move(object));
  }
  if (pf) *pf = objects.back().get();
  return 0;
}

}  // namespace

extern "C" int pfread(const char *name, Pf **pf) {
  if (pf) *pf = nullptr;
  if (!name || !*name) {
    elog_log(0, "pfread: no file name given");
    return -1;
  }
  try {
    return readFile(name, pf);
  } catch (const std::bad_alloc &) {
    elog_log(0, "file %s: too large to read into memory", name);
    return -3;
  }
}
