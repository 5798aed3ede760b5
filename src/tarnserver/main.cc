// tarnserver: a networked ring buffer of time-stamped packets.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "platform/service/service_notify.h"
#include "platform/elog/elog.h"
#include "tarnserver/ring.h"
#include "tarnserver/ring_fault.h"
#include "tarnserver/server.h"
#include "tarnserver/server_options.h"

using namespace tarnserver;

namespace {

// Writes the tarn name (and the SeedLink and DataLink lines) to `path` whole: a temporary
// file renamed into place.
bool writeReadyFile(const std::string &path, const std::string &name) {
  std::string tmp = path + ".tmp" + std::to_string(getpid());
  {
    std::ofstream out(tmp);
    out << name << "\n";
    if (!out.flush()) return false;
  }
  return std::rename(tmp.c_str(), path.c_str()) == 0;
}

// Opens the ring; with a ring file, opt.maxPacket becomes the file's.
std::unique_ptr<Ring> openRing(ServerOptions &opt) {
  RingOptions ro;
  ro.path = opt.ringFile;
  ro.size = opt.ringFile.empty() || opt.ringSizeGiven ? opt.ringSize : 0;
  if (!opt.ringFile.empty() && !opt.ringSizeGiven && access(opt.ringFile.c_str(), F_OK) != 0)
    ro.size = opt.ringSize;
  ro.firstSeq = opt.firstId;
  ro.maxPacket = opt.maxPacket;
  ro.maxPacketGiven = opt.maxPacketGiven;
  std::string err;
  std::unique_ptr<Ring> ring = Ring::open(ro, err);
  if (!ring) {
    elog_log(0, "%s", err.c_str());
    return nullptr;
  }
  opt.maxPacket = ring->maxPacket();
  if (ring->dataSize() < Ring::recordSize(63, opt.maxPacket)) {
    elog_log(0, "the ring of %llu bytes cannot hold one packet of the largest size (-m %u)",
             static_cast<unsigned long long>(ring->dataSize()), opt.maxPacket);
    return nullptr;
  }
  for (const std::string &line : ring->openReport()) elog_log(0, "%s", line.c_str());
  return ring;
}

}  // namespace

int main(int argc, char **argv) {
  elog_init(argc, argv);
  elog_set_immediate(1);
  ServerOptions opt;
  std::string err;
  if (!parseServerOptions(argc, argv, opt, err)) {
    if (opt.showVersion) {
      std::printf("tarnserver (tarn2tarn_pre) %s\n", TARN2TARN_VERSION);
      return 0;
    }
    if (err.empty()) {
      std::fputs(kServerUsage, stdout);
      return 0;
    }
    std::fprintf(stderr, "tarnserver: %s\n%s", err.c_str(), kServerUsage);
    return 2;
  }
  // Termination signals arrive through the event loop's signalfd.
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigprocmask(SIG_BLOCK, &set, nullptr);
  signal(SIGPIPE, SIG_IGN);
  // Past a file-size limit a write or an allocation fails with EFBIG, which
  // the ring file reports, rather than ending the server by SIGXFSZ.
  signal(SIGXFSZ, SIG_IGN);
  installRingFaultStop();

  std::unique_ptr<Ring> ring = openRing(opt);
  if (!ring) return 1;
  Server server(*ring, opt);
  if (!server.listen(err)) {
    elog_log(0, "%s", err.c_str());
    return 1;
  }
  elog_log(0, "serving tarn %s: ring of %llu bytes%s%s, packets up to %u bytes",
           server.tarnName().c_str(), static_cast<unsigned long long>(ring->dataSize()),
           opt.ringFile.empty() ? " in memory" : " in ", opt.ringFile.c_str(), opt.maxPacket);
  std::string ready = server.tarnName();
  if (server.seedlinkPort() > 0) {
    elog_log(0, "serving SeedLink 3.1 and 4.0 on %s", server.seedlinkName().c_str());
    ready += "\nseedlink " + server.seedlinkName();
  }
  if (server.datalinkPort() > 0) {
    elog_log(0, "serving DataLink 1.0 on %s", server.datalinkName().c_str());
    ready += "\ndatalink " + server.datalinkName();
  }
  if (!opt.readyFile.empty() && !writeReadyFile(opt.readyFile, ready)) {
    elog_log(0, "cannot write the ready file '%s': %s", opt.readyFile.c_str(),
             std::strerror(errno));
    return 1;
  }
  service::ready("serving tarn " + server.tarnName());
  int sig = server.run();
  service::stopping("stopping on signal " + std::to_string(sig));
  ring->sync();
  elog_log(0, "stopped on signal %d; %llu packets in the ring", sig,
           static_cast<unsigned long long>(ring->count()));
  return 0;
}
