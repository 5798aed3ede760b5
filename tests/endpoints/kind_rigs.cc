#include "kind_rigs.h"

#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "nats_test_server.h"
#include "platform/tarnclient/tarnclient.h"
#include "process.h"
#include "relay_e2e.h"
#include "tarn/tarn_tag.h"
#include "tarn_test_server.h"

namespace conformance {
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

}  // namespace

std::vector<RigMaker> kindRigs() {
  return {{"tarn", [] { return std::make_unique<TarnRig>(); }},
          {"JetStream", [] { return std::make_unique<JetStreamRig>(); }}};
}

}  // namespace conformance
