#include "kind_rigs.h"

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "base/relay_context.h"
#include "base/stop.h"
#include "mseed_samples.h"
#include "nats_test_server.h"
#include "platform/mseed/mseed_record.h"
#include "platform/statefile/statefile.h"
#include "platform/statefile/statefile_format.h"
#include "platform/tarnclient/tarnclient.h"
#include "process.h"
#include "relay_e2e.h"
#include "tarn/tarn_tag.h"
#include "tarn_test_server.h"

// A full disk, when the harness asks for one: every write to a regular file
// of this program fails with ENOSPC. The test program is linked with pwrite
// wrapped (-Wl,--wrap=pwrite); only the archive writes with it.
std::atomic<bool> g_diskFull{false};

extern "C" {
ssize_t __real_pwrite(int fd, const void *buf, size_t count, off_t offset);
ssize_t __wrap_pwrite(int fd, const void *buf, size_t count, off_t offset) {
  struct stat st {};
  if (g_diskFull.load() && fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    errno = ENOSPC;
    return -1;
  }
  return __real_pwrite(fd, buf, count, offset);
}
}

namespace conformance {

// Two source names in turn, times a second apart, bytes of varying length
// that differ from packet to packet.
std::vector<Sent> KindRig::packets(int n, int from, size_t size) const {
  std::vector<Sent> all;
  for (int i = from; i < from + n; ++i) {
    std::string bytes(size ? size : 20 + static_cast<size_t>(i % 37), '\0');
    for (size_t b = 0; b < bytes.size(); ++b) bytes[b] = static_cast<char>((i * 31 + b * 7) & 0xff);
    all.push_back({"CONF_" + std::to_string(i % 2) + "/DAT", 1700000000.0 + i, bytes});
  }
  return all;
}

namespace {

using namespace std::chrono_literals;

// ---- tarn ----

class TarnRig : public KindRig {
 public:
  TarnRig()
      : m_server(std::make_unique<tarntest::TarnTestServer>(
            std::vector<std::string>{"-r", m_dir.file("ring")})) {}
  explicit TarnRig(std::string name) : m_name(std::move(name)) {}

  std::string readerLines() const override {
    return "read_from_tarnname " + name() + "\nread_from_tarntag\n";
  }
  std::string writerLines() const override {
    return "write_to_tarnname " + name() + "\nwrite_to_tarntag\n";
  }

  bool feed(const std::vector<Sent> &packets) override {
    int fd = tarnopen(name().c_str(), "w&");
    if (fd < 0) return false;
    bool ok = true;
    for (const Sent &p : packets) {
      ok = ok && tarnput(fd, p.srcname.c_str(), p.time, p.bytes.data(),
                         static_cast<int>(p.bytes.size())) == 0;
    }
    return tarnclose(fd) == 0 && ok;  // the close waits for the acknowledgements
  }

  std::vector<Sent> stored() override {
    std::vector<Sent> all;
    int fd = tarnopen(name().c_str(), "r&");
    if (fd < 0) return all;
    if (tarnposition(fd, "oldest") >= 0) {
      char *buf = nullptr;
      int bufsize = 0;
      for (;;) {
        int pktid = 0, nbytes = 0;
        char srcname[64];
        double time = 0;
        if (tarnreap_timeout(fd, 0.5, &pktid, srcname, &time, &buf, &nbytes, &bufsize) < 0) break;
        all.push_back({srcname, time, std::string(buf, static_cast<size_t>(nbytes))});
      }
      std::free(buf);
    }
    tarnclose(fd);
    return all;
  }

  // Packet ids count from 0: a place after id k has passed k + 1 packets,
  // a place at id k has passed k.
  long passed(const std::string &) override {
    // The reader's tag is the first one made for the server's name.
    auto tag = TarnTag::getTarnTag(TarnTag::createTarnTagFromTarnName(name())->name(), "", false);
    ResumePoint point = tag->readPosition().resumePoint();
    if (point.id < 0) return 0;
    return point.at ? point.id : point.id + 1;
  }

  void freeze() override { ::kill(m_server->pid(), SIGSTOP); }
  void thaw() override { ::kill(m_server->pid(), SIGCONT); }
  void killAndRestart() override {
    m_server->kill();
    m_server->restart();
  }
  std::unique_ptr<KindRig> unreachable() const override {
    return std::make_unique<TarnRig>("127.0.0.1:" + std::to_string(e2e::freePort()));
  }

 private:
  std::string name() const { return m_server ? m_server->name() : m_name; }

  testsupport::TempDir m_dir;
  std::unique_ptr<tarntest::TarnTestServer> m_server;
  std::string m_name;  // of a server that is not there
};

// ---- JetStream ----

const char kStream[] = "CONFORM";

class JetStreamRig : public KindRig {
 public:
  JetStreamRig() : m_server(std::make_unique<e2e::NatsTestServer>()) {}
  explicit JetStreamRig(std::string url) : m_url(std::move(url)) {}

  std::string readerLines() const override {
    return "read_from_natsurl " + url() + "\nread_from_natsstream " + kStream + "\n";
  }
  std::string writerLines() const override {
    return "write_to_natsurl " + url() + "\nwrite_to_natsstream " + kStream +
           "\nnatsstream_create true\n";
  }

  bool feed(const std::vector<Sent> &packets) override {
    std::vector<e2e::PublishedPacket> published;
    for (const Sent &p : packets) published.push_back({p.srcname, p.time, p.bytes});
    return e2e::publishPackets(url(), kStream, published);
  }

  std::vector<Sent> stored() override {
    std::vector<Sent> all;
    uint64_t last = e2e::lastSequence(url(), kStream);
    for (uint64_t seq = 1; seq <= last; ++seq) {
      e2e::StoredMessage m = e2e::storedMessage(url(), kStream, seq);
      if (m.sequence == 0) continue;
      all.push_back({m.headers["Tarn-Srcname"],
                     std::strtod(m.headers["Tarn-Time"].c_str(), nullptr), m.data});
    }
    return all;
  }

  // Stream sequences count from 1: the consumer's acknowledged floor is the
  // number of packets passed.
  long passed(const std::string &connection) override {
    return static_cast<long>(
        std::max<int64_t>(0, e2e::consumerFloor(url(), kStream, connection).first));
  }

  void freeze() override { ::kill(m_server->pid(), SIGSTOP); }
  void thaw() override { ::kill(m_server->pid(), SIGCONT); }
  void killAndRestart() override {
    ::kill(m_server->pid(), SIGKILL);
    m_server->restart();
  }
  std::unique_ptr<KindRig> unreachable() const override {
    return std::make_unique<JetStreamRig>("nats://127.0.0.1:" + std::to_string(e2e::freePort()));
  }

 private:
  std::string url() const { return m_server ? m_server->url() : m_url; }

  std::unique_ptr<e2e::NatsTestServer> m_server;
  std::string m_url;
};

// miniSEED records of two channels of one station in turn, one record a
// packet (512 bytes, or 4096 when large packets are asked for), named as
// `tarn import` names them.
std::vector<Sent> recordPackets(int n, int from, size_t size) {
  std::vector<Sent> all;
  int perChannel = (from + n) / 2 + 2;
  std::vector<std::string> records[2];
  for (int c = 0; c < 2; ++c) {
    mseedtest::Stream s;
    s.channel = c == 0 ? "HHZ" : "HHN";
    s.recordLength = size >= 4096 ? 4096 : 512;
    s.samples = mseedtest::sine(perChannel * (s.recordLength == 512 ? 1000 : 8000));
    records[c] = mseedtest::pack(s);
  }
  for (int i = from; i < from + n; ++i) {
    const std::string &r = records[i % 2].at(static_cast<size_t>(i / 2));
    std::vector<mseed::Record> h;
    mseed::headers(r.data(), r.size(), &h);
    all.push_back({mseed::sourceName(h.at(0)), h.at(0).start, r});
  }
  return all;
}

// ---- SDS ----

// An archive in a folder of its own; what it stores is every record of
// every day file. It has no server: freezing it fills the disk.
class SdsRig : public KindRig {
 public:
  SdsRig() : m_root(m_dir.file("archive")) {}
  explicit SdsRig(std::string root) : m_root(std::move(root)) {}
  ~SdsRig() override { g_diskFull = false; }

  std::string readerLines() const override { return ""; }
  std::string writerLines() const override { return "write_to_sds " + m_root + "\n"; }

  std::vector<Sent> packets(int n, int from, size_t size) const override {
    return recordPackets(n, from, size);
  }

  bool feed(const std::vector<Sent> &) override { return false; }

  std::vector<Sent> stored() override {
    std::vector<std::string> files;
    collectFiles(m_root, files);
    std::sort(files.begin(), files.end());
    std::vector<Sent> all;
    for (const std::string &path : files) {
      std::string bytes = testsupport::readFile(path);
      for (size_t at = 0; at < bytes.size();) {
        int length = mseed::recordLength(bytes.data() + at, bytes.size() - at);
        if (length <= 0) break;
        std::vector<mseed::Record> h;
        mseed::headers(bytes.data() + at, static_cast<size_t>(length), &h);
        if (h.empty()) break;
        all.push_back({mseed::sourceName(h[0]), h[0].start, bytes.substr(at, length)});
        at += static_cast<size_t>(length);
      }
    }
    return all;
  }

  long passed(const std::string &) override { return 0; }
  void freeze() override { g_diskFull = true; }
  void thaw() override { g_diskFull = false; }
  void killAndRestart() override {
    freeze();
    std::this_thread::sleep_for(500ms);
    thaw();
  }
  // An archive folder whose parent is a file: it can never be made.
  std::unique_ptr<KindRig> unreachable() const override {
    std::string file = m_dir.file("a-file");
    testsupport::writeFile(file, "");
    return std::make_unique<SdsRig>(file + "/archive");
  }

 private:
  static void collectFiles(const std::string &folder, std::vector<std::string> &files) {
    DIR *dir = opendir(folder.c_str());
    if (!dir) return;
    while (dirent *e = readdir(dir)) {
      std::string name = e->d_name;
      if (name == "." || name == "..") continue;
      std::string path = folder + "/" + name;
      struct stat st {};
      if (stat(path.c_str(), &st) != 0) continue;
      if (S_ISDIR(st.st_mode)) {
        collectFiles(path, files);
      } else {
        files.push_back(path);
      }
    }
    closedir(dir);
  }

  testsupport::TempDir m_dir;
  std::string m_root;
};

// ---- SeedLink ----

// A tarnserver with its ring in a file that serves it over SeedLink 4.0 on
// a port of its own; the reader's places are in a statefile of the rig's.
class SeedLinkRig : public KindRig, public PositionSaver {
 public:
  SeedLinkRig() : m_port(e2e::freePort()), m_statefile(m_dir.file("state")) {
    m_server = std::make_unique<tarntest::TarnTestServer>(std::vector<std::string>{
        "-r", m_dir.file("ring"), "--seedlink", "127.0.0.1:" + std::to_string(m_port)});
    exhume(m_statefile.c_str(), &Stop, 0, 0);
  }
  explicit SeedLinkRig(int port) : m_port(port) {}

  std::vector<Sent> packets(int n, int from, size_t size) const override {
    return recordPackets(n, from, size);
  }
  std::string readerLines() const override {
    return "read_from_seedlink 127.0.0.1:" + std::to_string(m_port) +
           "\nseedlink_select XX_STA\nseedlink_protocol 4.0\n";
  }
  std::string writerLines() const override { return ""; }

  bool feed(const std::vector<Sent> &packets) override {
    int fd = tarnopen(m_server->name().c_str(), "w&");
    if (fd < 0) return false;
    bool ok = true;
    for (const Sent &p : packets) {
      ok = ok && tarnput(fd, p.srcname.c_str(), p.time, p.bytes.data(),
                         static_cast<int>(p.bytes.size())) == 0;
    }
    return tarnclose(fd) == 0 && ok;
  }
  std::vector<Sent> stored() override { return {}; }

  // Sequence numbers are packet ids, from 0: a station's place after
  // sequence k has passed k + 1 packets (one before 0 is 2^64 - 1).
  long passed(const std::string &connection) override {
    bury();
    std::vector<statefile::SavedPosition> saved;
    std::string error;
    statefile::parseStatefile(testsupport::readFile(m_statefile), saved, error);
    for (const auto &p : saved) {
      if (p.bySequence() && p.owner == connection) return static_cast<long>(p.sequence + 1);
    }
    return 0;
  }

  void freeze() override { ::kill(m_server->pid(), SIGSTOP); }
  void thaw() override { ::kill(m_server->pid(), SIGCONT); }
  void killAndRestart() override {
    m_server->kill();
    m_server->restart();
  }
  std::unique_ptr<KindRig> unreachable() const override {
    return std::make_unique<SeedLinkRig>(e2e::freePort());
  }

  PositionSaver *positions() override { return m_server ? this : nullptr; }
  const std::string &statefile() const override { return m_statefile; }
  void saveNow() override { bury(); }

 private:
  testsupport::TempDir m_dir;
  int m_port;
  std::string m_statefile;
  std::unique_ptr<tarntest::TarnTestServer> m_server;
};
}  // namespace

namespace {

std::vector<RigMaker> allRigs() {
  return {{"tarn", true, true, [] { return std::make_unique<TarnRig>(); }},
          {"JetStream", true, true, [] { return std::make_unique<JetStreamRig>(); }},
          {"SDS", false, true, [] { return std::make_unique<SdsRig>(); }},
          {"SeedLink", true, false, [] { return std::make_unique<SeedLinkRig>(); }, false}};
}

}  // namespace

std::vector<RigMaker> sourceRigs() {
  std::vector<RigMaker> rigs;
  for (RigMaker &m : allRigs()) {
    if (m.reads) rigs.push_back(m);
  }
  return rigs;
}

std::vector<RigMaker> destinationRigs() {
  std::vector<RigMaker> rigs;
  for (RigMaker &m : allRigs()) {
    if (m.writes) rigs.push_back(m);
  }
  return rigs;
}

}  // namespace conformance
