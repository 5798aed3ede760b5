#include "tools/http_server.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace tarntool {
namespace {

constexpr int kTickMs = 200;           // time-outs are looked at this often
constexpr int kSpareDescriptors = 64;  // kept for everything but the connections
constexpr double kListenPause = 0.1;   // out of descriptors: accept again after this
constexpr size_t kReadChunk = 4096;
constexpr size_t kWriteChunk = 1 << 20;

const char *reason(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 400:
      return "Bad Request";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 408:
      return "Request Timeout";
    case 413:
      return "Content Too Large";
    case 421:
      return "Misdirected Request";
    case 431:
      return "Request Header Fields Too Large";
    case 503:
      return "Service Unavailable";
    case 505:
      return "HTTP Version Not Supported";
    default:
      return "Error";
  }
}

std::string lower(std::string s) {
  for (char &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string trim(const std::string &s) {
  size_t a = s.find_first_not_of(" \t"), b = s.find_last_not_of(" \t");
  return a == std::string::npos ? "" : s.substr(a, b - a + 1);
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

std::string decode(const std::string &s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    int hi = -1, lo = -1;
    if (s[i] == '%' && i + 2 < s.size() && (hi = hexValue(s[i + 1])) >= 0 &&
        (lo = hexValue(s[i + 2])) >= 0) {
      out += static_cast<char>(hi * 16 + lo);
      i += 2;
    } else {
      out += s[i] == '+' ? ' ' : s[i];
    }
  }
  return out;
}

std::map<std::string, std::string> queryParams(const std::string &query) {
  std::map<std::string, std::string> params;
  size_t at = 0;
  while (at <= query.size() && !query.empty()) {
    size_t end = std::min(query.find('&', at), query.size());
    std::string pair = query.substr(at, end - at);
    size_t eq = pair.find('=');
    if (!pair.empty())
      params.emplace(decode(pair.substr(0, eq)),
                     eq == std::string::npos ? "" : decode(pair.substr(eq + 1)));
    at = end + 1;
  }
  return params;
}

HttpResponse plain(int status, const std::string &text) {
  HttpResponse r;
  r.status = status;
  r.body = text + "\n";
  return r;
}

std::string serialise(const HttpResponse &r, bool head, bool keepAlive) {
  std::string s = "HTTP/1.1 " + std::to_string(r.status) + " " + reason(r.status) + "\r\n";
  s += "Content-Type: " + r.contentType + "\r\n";
  s += "Content-Length: " + std::to_string(r.body.size()) + "\r\n";
  s += "Cache-Control: no-store\r\n";
  s += keepAlive ? "Connection: keep-alive\r\n\r\n" : "Connection: close\r\n\r\n";
  if (!head) s += r.body;
  return s;
}

double since(std::chrono::steady_clock::time_point t, std::chrono::steady_clock::time_point now) {
  return std::chrono::duration<double>(now - t).count();
}

}  // namespace

HttpServer::HttpServer(HttpLimits limits, Handler handler)
    : limits_(limits), handler_(std::move(handler)) {
  epollFd_ = epoll_create1(EPOLL_CLOEXEC);
  wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

HttpServer::~HttpServer() {
  for (auto &entry : connections_) ::close(entry.first);
  if (listenFd_ >= 0) ::close(listenFd_);
  if (wakeFd_ >= 0) ::close(wakeFd_);
  if (epollFd_ >= 0) ::close(epollFd_);
}

int HttpServer::bind(const std::string &host, int port, std::string &why) {
  if (epollFd_ < 0 || wakeFd_ < 0) {
    why = std::strerror(errno);
    return -1;
  }
  // Room for every connection allowed: raise the soft descriptor limit as
  // far as the hard one lets, and allow fewer connections when that is short.
  rlimit nofile{};
  if (getrlimit(RLIMIT_NOFILE, &nofile) == 0) {
    rlim_t want = static_cast<rlim_t>(limits_.maxConnections + kSpareDescriptors);
    if (nofile.rlim_cur < want) {
      nofile.rlim_cur = std::min(want, nofile.rlim_max);
      setrlimit(RLIMIT_NOFILE, &nofile);
      getrlimit(RLIMIT_NOFILE, &nofile);
    }
    if (nofile.rlim_cur < want)
      limits_.maxConnections = std::max(1, static_cast<int>(nofile.rlim_cur) - kSpareDescriptors);
  }
  addrinfo hints{}, *found = nullptr;
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  int rc = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
  if (rc != 0) {
    why = gai_strerror(rc);
    return -1;
  }
  why = "no address";
  for (addrinfo *a = found; a && listenFd_ < 0; a = a->ai_next) {
    int fd = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) continue;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd, a->ai_addr, a->ai_addrlen) == 0 && listen(fd, 1024) == 0) {
      listenFd_ = fd;
    } else {
      why = std::strerror(errno);
      ::close(fd);
    }
  }
  freeaddrinfo(found);
  if (listenFd_ < 0) return -1;
  sockaddr_storage bound{};
  socklen_t len = sizeof bound;
  getsockname(listenFd_, reinterpret_cast<sockaddr *>(&bound), &len);
  int boundPort = bound.ss_family == AF_INET6
                      ? ntohs(reinterpret_cast<sockaddr_in6 *>(&bound)->sin6_port)
                      : ntohs(reinterpret_cast<sockaddr_in *>(&bound)->sin_port);
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.fd = listenFd_;
  epoll_ctl(epollFd_, EPOLL_CTL_ADD, listenFd_, &ev);
  ev.data.fd = wakeFd_;
  epoll_ctl(epollFd_, EPOLL_CTL_ADD, wakeFd_, &ev);
  return boundPort;
}

void HttpServer::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  jobReady_.notify_all();
  uint64_t one = 1;
  if (write(wakeFd_, &one, sizeof one) < 0) {
    // The counter is full: the loop is awake anyway.
  }
}

void HttpServer::work() {
  for (;;) {
    Job job;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      jobReady_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
      if (stopping_) return;
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    job.response = handler_(job.request);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_.push_back(std::move(job));
    }
    uint64_t one = 1;
    if (write(wakeFd_, &one, sizeof one) < 0) {
      // Full counter: the loop is awake anyway.
    }
  }
}

void HttpServer::run() {
  std::vector<std::thread> workers;
  for (int i = 0; i < std::max(1, limits_.workers); ++i) workers.emplace_back([this] { work(); });
  std::vector<epoll_event> events(256);
  Clock::time_point nextExpiry = Clock::now();
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_) break;
    }
    int n = epoll_wait(epollFd_, events.data(), static_cast<int>(events.size()), kTickMs);
    for (int i = 0; i < n; ++i) {
      int fd = events[i].data.fd;
      if (fd == wakeFd_) {
        uint64_t count;
        if (read(wakeFd_, &count, sizeof count) < 0) {
          // Nothing to take: another turn read it.
        }
        takeDone();
        continue;
      }
      if (fd == listenFd_) {
        acceptAll();
        continue;
      }
      auto it = connections_.find(fd);
      if (it == connections_.end()) continue;
      Connection &c = it->second;
      if (events[i].events & (EPOLLERR | EPOLLHUP)) {
        close(fd);
      } else if (c.phase == Phase::kReading && (events[i].events & EPOLLIN)) {
        readFrom(fd, c);
      } else if (c.phase == Phase::kWriting && (events[i].events & EPOLLOUT)) {
        writeTo(fd, c);
      }
    }
    if (Clock::now() >= nextExpiry) {
      expire();
      nextExpiry = Clock::now() + std::chrono::milliseconds(kTickMs);
    }
  }
  for (std::thread &t : workers) t.join();
  while (!connections_.empty()) close(connections_.begin()->first);
}

void HttpServer::watch(int fd, uint32_t events) {
  epoll_event ev{};
  ev.events = events;
  ev.data.fd = fd;
  epoll_ctl(epollFd_, EPOLL_CTL_MOD, fd, &ev);
}

void HttpServer::close(int fd) {
  epoll_ctl(epollFd_, EPOLL_CTL_DEL, fd, nullptr);
  ::close(fd);
  connections_.erase(fd);
}

// Closes the connection idle the longest, if one is; true when one was.
bool HttpServer::makeRoom() {
  int oldest = -1;
  Clock::time_point at{};
  for (const auto &[fd, c] : connections_) {
    if (c.phase != Phase::kReading || !c.in.empty()) continue;
    if (oldest < 0 || c.lastActive < at) oldest = fd, at = c.lastActive;
  }
  if (oldest < 0) return false;
  close(oldest);
  return true;
}

void HttpServer::acceptAll() {
  for (;;) {
    int fd = accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      if ((errno == EMFILE || errno == ENFILE) && makeRoom()) continue;
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        // Out of descriptors with nobody idle: stop listening a moment
        // rather than spin on a connection that cannot be taken.
        watch(listenFd_, 0);
        listenPaused_ = true;
        listenResume_ = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                           std::chrono::duration<double>(kListenPause));
      }
      return;
    }
    if (static_cast<int>(connections_.size()) >= limits_.maxConnections && !makeRoom()) {
      std::string busy = serialise(plain(503, "too many connections; try again"), false, false);
      if (send(fd, busy.data(), busy.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0) {
        // It is closed anyway.
      }
      ::close(fd);
      continue;
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = fd;
    if (epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &ev) != 0) {
      ::close(fd);
      continue;
    }
    Connection &c = connections_[fd];
    c = Connection{};
    c.serial = ++serials_;
    c.lastActive = c.requestStart = Clock::now();
  }
}

void HttpServer::readFrom(int fd, Connection &c) {
  char buffer[kReadChunk];
  for (;;) {
    ssize_t got = recv(fd, buffer, sizeof buffer, 0);
    if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
      close(fd);
      return;
    }
    if (got < 0) {
      if (errno == EINTR) continue;
      break;
    }
    Clock::time_point now = Clock::now();
    if (c.in.empty()) c.requestStart = now;
    c.lastActive = now;
    c.in.append(buffer, static_cast<size_t>(got));
    if (c.in.find("\r\n\r\n") != std::string::npos || c.in.size() > limits_.maxHeadBytes) break;
  }
  handleHead(fd, c);
}

// Parses the head of a request once it is whole, and hands it to a worker
// or answers an error itself.
void HttpServer::handleHead(int fd, Connection &c) {
  size_t end = c.in.find("\r\n\r\n");
  if (end == std::string::npos || end + 4 > limits_.maxHeadBytes) {
    if (c.in.size() > limits_.maxHeadBytes) {
      answer(
          fd, c,
          plain(431, "request head larger than " + std::to_string(limits_.maxHeadBytes) + " bytes"),
          false, false);
    }
    return;
  }
  std::string head = c.in.substr(0, end);
  c.in.erase(0, end + 4);
  size_t lineEnd = head.find("\r\n");
  std::string line = head.substr(0, lineEnd);
  size_t sp1 = line.find(' '), sp2 = line.rfind(' ');
  if (sp1 == std::string::npos || sp2 == sp1) {
    answer(fd, c, plain(400, "not an HTTP request line"), false, false);
    return;
  }
  std::string method = line.substr(0, sp1), target = line.substr(sp1 + 1, sp2 - sp1 - 1);
  std::string version = line.substr(sp2 + 1);
  if (version != "HTTP/1.1" && version != "HTTP/1.0") {
    answer(fd, c, plain(505, "only HTTP/1.0 and HTTP/1.1 are served"), false, false);
    return;
  }
  bool keepAlive = version == "HTTP/1.1", body = false;
  std::string host;
  for (size_t at = lineEnd; at != std::string::npos && at < head.size();) {
    size_t next = head.find("\r\n", at + 2);
    std::string field =
        head.substr(at + 2, next == std::string::npos ? std::string::npos : next - at - 2);
    at = next;
    size_t colon = field.find(':');
    if (colon == std::string::npos) continue;
    std::string name = lower(trim(field.substr(0, colon))),
                value = lower(trim(field.substr(colon + 1)));
    if (name == "connection" && value == "close") keepAlive = false;
    if (name == "connection" && value == "keep-alive") keepAlive = true;
    if (name == "transfer-encoding" || (name == "content-length" && value != "0")) body = true;
    if (name == "host") host = value;
  }
  if (method != "GET" && method != "HEAD") {
    answer(fd, c, plain(405, "only GET and HEAD are served"), false, false);
    return;
  }
  if (body) {
    answer(fd, c, plain(413, "a request body is not taken"), method == "HEAD", false);
    return;
  }
  if (target.empty() || target[0] != '/') {
    answer(fd, c, plain(400, "the target is not a path"), method == "HEAD", false);
    return;
  }
  if (limits_.hosts && !host.empty() && !limits_.hosts->allowsHost(host)) {
    std::string shown = host.substr(0, 100);
    for (char &ch : shown) {
      if (ch < 0x20 || ch > 0x7e) ch = '?';
    }
    answer(fd, c,
           plain(421, "not served under the name '" + shown +
                          "': the server was not told it is its name (--allow-host)"),
           method == "HEAD", false);
    return;
  }
  Job job;
  job.fd = fd;
  job.serial = c.serial;
  size_t q = target.find('?');
  job.request.method = method;
  job.request.path = decode(target.substr(0, q));
  if (q != std::string::npos) job.request.params = queryParams(target.substr(q + 1));
  job.head = method == "HEAD";
  job.keepAlive = keepAlive;
  c.phase = Phase::kWorking;
  watch(fd, 0);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    jobs_.push_back(std::move(job));
  }
  jobReady_.notify_one();
}

void HttpServer::takeDone() {
  std::vector<Job> done;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    done.swap(done_);
  }
  for (Job &job : done) {
    auto it = connections_.find(job.fd);
    if (it == connections_.end() || it->second.serial != job.serial) continue;  // gone meanwhile
    answer(job.fd, it->second, job.response, job.head, job.keepAlive);
  }
}

void HttpServer::answer(int fd, Connection &c, const HttpResponse &r, bool head, bool keepAlive) {
  c.out = serialise(r, head, keepAlive);
  c.sent = 0;
  c.closeAfter = !keepAlive;
  c.phase = Phase::kWriting;
  c.lastActive = Clock::now();
  watch(fd, EPOLLOUT);
  writeTo(fd, c);
}

void HttpServer::writeTo(int fd, Connection &c) {
  while (c.sent < c.out.size()) {
    size_t n = std::min(kWriteChunk, c.out.size() - c.sent);
    ssize_t put = send(fd, c.out.data() + c.sent, n, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (put < 0 && errno == EINTR) continue;
    if (put < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;  // EPOLLOUT brings it back
    if (put <= 0) {
      close(fd);
      return;
    }
    c.sent += static_cast<size_t>(put);
    c.lastActive = Clock::now();
  }
  finishedWriting(fd, c);
}

void HttpServer::finishedWriting(int fd, Connection &c) {
  if (c.closeAfter) {
    close(fd);
    return;
  }
  c.out.clear();
  c.out.shrink_to_fit();
  c.sent = 0;
  c.phase = Phase::kReading;
  c.requestStart = c.lastActive = Clock::now();
  watch(fd, EPOLLIN);
  // A request sent behind the last one is already here.
  if (!c.in.empty()) handleHead(fd, c);
}

// Closes what waited too long: a request not whole in time (told 408), an
// idle connection, an answer nobody reads. Starts listening again after a
// pause for descriptors.
void HttpServer::expire() {
  Clock::time_point now = Clock::now();
  if (listenPaused_ && now >= listenResume_) {
    watch(listenFd_, EPOLLIN);
    listenPaused_ = false;
  }
  std::vector<int> late;
  std::vector<int> slow;
  for (const auto &[fd, c] : connections_) {
    if (c.phase == Phase::kReading && !c.in.empty() &&
        since(c.requestStart, now) > limits_.requestSeconds) {
      slow.push_back(fd);
    } else if (c.phase == Phase::kReading && c.in.empty() &&
               since(c.lastActive, now) > limits_.idleSeconds) {
      late.push_back(fd);
    } else if (c.phase == Phase::kWriting && since(c.lastActive, now) > limits_.writeSeconds) {
      late.push_back(fd);
    }
  }
  for (int fd : late) close(fd);
  for (int fd : slow) {
    std::string text =
        serialise(plain(408, "the request did not arrive whole in time"), false, false);
    if (send(fd, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0) {
      // It is closed anyway.
    }
    close(fd);
  }
}

}  // namespace tarntool
