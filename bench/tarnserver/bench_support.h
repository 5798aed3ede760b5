// What hostile_bench needs around the probes: a tarnserver process with its
// figures from /proc, raw connections from any 127.x.y.z address, and a
// good client that keeps putting and timing its acknowledgements.
// Not thread-safe except GoodClient, which runs its own thread.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/datalink/datalink_wire.h"
#include "platform/seedlink/seedlink_wire.h"
#include "process.h"

namespace hostile {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point t);

// A tarnserver on a free port of 127.0.0.1, its output in a file. stop()
// (and the destructor) ends it with SIGTERM.
class BenchServer {
 public:
  // `nofile` > 0 starts it with that limit of open files.
  BenchServer(std::vector<std::string> args, int nofile = 0);
  ~BenchServer();
  bool up() const { return !name_.empty(); }
  const std::string &name() const { return name_; }
  // The SeedLink port's HOST:PORT when started with --seedlink, else "".
  const std::string &seedlinkName() const { return seedlinkName_; }
  // The DataLink port's HOST:PORT when started with --datalink, else "".
  const std::string &datalinkName() const { return datalinkName_; }
  pid_t pid() const { return process_ ? process_->pid() : -1; }
  long rssKb() const { return status("VmRSS:"); }
  long peakKb() const { return status("VmHWM:"); }
  double cpuSeconds() const;
  std::string log() const;
  void stop();

 private:
  long status(const char *key) const;
  std::unique_ptr<testsupport::ChildProcess> process_;
  std::string name_, seedlinkName_, datalinkName_, logPath_, readyPath_;
};

// The server of this build (its bin folder), or TARN_BENCH_SERVER.
std::string serverPath();
// Whether the server knows the options of access and limits (an older
// build does not: the probes then leave them out).
bool serverKnowsLimits();
// Whether it serves SeedLink (--seedlink), DataLink (--datalink).
bool serverKnowsSeedlink();
bool serverKnowsDatalink();

class RawConn {
 public:
  RawConn(const std::string &tarn, const std::string &from);
  ~RawConn();
  RawConn(const RawConn &) = delete;
  RawConn &operator=(const RawConn &) = delete;
  bool ok() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  bool send(const std::vector<char> &bytes);
  void hello();
  // The type of the next frame within `ms` (0: none, or closed), read whole.
  char nextFrame(int ms);
  // Reads whatever waits, without blocking; false once the server closed.
  bool drain();

 private:
  int fd_ = -1;
};

// A SeedLink connection: command lines out, answers and packets in, read
// through the wire library.
class SlConn {
 public:
  SlConn(const std::string &address, const std::string &from) : raw_(address, from) {}
  bool ok() const { return raw_.ok(); }
  bool send(const std::string &bytes) { return raw_.send({bytes.begin(), bytes.end()}); }
  // Sends the line; whether the answer within `ms` is OK.
  bool command(const std::string &line, int ms = 5000);
  // Reads until `n` packets arrived, the connection ends, or `ms` pass
  // without any; the count (v3's END ends it too).
  size_t packets(size_t n, int ms);
  bool drain() { return raw_.drain(); }

 private:
  bool fill(int ms);
  RawConn raw_;
  seedlink::PacketReader reader_;
};

// A DataLink connection: messages out, answers and packets in, read
// through the wire library.
class DlConn {
 public:
  DlConn(const std::string &address, const std::string &from)
      : raw_(address, from), reader_(datalink::Sender::kServer, 1 << 20) {}
  bool ok() const { return raw_.ok(); }
  bool send(const std::string &header, const std::string &data = "");
  bool sendRaw(const std::string &bytes) { return raw_.send({bytes.begin(), bytes.end()}); }
  // The next message within `ms`; false when none came (or the connection
  // ended).
  bool next(datalink::DatalinkReader::Message &m, int ms = 10000);
  // WRITE with flag A; whether the answer is OK.
  bool write(const std::string &streamId, const std::string &record);
  // Reads until `n` PACKETs came, the connection ends or `ms` pass without
  // any; the count.
  size_t packets(size_t n, int ms);
  bool drain() { return raw_.drain(); }

 private:
  bool fill(int ms);
  RawConn raw_;
  datalink::DatalinkReader reader_;
};

// `n` 512-byte miniSEED records, taken round from a packed sine.
std::vector<std::string> mseedRecords(size_t n);
// `n` 512-byte records of station `station` (network XX, location 00,
// channel HHZ).
std::vector<std::string> stationRecords(const std::string &station, size_t n);
// Puts records[i % size] as packets of `stations` stations, NET_Si_HHZ/MSEED,
// times base + i; the seconds it took.
double fillMseed(const std::string &tarn, const std::vector<std::string> &records, int packets,
                 int stations);

std::vector<char> frame(char type, const std::string &body = "");
// 127.0.0.N for N = 2 + i % spread.
std::string loopback(int i, int spread);

// Puts a packet every `everyMs` and times each until its acknowledgement.
class GoodClient {
 public:
  GoodClient(const std::string &tarn, int everyMs = 20);
  ~GoodClient();
  // Stops and returns the put-to-acknowledgement times in milliseconds,
  // sorted; a put not acknowledged within 30 s counts as 30000.
  std::vector<double> finish();

 private:
  void run(std::string tarn, int everyMs);
  std::atomic<bool> stop_{false};
  std::vector<double> ms_;
  std::thread thread_;
};

std::string figures(const std::vector<double> &sortedMs);

}  // namespace hostile
