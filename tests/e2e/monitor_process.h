// `tarn monitor` as the end-to-end tests run it, and headless Chromium to
// look at its page.
#pragma once

#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "process.h"

namespace e2e {

// The program's path on PATH, or "" when it is not installed.
inline std::string installed(const std::string &name) {
  std::istringstream path(std::getenv("PATH") ? std::getenv("PATH") : "");
  for (std::string dir; std::getline(path, dir, ':');) {
    std::string candidate = dir + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

// `tarn monitor` on a free port of 127.0.0.1, asking every 0.3 s, stopped
// with SIGTERM at the end; `extra` arguments go after the tarn names.
class MonitorProcess {
 public:
  explicit MonitorProcess(std::vector<std::string> tarns, std::vector<std::string> extra = {}) {
    std::vector<std::string> argv = {testsupport::programPath("tarn"), "monitor"};
    argv.insert(argv.end(), tarns.begin(), tarns.end());
    argv.insert(argv.end(), {"-l", "127.0.0.1:0", "-i", "0.3"});
    argv.insert(argv.end(), extra.begin(), extra.end());
    proc_ = std::make_unique<testsupport::ChildProcess>(argv);
    const std::string marker = "serving http://127.0.0.1:";
    testsupport::waitUntil([&] { return proc_->out().find(marker) != std::string::npos; },
                           std::chrono::seconds(30));
    size_t at = proc_->out().find(marker);
    if (at != std::string::npos) port_ = std::atoi(proc_->out().c_str() + at + marker.size());
  }
  ~MonitorProcess() {
    proc_->signal(SIGTERM);
    EXPECT_EQ(proc_->wait(std::chrono::seconds(30)), 0) << proc_->err();
  }
  int port() const { return port_; }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }
  // The body of a GET, "" when it fails.
  std::string get(const std::string &path, std::string *type = nullptr) const {
    httplib::Client client("127.0.0.1", port_);
    client.set_read_timeout(30, 0);
    auto res = client.Get(path.c_str());
    if (!res || res->status != 200) return "";
    if (type) *type = res->get_header_value("Content-Type");
    return res->body;
  }
  nlohmann::json status() const {
    return nlohmann::json::parse(get("/api/status"), nullptr, false);
  }
  std::string err() const { return proc_->err(); }

 private:
  std::unique_ptr<testsupport::ChildProcess> proc_;
  int port_ = 0;
};

// Headless Chromium at a window size, with a profile of its own; "" from
// path() when no browser is installed.
class Chromium {
 public:
  explicit Chromium(const std::string &windowSize = "1400,800") {
    path_ = installed("chromium");
    if (path_.empty()) path_ = installed("chromium-browser");
    argv_ = {path_,
             "--headless",
             "--no-sandbox",
             "--disable-gpu",
             "--disable-quic",
             "--no-first-run",
             "--disable-background-networking",
             "--disable-component-update",
             "--disable-sync",
             "--disable-dev-shm-usage",
             "--user-data-dir=" + profile_.path(),
             "--window-size=" + windowSize};
  }
  const std::string &path() const { return path_; }
  // Runs it once on `url` with `what` ("--dump-dom", "--screenshot=FILE").
  testsupport::ProcessResult run(const std::string &what, const std::string &url) const {
    std::vector<std::string> a = argv_;
    a.insert(a.end(), {what, url});
    return testsupport::runProgram(a, std::chrono::seconds(120));
  }

 private:
  testsupport::TempDir profile_;
  std::string path_;
  std::vector<std::string> argv_;
};

}  // namespace e2e
