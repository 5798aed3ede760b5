// HttpServer: the small HTTP/1.1 server of `tarn monitor`, made so that
// clients who hang cannot stop anyone else being served.
//
// One thread (run) owns every connection in one epoll loop: it accepts,
// reads requests without blocking, and writes answers without blocking. A
// request whose head is complete goes to a worker, which calls the handler
// and hands the answer back to the loop, so a worker is busy only while an
// answer is made, never while a client sends or reads slowly.
//
// Bounds (HttpLimits): a request's head must arrive whole within
// `requestSeconds` of its first byte and be at most `maxHeadBytes`; a
// connection waiting for a request is closed after `idleSeconds`; an answer
// that makes no progress for `writeSeconds` is abandoned. At most
// `maxConnections` are open: a connection beyond that closes the one idle
// the longest (waiting for a request, none of it read), and when none is
// idle it is answered 503 and closed at once. Only GET and HEAD are served,
// and a request with a body is refused. A request whose Host header names a
// host that `hosts` does not allow is answered 421 (a page of another site
// whose name was pointed at this machine: DNS rebinding).
//
// Thread-safety: bind and run from one thread; stop from any thread or a
// signal-free context at any time.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/hostname/allowed_hosts.h"

namespace tarntool {

struct HttpRequest {
  std::string method;                         // GET or HEAD
  std::string path;                           // without the query
  std::map<std::string, std::string> params;  // of the query, decoded
};

struct HttpResponse {
  int status = 200;
  std::string contentType = "text/plain; charset=utf-8";
  std::string body;
};

struct HttpLimits {
  int maxConnections = 1024;
  double requestSeconds = 5;
  double idleSeconds = 5;
  double writeSeconds = 10;
  size_t maxHeadBytes = 16384;
  int workers = 4;
  // The hosts a request may name (allowed_hosts.h); null: any.
  std::shared_ptr<const hostname::AllowedHosts> hosts;
};

class HttpServer {
 public:
  using Handler = std::function<HttpResponse(const HttpRequest &)>;
  HttpServer(HttpLimits limits, Handler handler);
  ~HttpServer();
  HttpServer(const HttpServer &) = delete;
  HttpServer &operator=(const HttpServer &) = delete;

  // Listens on `host` (an address or a name) and `port` (0: a free one);
  // the port bound, or -1 and `why`.
  int bind(const std::string &host, int port, std::string &why);
  // Serves until stop(); the workers are started and joined here.
  void run();
  void stop();
  // The connection bound in force (lowered when descriptors are short).
  int maxConnections() const { return limits_.maxConnections; }

 private:
  using Clock = std::chrono::steady_clock;
  enum class Phase { kReading, kWorking, kWriting };
  struct Connection {
    uint64_t serial = 0;  // tells a reused descriptor from the one a job was for
    Phase phase = Phase::kReading;
    std::string in;
    std::string out;
    size_t sent = 0;
    bool keepAlive = true;
    bool closeAfter = false;
    Clock::time_point requestStart;  // the first byte of the request being read
    Clock::time_point lastActive;    // last byte moved
  };
  struct Job {
    int fd;
    uint64_t serial;
    HttpRequest request;
    bool head;
    bool keepAlive;
    HttpResponse response;
  };

  void work();
  void acceptAll();
  bool makeRoom();
  void readFrom(int fd, Connection &c);
  void handleHead(int fd, Connection &c);
  void answer(int fd, Connection &c, const HttpResponse &r, bool head, bool keepAlive);
  void writeTo(int fd, Connection &c);
  void finishedWriting(int fd, Connection &c);
  void takeDone();
  void expire();
  void watch(int fd, uint32_t events);
  void close(int fd);

  HttpLimits limits_;
  const Handler handler_;
  int listenFd_ = -1;
  int epollFd_ = -1;
  int wakeFd_ = -1;  // eventfd: a job done, or stop
  bool listenPaused_ = false;
  Clock::time_point listenResume_;
  uint64_t serials_ = 0;
  std::unordered_map<int, Connection> connections_;  // the loop's alone

  std::mutex mutex_;  // guards the four below
  std::condition_variable jobReady_;
  std::deque<Job> jobs_;
  std::vector<Job> done_;
  bool stopping_ = false;
};

}  // namespace tarntool
