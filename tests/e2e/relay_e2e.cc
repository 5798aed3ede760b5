#include "relay_e2e.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <nlohmann/json.hpp>
#include <sstream>

namespace e2e {

using testsupport::programPath;

std::string Packet::identity() const {
  char time[64];
  std::snprintf(time, sizeof time, "%.17g", this->time);
  return srcname + " " + time + " " + std::to_string(nbytes) + " " + crc32;
}

std::vector<Packet> packetsOn(const std::string &tarn, const std::vector<std::string> &extra) {
  std::vector<std::string> argv = {
      programPath("tarn"), "tail", tarn, "--from", "oldest", "-t", "0.5", "--json"};
  argv.insert(argv.end(), extra.begin(), extra.end());
  auto result = testsupport::runProgram(argv, std::chrono::seconds(120));
  std::vector<Packet> packets;
  std::istringstream in(result.out);
  for (std::string line; std::getline(in, line);) {
    auto j = nlohmann::json::parse(line, nullptr, false);
    if (j.is_discarded() || !j.is_object()) continue;
    Packet p;
    p.pktid = j.value("pktid", -1L);
    p.srcname = j.value("srcname", "");
    p.time = j["time"].is_number() ? j["time"].get<double>() : 0.0;
    p.nbytes = j.value("nbytes", 0L);
    p.crc32 = j.value("crc32", "");
    if (j.contains("content")) p.unstuffs = !j["content"].is_null();
    packets.push_back(p);
  }
  return packets;
}

std::vector<std::string> identities(const std::vector<Packet> &packets) {
  std::vector<std::string> ids;
  ids.reserve(packets.size());
  for (const Packet &p : packets) ids.push_back(p.identity());
  return ids;
}

std::vector<Packet> withPrefix(const std::vector<Packet> &packets, const std::string &prefix) {
  std::vector<Packet> some;
  for (const Packet &p : packets) {
    if (p.srcname.compare(0, prefix.size(), prefix) == 0) some.push_back(p);
  }
  return some;
}

bool gen(const std::string &tarn, const std::vector<std::string> &args) {
  std::vector<std::string> argv = {programPath("tarn"), "gen", tarn};
  argv.insert(argv.end(), args.begin(), args.end());
  return testsupport::runProgram(argv, std::chrono::seconds(120)).exitStatus == 0;
}

int freePort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof addr;
  int port = -1;
  if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) == 0) {
    port = ntohs(addr.sin_port);
  }
  close(fd);
  return port;
}

int countOf(const std::string &text, const std::string &needle) {
  int n = 0;
  for (size_t at = text.find(needle); at != std::string::npos;
       at = text.find(needle, at + needle.size()))
    ++n;
  return n;
}

Relay::Relay(const testsupport::RelayPf &pf, const std::vector<std::string> &flags) {
  testsupport::writeFile(dir_.file("relay.pf"), pf.text());
  std::vector<std::string> argv = {programPath("tarn2tarn_pre"), "-p", dir_.file("relay")};
  argv.insert(argv.end(), flags.begin(), flags.end());
  proc_ = std::make_unique<testsupport::ChildProcess>(argv);
}

Relay::~Relay() {
  if (proc_->running()) terminate(std::chrono::seconds(30));
}

std::string Relay::output() const { return proc_->out() + proc_->err(); }

bool Relay::waitFor(const std::string &needle, int count, std::chrono::milliseconds limit) const {
  return testsupport::waitUntil([&] { return countOf(output(), needle) >= count; }, limit);
}

int Relay::terminate(std::chrono::milliseconds limit) {
  proc_->signal(SIGTERM);
  return proc_->wait(limit);
}

std::string reader(const std::string &name, const std::string &tarn, const std::string &queue,
                   const std::string &extra) {
  return testsupport::connectionEntry("name " + name + "\nread_from_tarnname " + tarn +
                                      "\nwrite_to_queue " + queue + "\n" + extra);
}

std::string writer(const std::string &name, const std::string &tarn, const std::string &queue,
                   const std::string &extra) {
  return testsupport::connectionEntry("name " + name + "\nwrite_to_tarnname " + tarn +
                                      "\nread_from_queue " + queue + "\n" + extra);
}

bool waitForCount(const std::string &tarn, size_t count, std::chrono::milliseconds limit) {
  return testsupport::waitUntil([&] { return packetsOn(tarn).size() >= count; }, limit);
}

}  // namespace e2e

#include "platform/tarnclient/tarnclient.h"

namespace e2e {

int newestId(const std::string &tarn) {
  int fd = tarnopen(tarn.c_str(), "r&");
  if (fd < 0) return -1;
  int id = tarnposition(fd, "newest");
  tarnclose(fd);
  return id;
}

std::vector<double> timesFrom(double first, int n) {
  std::vector<double> times;
  for (int i = 0; i < n; ++i) times.push_back(first + i);
  return times;
}

bool putAt(const std::string &tarn, const std::string &src, const std::vector<double> &times,
           int size) {
  int fd = tarnopen(tarn.c_str(), "w&");
  if (fd < 0) return false;
  bool ok = true;
  for (size_t i = 0; i < times.size() && ok; ++i) {
    std::string bytes(static_cast<size_t>(size), static_cast<char>('a' + i % 26));
    ok = tarnput(fd, src.c_str(), times[i], bytes.data(), size) == 0;
  }
  return tarnclose(fd) == 0 && ok;
}

bool relayReady(const Relay &relay, int connections, int readers) {
  return relay.waitFor("Connected to tarn", connections) &&
         relay.waitFor("Repositioned tarn", readers);
}

}  // namespace e2e
