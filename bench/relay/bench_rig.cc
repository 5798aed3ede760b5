#include "bench_rig.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "platform/tarnclient/tarnclient.h"

namespace relaybench {

namespace {

int countOf(const std::string &text, const std::string &needle) {
  int n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

void writeReaders(std::ostream &out, const RelayPlan &plan) {
  if (!plan.seedlink.empty()) {
    out << "  &Arr{\n    name in1\n    read_from_seedlink " << plan.seedlink
        << "\n    seedlink_select " << plan.seedlinkSelect
        << "\n    seedlink_protocol 4.0\n    write_to_queue q\n    starttime " << plan.starttime
        << "\n  }\n";
    return;
  }
  if (plan.fromJetStream) {
    out << "  &Arr{\n    name in1\n    read_from_natsurl " << plan.natsUrl
        << "\n    read_from_natsstream " << plan.stream << "\n    write_to_queue q\n    starttime "
        << plan.starttime << "\n  }\n";
    return;
  }
  for (size_t i = 0; i < plan.sources.size(); ++i) {
    out << "  &Arr{\n    name in" << i + 1 << "\n    read_from_tarnname " << plan.sources[i]
        << "\n    write_to_queue q\n";
    if (!plan.match.empty()) out << "    match " << plan.match << "\n";
    if (!plan.starttime.empty()) out << "    starttime " << plan.starttime << "\n";
    out << "  }\n";
  }
}

void writeWriters(std::ostream &out, const RelayPlan &plan) {
  if (!plan.sdsRoot.empty()) {
    out << "  &Arr{\n    name out1\n    write_to_sds " << plan.sdsRoot
        << "\n    read_from_queue q\n  }\n";
    return;
  }
  if (plan.toJetStream) {
    out << "  &Arr{\n    name out1\n    write_to_natsurl " << plan.natsUrl
        << "\n    write_to_natsstream " << plan.stream
        << "\n    natsstream_create true\n    read_from_queue q\n  }\n";
    return;
  }
  for (size_t i = 0; i < plan.destinations.size(); ++i) {
    out << "  &Arr{\n    name out" << i + 1 << "\n    write_to_tarnname " << plan.destinations[i]
        << "\n    read_from_queue q\n  }\n";
  }
}

}  // namespace

std::string relayParameterText(const RelayPlan &plan) {
  std::ostringstream out;
  out << "connections &List{\n";
  writeReaders(out, plan);
  writeWriters(out, plan);
  out << "}\n"
      << "connections_defaults &Arr{\n"
      << "  shared &Arr{\n    run true\n    match\n    reject\n  }\n"
      << "  read &Arr{\n    read_from_tarnname\n    read_from_tarntag\n    starttime\n    endtime\n"
      << "    too_old\n    too_new\n    check_unstuff " << (plan.checkUnstuff ? "true" : "false")
      << "\n    suppress_unstuff_errors false\n  }\n"
      << "  write &Arr{\n    write_to_tarnname\n    write_to_tarntag\n  }\n"
      << "}\n"
      << "connections_special &Arr{\n  status_create &Arr{\n    run false\n  }\n"
      << "  log_create &Arr{\n    run false\n  }\n}\n"
      << "time_intervals_sec &Arr{\n  pfstatusreport 60\n  internal_timeout 1\n  "
         "shutdown_grace_period 15\n}\n";
  return out.str();
}

Rig::Rig(std::string label) : m_label(std::move(label)) {}

Rig::~Rig() {
  if (m_relay) stopRelay();
  for (auto &server : m_servers) server->stop(SIGTERM, std::chrono::seconds(30));
}

void Rig::fail(const std::string &why) {
  if (m_failure.empty()) m_failure = why;
}

std::string Rig::startServer(uint64_t ringBytes, uint64_t maxPacket,
                             const std::vector<std::string> &extra) {
  std::string base = workDir() + "/" + m_label + "_server" + std::to_string(m_servers.size() + 1);
  std::string ready = base + ".ready";
  std::remove(ready.c_str());
  std::vector<std::string> argv = {
      binDir() + "/tarnserver",  "-p", "0",  "-s", std::to_string(ringBytes), "-m",
      std::to_string(maxPacket), "-R", ready};
  argv.insert(argv.end(), extra.begin(), extra.end());
  auto server = startProgram(argv, base + ".log");
  if (!server) {
    fail("tarnserver could not be started");
    return "";
  }
  m_servers.push_back(std::move(server));
  ChildProcess &started = *m_servers.back();
  for (int i = 0; i < 2000 && started.running(); ++i) {  // at most 20 s
    std::istringstream in(readFile(ready));
    std::string name;
    if (std::getline(in, name) && !name.empty()) return name;
    sleepSeconds(0.01);
  }
  fail("tarnserver did not start (" + base + ".log)");
  return "";
}

std::string Rig::startNats() {
  std::string base = workDir() + "/" + m_label + "_nats";
  int port = -1;
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) == 0) {
    port = ntohs(addr.sin_port);
  }
  close(fd);
  std::string program = "/usr/sbin/nats-server";  // Debian's
  if (access(program.c_str(), X_OK) != 0) program = "/usr/bin/nats-server";
  auto nats = startProgram(
      {program, "-js", "-a", "127.0.0.1", "-p", std::to_string(port), "-sd", base}, base + ".log");
  if (!nats) {
    fail("nats-server could not be started (is Debian's nats-server installed?)");
    return "";
  }
  m_servers.push_back(std::move(nats));
  ChildProcess &started = *m_servers.back();
  for (int i = 0; i < 2000 && started.running(); ++i) {  // at most 20 s
    if (started.out().find("Server is ready") != std::string::npos) {
      return "nats://127.0.0.1:" + std::to_string(port);
    }
    sleepSeconds(0.01);
  }
  fail("nats-server did not start (" + base + ".log)");
  return "";
}

bool Rig::startRelay(const RelayPlan &plan) {
  std::string pf = workDir() + "/" + m_label + "_relay.pf";
  std::ofstream(pf) << relayParameterText(plan);
  m_readers = plan.sources.size();
  m_writers = plan.sdsRoot.empty() ? plan.destinations.size() : 1;
  m_relay = startProgram({binDir() + "/tarn2tarn_pre", "-p", pf, "-t", m_label, "-v"},
                         workDir() + "/" + m_label + "_relay.log");
  if (!m_relay) fail("the relay could not be started");
  return m_relay != nullptr;
}

bool Rig::waitRelayReady(double limit) {
  auto start = Clock::now();
  while (secondsSince(start) < limit && relayRunning()) {
    std::string log = m_relay->out();
    if (countOf(log, "Connected to ") >= static_cast<int>(m_readers + m_writers) &&
        countOf(log, "Repositioned tarn") >= static_cast<int>(m_readers)) {
      return true;
    }
    sleepSeconds(0.01);
  }
  std::string log = m_relay ? " (" + m_relay->outPath() + ")" : "";
  fail(std::string(relayRunning() ? "the relay did not get ready"
                                  : "the relay ended before it was ready") +
       log);
  return false;
}

Ending Rig::stopRelay() {
  std::unique_ptr<ChildProcess> relay = std::move(m_relay);
  if (!relay) {
    fail("the relay was not started");
    return Ending{};
  }
  bool wasRunning = relay->running();
  Ending end = relay->stop(SIGTERM, std::chrono::seconds(60));
  if (!wasRunning)
    fail("the relay ended by itself with status " + std::to_string(end.exitStatus));
  else if (!end.ended)
    fail("the relay did not stop within a minute");
  else if (end.exitStatus != 0)
    fail("the relay ended with status " + std::to_string(end.exitStatus));
  return end;
}

bool Rig::relayRunning() const { return m_relay && m_relay->running(); }

double Rig::serversCpuSeconds() const {
  double sum = 0;
  for (const auto &server : m_servers) {
    sum += server->running() ? processCpuSeconds(server->pid()) : server->cpuSeconds();
  }
  return sum;
}

namespace {

// The newest packet id each open descriptor's server holds, -1 for none.
int newestId(int fd) { return fd < 0 ? -1 : std::max(-1, tarnposition(fd, "newest")); }

}  // namespace

std::vector<double> waitForLastIds(const std::vector<std::string> &tarns, int lastId,
                                   Clock::time_point start, double stall, double limit,
                                   const std::function<bool()> &alive) {
  std::vector<int> fds, seen(tarns.size(), -1);
  for (const std::string &tarn : tarns) fds.push_back(tarnopen(tarn.c_str(), "r&"));
  std::vector<double> reached(tarns.size(), -1);
  auto progress = Clock::now();
  size_t done = 0;
  for (int polls = 0;
       done < tarns.size() && secondsSince(start) < limit && secondsSince(progress) < stall;
       ++polls) {
    for (size_t i = 0; i < tarns.size(); ++i) {
      if (reached[i] >= 0) continue;
      int newest = newestId(fds[i]);
      if (newest != seen[i]) seen[i] = newest, progress = Clock::now();
      if (newest >= lastId) reached[i] = secondsSince(start), ++done;
    }
    if (done == tarns.size() || (polls % 50 == 0 && !alive())) break;
    sleepSeconds(0.002);
  }
  for (int fd : fds) {
    if (fd >= 0) tarnclose(fd);
  }
  return reached;
}

}  // namespace relaybench
