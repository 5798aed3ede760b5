// Helpers for client tests: a server per test and short calls for reaping.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>

#include "platform/elog/elog.h"
#include "platform/stopflag/stopflag.h"
#include "platform/tarnclient/tarnclient.h"
#include "platform/tarnclient/tarnclient_internal.h"
#include "tarn_test_server.h"

namespace tarntest {

// Registers a stop flag of the test's own as the process's, for the test's
// duration.
class StopFlagScope {
 public:
  StopFlagScope() { stopflag_register(&flag_); }
  ~StopFlagScope() { stopflag_register(nullptr); }
  void set() { flag_.store(1); }

 private:
  StopFlag flag_{0};
};

struct Reaped {
  int rc = -100;
  int id = -1;
  std::string src;
  double time = 0.0;
  std::string bytes;
};

class TarnClientTest : public ::testing::Test {
 protected:
  explicit TarnClientTest(std::vector<std::string> serverArgs = {})
      : server_(std::move(serverArgs)) {
    elog_flush(0, 0);
  }
  ~TarnClientTest() override {
    std::free(buf_);
    for (int fd : open_) tarnclose(fd);
  }

  int open(const char *mode = "r&") {
    int fd = tarnopen(server_.name().c_str(), mode);
    if (fd >= 0) open_.push_back(fd);
    return fd;
  }
  Reaped reap(int fd, double timeout = 5.0) {
    Reaped r;
    char src[64];
    int n = 0;
    r.rc = tarnreap_timeout(fd, timeout, &r.id, src, &r.time, &buf_, &n, &bufsize_);
    if (r.rc >= 0) {
      r.src = src;
      r.bytes.assign(buf_, static_cast<size_t>(n));
    }
    return r;
  }
  // Reaps `n` packets and returns their ids; stops at the first failure.
  std::vector<int> reapIds(int fd, int n, double timeout = 5.0) {
    std::vector<int> ids;
    for (int i = 0; i < n; ++i) {
      Reaped r = reap(fd, timeout);
      if (r.rc < 0) break;
      ids.push_back(r.id);
    }
    return ids;
  }
  bool put(const std::string &src, int n, double base = 100.0, int size = 16) {
    return putPackets(server_.name(), src, n, base, size);
  }
  // Starts the server again once one of these descriptors has noticed that
  // it is away and waits for it (or after a bound), so that the waiting
  // path is taken for sure.
  void restartOnceAwaited(std::initializer_list<int> fds) {
    testsupport::waitUntil(
        [&] {
          uint64_t failures = 0;
          for (int fd : fds) failures += tarnclient::reconnectFailures(fd);
          return failures > 0;
        },
        std::chrono::seconds(30));
    server_.restart();
  }
  std::string drainLog() {
    char *text = elog_string(0);
    std::string s = text ? text : "";
    std::free(text);
    elog_flush(0, 0);
    return s;
  }

  TarnTestServer server_;
  std::vector<int> open_;
  char *buf_ = nullptr;
  int bufsize_ = 0;
};

}  // namespace tarntest
