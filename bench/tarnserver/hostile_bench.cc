// tarnserver_hostile_bench: what hostile clients cost a local tarnserver,
// and what a good client sees meanwhile (put-to-acknowledgement times).
//
//   huge-puts    500 clients from 100 addresses announce a put of the
//                largest size and send 1 byte a second, for 5 s
//   stat-flood   3 clients send 260 KB of stat requests each and never read
//                their answers; 1000 sources
//   newest       2000 "newest" requests whose selection matches nothing, on a
//                ring of about a million packets
//   idle         1100 idle connections from one address
//   descriptors  1100 connections from 20 addresses, 1024 open files allowed
//   ring-damage  one flipped bit in a ring file's packet area (20 seeds), and
//                both checkpoints damaged
//   writers      66,000 puts of 1 KB from an address that may not write
//   seedlink     on the SeedLink port: 1000 idle connections, 3 clients of
//                garbage, 3 of endless lines, 3 that stream and never read,
//                while a SeedLink client reads 100,000 records and the good
//                client puts on the tarn port
//   datalink     on the DataLink port: 1000 idle connections, 3 clients of
//                garbage, 50 writers announcing a WRITE of 1 MiB that send a
//                byte a second, 50 such from an address that may not write,
//                3 that stream and never read, while a DataLink writer
//                writes 20,000 records with acknowledgement and the good
//                client puts on the tarn port
//   monitor      `tarn monitor` watching the server: 500 clients trickling
//                a request a byte every 2 s, then 2000 idle connections,
//                while /api/status is asked 5 times a second
//
// Usage: tarnserver_hostile_bench [PROBE...]   (default: every probe)
// The server is the one built beside this program, or TARN_BENCH_SERVER (an
// older build is run without the options it does not know).
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <regex>

#include "bench_support.h"
#include "platform/tarnclient/tarn_wire.h"
#include "platform/tarnclient/tarnclient.h"
#include "platform/tarnclient/tarnclient_internal.h"

using namespace hostile;

namespace {

const bool kLimits = serverKnowsLimits();

std::vector<std::string> withLimits(std::vector<std::string> plain,
                                    const std::vector<std::string> &extra) {
  if (kLimits) plain.insert(plain.end(), extra.begin(), extra.end());
  return plain;
}

void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

void fill(const std::string &tarn, int packets, int sources, int size) {
  int fd = tarnopen(tarn.c_str(), "w&");
  std::string bytes(static_cast<size_t>(size), 'f');
  for (int i = 0; i < packets; ++i) {
    tarnput(fd, ("ST" + std::to_string(i % sources) + "/BHZ").c_str(), i, bytes.data(), size);
  }
  tarnclose(fd);
}

void memory(const BenchServer &s, long before) {
  std::printf("  server RSS %.1f MB before, %.1f MB now, peak %.1f MB\n", before / 1024.0,
              s.rssKb() / 1024.0, s.peakKb() / 1024.0);
}

void hugePuts() {
  std::puts(
      "== huge-puts: 500 clients from 100 addresses announce a put of 1 MiB and send 1 byte a "
      "second");
  BenchServer s({});
  long before = s.rssKb();
  GoodClient good(s.name());
  std::vector<std::unique_ptr<RawConn>> crowd;
  uint32_t length = 9 + 63 + (1 << 20);
  std::string head(4, '\0');
  std::memcpy(&head[0], &length, 4);
  head += static_cast<char>(tarnwire::kPut);
  for (int i = 0; i < 500; ++i) {
    crowd.push_back(std::make_unique<RawConn>(s.name(), loopback(i, 100)));
    crowd.back()->hello();
    crowd.back()->send(std::vector<char>(head.begin(), head.end()));
  }
  for (int second = 0; second < 5; ++second) {
    for (auto &c : crowd) c->send({'x'});
    sleepMs(1000);
  }
  memory(s, before);
  std::printf("  good client: %s\n", figures(good.finish()).c_str());
}

void statFlood() {
  std::puts(
      "== stat-flood: 3 clients send 260 KB of stat requests each and never read; 1000 sources");
  BenchServer s({"-s", "16M"});
  fill(s.name(), 1000, 1000, 1);
  long before = s.rssKb();
  GoodClient good(s.name());
  std::vector<char> burst;
  for (int i = 0; i < 52000; ++i) {
    std::vector<char> f = frame(tarnwire::kStat);
    burst.insert(burst.end(), f.begin(), f.end());
  }
  {
    std::vector<std::unique_ptr<RawConn>> flood;
    for (int i = 0; i < 3; ++i) {
      flood.push_back(std::make_unique<RawConn>(s.name(), loopback(i, 3)));
      flood.back()->hello();
      flood.back()->send(burst);
    }
    sleepMs(5000);
    memory(s, before);
  }
  sleepMs(1500);
  std::printf("  after they left: RSS %.1f MB\n  good client: %s\n", s.rssKb() / 1024.0,
              figures(good.finish()).c_str());
}

void newest() {
  std::puts(
      "== newest: 2000 \"newest\" requests matching nothing, ring of about a million packets");
  BenchServer s({});
  fill(s.name(), 1000000, 1000, 16);
  tarnclient::RingFigures ring;
  int fd = tarnopen(s.name().c_str(), "r&");
  tarnclient::stat(fd, ring);
  tarnclose(fd);
  GoodClient good(s.name());
  sleepMs(200);
  RawConn hostile(s.name(), "127.0.0.2");
  hostile.hello();
  std::vector<char> burst = frame(tarnwire::kSelect, "NOTHING/.*");
  std::string body(13, '\0');
  body[0] = static_cast<char>(tarnwire::kNewest);
  for (int i = 0; i < 2000; ++i) {
    std::vector<char> f = frame(tarnwire::kPosition, body);
    burst.insert(burst.end(), f.begin(), f.end());
  }
  auto t0 = Clock::now();
  hostile.send(burst);
  int answers = 0;
  while (answers < 2000 && secondsSince(t0) < 60)
    answers += hostile.nextFrame(60000) == tarnwire::kPositioned;
  double took = secondsSince(t0);
  sleepMs(500);
  std::printf("  ring of %llu packets; %d answers in %.3f s\n  good client: %s\n",
              static_cast<unsigned long long>(ring.packets), answers, took,
              figures(good.finish()).c_str());
}

void idle() {
  std::puts("== idle: 1100 idle connections from 127.0.0.2");
  BenchServer s({});
  std::vector<std::unique_ptr<RawConn>> crowd;
  int kept = 0;
  for (int i = 0; i < 1100; ++i) {
    crowd.push_back(std::make_unique<RawConn>(s.name(), "127.0.0.2"));
    crowd.back()->hello();
    kept += crowd.back()->nextFrame(200) == tarnwire::kWelcome;
  }
  RawConn other(s.name(), "127.0.0.3");
  other.hello();
  bool otherServed = other.nextFrame(2000) == tarnwire::kWelcome;
  GoodClient good(s.name());
  sleepMs(2000);
  std::printf("  %d kept, %d refused; a reader from 127.0.0.3 %s\n  good client: %s\n", kept,
              1100 - kept, otherServed ? "served" : "NOT served", figures(good.finish()).c_str());
}

size_t lines(const std::string &text) {
  return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

void descriptors() {
  std::puts(
      "== descriptors: 1100 connections from 20 addresses to a server allowed 1024 open files");
  BenchServer s(withLimits({}, {"-c", "2000"}), 1024);
  double cpu0 = s.cpuSeconds();
  size_t lines0 = lines(s.log());
  {
    std::vector<std::unique_ptr<RawConn>> crowd;
    for (int i = 0; i < 1100; ++i)
      crowd.push_back(std::make_unique<RawConn>(s.name(), loopback(i, 20)));
    for (auto &c : crowd) c->hello();
    sleepMs(5000);
    std::printf("  in 5 s: server CPU %.2f s, %zu log lines (%zu bytes)\n", s.cpuSeconds() - cpu0,
                lines(s.log()) - lines0, s.log().size());
  }
  sleepMs(500);
  GoodClient good(s.name());
  sleepMs(1000);
  std::printf("  once they left, good client: %s\n", figures(good.finish()).c_str());
}

long recovered(const std::string &log) {
  std::smatch m;
  static const std::regex count("([0-9]+) packets recovered");
  return std::regex_search(log, m, count) ? std::stol(m[1]) : -1;
}

int newestId(const std::string &tarn) {
  int fd = tarnopen(tarn.c_str(), "w&");
  tarnput(fd, "PROBE/x", 0, "p", 1);
  tarnclose(fd);
  fd = tarnopen(tarn.c_str(), "r&");
  int id = tarnposition(fd, "newest");
  tarnclose(fd);
  return id;
}

void ringDamage() {
  std::puts(
      "== ring-damage: one flipped bit in the packet area (20 seeds); both checkpoints damaged");
  std::string path = "/tmp/hostile_bench_ring." + std::to_string(getpid());
  long intact;
  int lastId;
  {
    BenchServer s({"-r", path, "-s", "8M"});
    fill(s.name(), 60000, 100, 100);
    lastId = newestId(s.name());
    s.stop();
    BenchServer again({"-r", path});
    intact = recovered(again.log());
  }
  std::ifstream in(path, std::ios::binary);
  std::string pristine((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<long> kept;
  for (unsigned seed = 1; seed <= 20; ++seed) {
    std::string damaged = pristine;
    size_t bit = std::mt19937(seed)() % ((damaged.size() - 4096) * 8);
    damaged[4096 + bit / 8] ^= static_cast<char>(1 << (bit % 8));
    std::ofstream(path, std::ios::binary) << damaged;
    BenchServer s({"-r", path});
    kept.push_back(recovered(s.log()));
  }
  std::sort(kept.begin(), kept.end());
  std::printf(
      "  %ld packets intact; kept after one flipped bit: median %ld (%.1f%%), worst %ld (%.1f%%)\n",
      intact, kept[kept.size() / 2],
      100.0 * static_cast<double>(kept[kept.size() / 2]) / static_cast<double>(intact),
      kept.front(), 100.0 * static_cast<double>(kept.front()) / static_cast<double>(intact));
  std::string damaged = pristine;
  std::memset(&damaged[40], 0x5a, 80);
  std::ofstream(path, std::ios::binary) << damaged;
  BenchServer s({"-r", path});
  int next = newestId(s.name());
  std::printf(
      "  both checkpoints damaged: %ld of %ld packets kept; a new packet got id %d (the last was "
      "%d)\n",
      recovered(s.log()), intact, next, lastId);
  s.stop();
  std::remove(path.c_str());
}

void writers() {
  std::puts("== writers: 66,000 puts of 1 KB from 127.0.0.2, only 127.0.0.1 may write");
  BenchServer s(withLimits({}, {"-W", "127.0.0.1"}));
  fill(s.name(), 100, 1, 1000);
  RawConn hostile(s.name(), "127.0.0.2");
  hostile.hello();
  std::string body(8, '\0');  // time 0
  body += static_cast<char>(6);
  body += "EVIL/x" + std::string(1024, 'e');
  std::vector<char> put = frame(tarnwire::kPut, body);
  int sent = 0;
  for (; sent < 66000 && hostile.send(put); ++sent) {
  }
  sleepMs(500);
  tarnclient::RingFigures ring;
  int fd = tarnopen(s.name().c_str(), "r&");
  tarnclient::stat(fd, ring);
  tarnclose(fd);
  std::map<std::string, uint64_t> bySource;
  for (const auto &src : ring.sources) bySource[src.name] = src.packets;
  std::printf(
      "  %d puts sent before the server closed the connection; stored: %llu of them, %llu of 100 "
      "good\n",
      sent, static_cast<unsigned long long>(bySource["EVIL/x"]),
      static_cast<unsigned long long>(bySource["ST0/BHZ"]));
}

void datalinkHostile() {
  std::puts(
      "== datalink: 1000 idle DataLink connections, 3 of garbage, 100 announcing 1 MiB WRITEs a "
      "byte a second (50 may not write), 3 streams never read; a writer of 20,000 records");
  if (!serverKnowsDatalink()) {
    std::puts("  skipped: the server does not speak DataLink");
    return;
  }
  BenchServer s(
      {"-s", "128M", "--datalink", "0", "-W", "127.0.0.0/24", "-L", "2000", "-c", "2000"});
  fillMseed(s.name(), mseedRecords(2000), 100000, 10);  // 50 MB for the stuck readers
  long before = s.rssKb();
  GoodClient good(s.name());
  std::vector<std::unique_ptr<DlConn>> idle, garbage, huge, stuck;
  for (int i = 0; i < 1000; ++i)
    idle.push_back(std::make_unique<DlConn>(s.datalinkName(), loopback(i, 20)));
  std::string junk;
  while (junk.size() < 260000) junk += std::string("\x01\xfe\x7f junk \x80", 11);
  for (int i = 0; i < 3; ++i) {
    garbage.push_back(std::make_unique<DlConn>(s.datalinkName(), "127.0.0.30"));
    garbage.back()->sendRaw(junk);
    stuck.push_back(std::make_unique<DlConn>(s.datalinkName(), "127.0.0.32"));
    stuck.back()->send("POSITION SET EARLIEST 0");
    stuck.back()->send("STREAM");
  }
  for (int i = 0; i < 100; ++i) {  // 127.0.1.x may not write
    huge.push_back(std::make_unique<DlConn>(s.datalinkName(), i % 2 ? "127.0.0.31" : "127.0.1.31"));
    huge.back()->send("WRITE XX_STA_00_HHZ/MSEED 0 0 A 1048576");
  }
  std::vector<std::string> records = stationRecords("HON", 20000);
  DlConn writer(s.datalinkName(), "127.0.0.33");
  std::vector<double> ms;
  auto t0 = Clock::now(), trickled = t0;
  while (ms.size() < records.size() && secondsSince(t0) < 60) {
    if (secondsSince(trickled) >= 1) {  // a byte a second from each huge writer
      for (auto &c : huge) c->sendRaw("x");
      trickled = Clock::now();
    }
    auto start = Clock::now();
    if (!writer.write("XX_HON_00_HHZ/MSEED", records[ms.size()])) break;
    ms.push_back(secondsSince(start) * 1000);
  }
  double took = secondsSince(t0);
  std::sort(ms.begin(), ms.end());
  sleepMs(1000);
  int dropped = 0, hugeDropped = 0;
  for (auto &c : garbage) dropped += !c->drain();
  for (auto &c : huge) hugeDropped += !c->drain();
  DlConn late(s.datalinkName(), "127.0.0.34");
  datalink::DatalinkReader::Message m;
  bool lateServed = late.send("ID probe") && late.next(m, 5000) && m.header.rfind("ID ", 0) == 0;
  memory(s, before);
  std::printf(
      "  DataLink writer: %zu of %zu records acknowledged in %.2f s (%.0f records/s), WRITE to OK "
      "median %.3f ms, worst %.1f ms\n"
      "  garbage clients dropped: %d of 3; huge writers dropped: %d of 100 (the 50 that may not "
      "write); a new DataLink client %s\n"
      "  good client (tarn port): %s\n",
      ms.size(), records.size(), took, static_cast<double>(ms.size()) / took,
      ms.empty() ? 0 : ms[ms.size() / 2], ms.empty() ? 0 : ms.back(), dropped, hugeDropped,
      lateServed ? "served" : "NOT served", figures(good.finish()).c_str());
}

void seedlinkHostile() {
  std::puts(
      "== seedlink: 1000 idle SeedLink connections, 3 of garbage, 3 of endless lines, 3 that "
      "never read; a SeedLink reader of 100,000 records");
  if (!serverKnowsSeedlink()) {
    std::puts("  skipped: the server does not serve SeedLink");
    return;
  }
  BenchServer s({"-s", "128M", "--seedlink", "0"});
  const int kRecords = 100000;
  fillMseed(s.name(), mseedRecords(2000), kRecords, 10);
  long before = s.rssKb();
  GoodClient good(s.name());
  std::vector<std::unique_ptr<SlConn>> idle, garbage, longLines, stuck;
  for (int i = 0; i < 1000; ++i)
    idle.push_back(std::make_unique<SlConn>(s.seedlinkName(), loopback(i, 20)));
  std::string junk;
  while (junk.size() < 260000) junk += std::string("\x01\xfe\x7f junk \x80", 11) + "\r\n";
  for (int i = 0; i < 3; ++i) {
    garbage.push_back(std::make_unique<SlConn>(s.seedlinkName(), "127.0.0.30"));
    garbage.back()->send(junk);
    longLines.push_back(std::make_unique<SlConn>(s.seedlinkName(), "127.0.0.31"));
    longLines.back()->send(std::string(1 << 20, 'A'));
    stuck.push_back(std::make_unique<SlConn>(s.seedlinkName(), "127.0.0.32"));
    stuck.back()->command("SLPROTO 4.0");
    stuck.back()->send("DATA 0\r\nEND\r\n");
  }
  SlConn reader(s.seedlinkName(), "127.0.0.33");
  reader.command("SLPROTO 4.0");
  reader.command("DATA 0");
  auto t0 = Clock::now();
  reader.send("END\r\n");
  size_t got = reader.packets(kRecords, 10000);
  double took = secondsSince(t0);
  sleepMs(1000);
  int dropped = 0;
  for (auto *group : {&garbage, &longLines})
    for (auto &c : *group) dropped += !c->drain();
  SlConn late(s.seedlinkName(), "127.0.0.34");
  bool lateServed = late.command("SLPROTO 4.0");
  memory(s, before);
  std::printf(
      "  SeedLink reader: %zu of %d records in %.2f s (%.0f records/s) beside 3 stuck readers\n"
      "  garbage and long-line clients dropped: %d of 6; a new SeedLink client %s\n"
      "  good client (tarn port): %s\n",
      got, kRecords, took, static_cast<double>(got) / took, dropped,
      lateServed ? "served" : "NOT served", figures(good.finish()).c_str());
}

// A connection to 127.0.0.1:port, or -1.
int connectLocal(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) return fd;
  if (fd >= 0) close(fd);
  return -1;
}

// One GET /api/status: milliseconds to the whole answer, -1 when it failed
// or took longer than 10 s.
double scrapeMs(int port) {
  auto start = Clock::now();
  int fd = connectLocal(port);
  if (fd < 0) return -1;
  std::string req = "GET /api/status HTTP/1.1\r\nHost: bench\r\nConnection: close\r\n\r\n";
  std::string got;
  bool ok = send(fd, req.data(), req.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(req.size());
  while (ok) {
    int left = 10000 - static_cast<int>(secondsSince(start) * 1000);
    pollfd p{fd, POLLIN, 0};
    if (left <= 0 || poll(&p, 1, left) <= 0) {
      ok = false;
      break;
    }
    char buffer[65536];
    ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    got.append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  return ok && got.rfind("HTTP/1.1 200", 0) == 0 ? secondsSince(start) * 1000 : -1;
}

// Scrapes every 200 ms while a phase lasts, and prints what they took.
class Scraper {
 public:
  explicit Scraper(int port) : port_(port), thread_([this] { run(); }) {}
  ~Scraper() {
    done_ = true;
    thread_.join();
  }
  std::string figures() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<double> ok;
    for (double t : times_) {
      if (t >= 0) ok.push_back(t);
    }
    std::sort(ok.begin(), ok.end());
    char text[160];
    std::snprintf(text, sizeof text, "%zu of %zu answered, median %.1f ms, worst %.1f ms",
                  ok.size(), times_.size(), ok.empty() ? 0 : ok[ok.size() / 2],
                  ok.empty() ? 0 : ok.back());
    times_.clear();
    return text;
  }

 private:
  void run() {
    while (!done_) {
      double t = scrapeMs(port_);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        times_.push_back(t);
      }
      sleepMs(200);
    }
  }
  int port_;
  std::atomic<bool> done_{false};
  std::mutex mutex_;
  std::vector<double> times_;
  std::thread thread_;
};

// Keeps `count` connections open for `seconds`, opening again those the
// monitor closes; with `trickle`, each sends its request a byte every 2 s.
// How many the monitor closed meanwhile.
int crowd(int port, int count, int seconds, bool trickle) {
  const std::string request = "GET /api/status HTTP/1.1\r\nHost: slow\r\n\r\n";
  std::vector<int> fds(static_cast<size_t>(count), -1);
  std::vector<size_t> sent(fds.size(), 0);
  int closed = 0;
  auto start = Clock::now();
  for (int round = 0; secondsSince(start) < seconds; ++round) {
    for (size_t i = 0; i < fds.size(); ++i) {
      if (fds[i] >= 0) {
        pollfd p{fds[i], POLLIN, 0};
        if (poll(&p, 1, 0) > 0) {  // answered (408) or closed: a new one
          close(fds[i]);
          fds[i] = -1;
          ++closed;
        }
      }
      if (fds[i] < 0) fds[i] = connectLocal(port), sent[i] = 0;
      if (trickle && fds[i] >= 0 && round % 2 == 0) {
        if (send(fds[i], &request[sent[i] % request.size()], 1, MSG_NOSIGNAL) == 1) ++sent[i];
      }
    }
    sleepMs(1000);
  }
  for (int fd : fds) {
    if (fd >= 0) close(fd);
  }
  return closed;
}

void monitorHostile() {
  std::puts(
      "== monitor: tarn monitor under 500 clients trickling a byte every 2 s, then 2000 idle "
      "connections");
  BenchServer s({});
  const char *other = std::getenv("TARN_BENCH_TARN");  // another build's tarn, to compare
  std::string tarn = other ? other : testsupport::programPath("tarn");
  testsupport::ChildProcess monitor({tarn, "monitor", s.name(), "-l", "127.0.0.1:0", "-i", "1"});
  const std::string marker = "serving http://127.0.0.1:";
  int port = 0;
  for (int i = 0; i < 300 && port == 0; ++i) {
    size_t at = monitor.out().find(marker);
    if (at != std::string::npos) port = std::atoi(monitor.out().c_str() + at + marker.size());
    if (port == 0) sleepMs(100);
  }
  if (port == 0) {
    std::printf("  the monitor did not start: %s\n", monitor.err().c_str());
    return;
  }
  Scraper scraper(port);
  sleepMs(2000);
  std::printf("  alone: %s\n", scraper.figures().c_str());
  int slowClosed = crowd(port, 500, 12, true);
  std::printf("  500 slow clients (12 s, %d closed by the monitor): %s\n", slowClosed,
              scraper.figures().c_str());
  int idleClosed = crowd(port, 2000, 12, false);
  std::printf("  2000 idle connections (12 s, %d closed by the monitor): %s\n", idleClosed,
              scraper.figures().c_str());
  monitor.signal(SIGTERM);
  int status = monitor.wait(std::chrono::seconds(10));
  if (status != 0)
    std::printf("  the monitor ended with status %d: %s\n", status, monitor.err().c_str());
}

const std::map<std::string, void (*)()> kProbes = {{"huge-puts", hugePuts},
                                                   {"stat-flood", statFlood},
                                                   {"newest", newest},
                                                   {"idle", idle},
                                                   {"descriptors", descriptors},
                                                   {"ring-damage", ringDamage},
                                                   {"writers", writers},
                                                   {"seedlink", seedlinkHostile},
                                                   {"datalink", datalinkHostile},
                                                   {"monitor", monitorHostile}};

}  // namespace

int main(int argc, char **argv) {
  rlimit lim{};
  getrlimit(RLIMIT_NOFILE, &lim);
  lim.rlim_cur = lim.rlim_max;
  setrlimit(RLIMIT_NOFILE, &lim);
  std::printf("server: %s%s\n", serverPath().c_str(),
              kLimits ? "" : " (without access and limit options)");
  std::vector<std::string> chosen(argv + 1, argv + argc);
  if (chosen.empty()) {
    for (const char *p : {"huge-puts", "stat-flood", "newest", "idle", "descriptors", "ring-damage",
                          "writers", "seedlink", "datalink", "monitor"}) {
      chosen.push_back(p);
    }
  }
  for (const std::string &name : chosen) {
    auto it = kProbes.find(name);
    if (it == kProbes.end()) {
      std::fprintf(stderr, "unknown probe '%s'\n", name.c_str());
      return 2;
    }
    it->second();
    std::fflush(stdout);
  }
  return 0;
}
