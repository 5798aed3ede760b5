#include "bench_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "mseed_samples.h"
#include "platform/tarnclient/tarn_wire.h"
#include "platform/tarnclient/tarnclient.h"
#include "platform/tarnclient/tarnclient_internal.h"

namespace hostile {

double secondsSince(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

std::string serverPath() {
  const char *env = std::getenv("TARN_BENCH_SERVER");
  return env ? env : testsupport::programPath("tarnserver");
}

bool serverKnowsLimits() {
  // One that knows -L goes on to complain about -x; an older one stops at -L.
  testsupport::ProcessResult r =
      testsupport::runProgram({serverPath(), "-L", "1", "-x"}, std::chrono::seconds(10));
  return (r.out + r.err).find("unknown option -x") != std::string::npos;
}

bool serverKnowsSeedlink() {
  testsupport::ProcessResult r =
      testsupport::runProgram({serverPath(), "-h"}, std::chrono::seconds(10));
  return (r.out + r.err).find("--seedlink") != std::string::npos;
}

bool serverKnowsDatalink() {
  testsupport::ProcessResult r =
      testsupport::runProgram({serverPath(), "-h"}, std::chrono::seconds(10));
  return (r.out + r.err).find("--datalink") != std::string::npos;
}

BenchServer::BenchServer(std::vector<std::string> args, int nofile) {
  std::string base =
      "/tmp/hostile_bench." + std::to_string(getpid()) + "." + std::to_string(std::rand());
  readyPath_ = base + ".ready";
  logPath_ = base + ".log";
  std::vector<std::string> argv = {serverPath(), "-p", "0", "-R", readyPath_};
  argv.insert(argv.end(), args.begin(), args.end());
  testsupport::SpawnOptions options;
  options.output = logPath_;
  options.openFiles = nofile;
  try {
    process_ = std::make_unique<testsupport::ChildProcess>(argv, options);
  } catch (const std::runtime_error &e) {
    std::fprintf(stderr, "hostile_bench: %s\n", e.what());
    return;
  }
  for (int i = 0; i < 2000 && name_.empty() && process_->running(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::ifstream in(readyPath_);
    std::string line;
    std::getline(in, name_);  // written whole: the SeedLink and DataLink lines are there too
    while (std::getline(in, line)) {
      if (line.rfind("seedlink ", 0) == 0) seedlinkName_ = line.substr(9);
      if (line.rfind("datalink ", 0) == 0) datalinkName_ = line.substr(9);
    }
  }
}

BenchServer::~BenchServer() {
  stop();
  std::remove(readyPath_.c_str());
  std::remove(logPath_.c_str());
}

void BenchServer::stop() {
  if (process_) process_->stop(SIGTERM, std::chrono::seconds(60));
  process_.reset();
}

long BenchServer::status(const char *key) const {
  std::ifstream in("/proc/" + std::to_string(pid()) + "/status");
  std::string word;
  long kb = -1;
  while (in >> word) {
    if (word == key) in >> kb;
  }
  return kb;
}

double BenchServer::cpuSeconds() const {
  std::ifstream in("/proc/" + std::to_string(pid()) + "/stat");
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (all.empty()) return 0;
  std::istringstream rest(all.substr(all.rfind(')') + 2));
  std::string field;
  double ticks = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14 || i == 15) ticks += std::stod(field);
  }
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

std::string BenchServer::log() const {
  std::ifstream in(logPath_);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

RawConn::RawConn(const std::string &tarn, const std::string &from) {
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  inet_pton(AF_INET, from.c_str(), &a.sin_addr);
  bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a);
  a.sin_port = htons(static_cast<uint16_t>(std::stoi(tarn.substr(tarn.rfind(':') + 1))));
  inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
  timeval tv{1, 0};
  setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  if (connect(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

RawConn::~RawConn() {
  if (fd_ >= 0) ::close(fd_);
}

bool RawConn::send(const std::vector<char> &bytes) {
  return fd_ >= 0 && ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
                         static_cast<ssize_t>(bytes.size());
}

void RawConn::hello() {
  std::string body(7, '\0');
  uint32_t magic = tarnwire::kMagic;
  uint16_t version = tarnwire::kVersion;
  std::memcpy(&body[0], &magic, 4);
  std::memcpy(&body[4], &version, 2);
  send(frame(tarnwire::kHello, body));
}

char RawConn::nextFrame(int ms) {
  pollfd p{fd_, POLLIN, 0};
  if (fd_ < 0 || poll(&p, 1, ms) <= 0) return 0;
  char head[5];
  if (recv(fd_, head, 5, MSG_WAITALL) != 5) return 0;
  uint32_t len;
  std::memcpy(&len, head, 4);
  std::string body(len, '\0');
  if (len > 0 && recv(fd_, body.data(), len, MSG_WAITALL) != static_cast<ssize_t>(len)) return 0;
  return head[4];
}

bool RawConn::drain() {
  char buf[65536];
  for (;;) {
    ssize_t n = recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
    if (n == 0) return false;
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK;
  }
}

bool SlConn::fill(int ms) {
  pollfd p{raw_.fd(), POLLIN, 0};
  if (raw_.fd() < 0 || poll(&p, 1, ms) <= 0) return false;
  char buf[1 << 16];
  ssize_t n = recv(raw_.fd(), buf, sizeof buf, 0);
  if (n <= 0) return false;
  reader_.feed(buf, static_cast<size_t>(n));
  return true;
}

bool SlConn::command(const std::string &line, int ms) {
  if (!send(line + "\r\n")) return false;
  std::string answer;
  for (;;) {
    auto s = reader_.nextLine(answer);
    if (s == seedlink::PacketReader::Status::kReady) return answer == "OK";
    if (s == seedlink::PacketReader::Status::kBad || !fill(ms)) return false;
  }
}

size_t SlConn::packets(size_t n, int ms) {
  size_t got = 0;
  seedlink::Packet packet;
  while (got < n) {
    auto s = reader_.nextPacket(packet);
    if (s == seedlink::PacketReader::Status::kReady) {
      ++got;
    } else if (s != seedlink::PacketReader::Status::kNeedMore || !fill(ms)) {
      break;
    }
  }
  return got;
}

bool DlConn::send(const std::string &header, const std::string &data) {
  std::string m;
  datalink::appendMessage(m, header, data);
  return raw_.send({m.begin(), m.end()});
}

bool DlConn::fill(int ms) {
  pollfd p{raw_.fd(), POLLIN, 0};
  if (raw_.fd() < 0 || poll(&p, 1, ms) <= 0) return false;
  char buf[1 << 16];
  ssize_t n = recv(raw_.fd(), buf, sizeof buf, 0);
  if (n <= 0) return false;
  reader_.feed(buf, static_cast<size_t>(n));
  return true;
}

bool DlConn::next(datalink::DatalinkReader::Message &m, int ms) {
  for (;;) {
    auto s = reader_.next(m);
    if (s == datalink::DatalinkReader::Status::kReady) return true;
    if (s == datalink::DatalinkReader::Status::kBad || !fill(ms)) return false;
  }
}

bool DlConn::write(const std::string &streamId, const std::string &record) {
  datalink::DatalinkReader::Message m;
  return send("WRITE " + streamId + " 0 0 A " + std::to_string(record.size()), record) && next(m) &&
         m.header.rfind("OK ", 0) == 0;
}

size_t DlConn::packets(size_t n, int ms) {
  size_t got = 0;
  datalink::DatalinkReader::Message m;
  while (got < n && next(m, ms)) got += m.header.rfind("PACKET ", 0) == 0;
  return got;
}

std::vector<std::string> stationRecords(const std::string &station, size_t n) {
  mseedtest::Stream stream;
  stream.station = station;
  stream.samples = mseedtest::sine(static_cast<int>(n) * 400);
  std::vector<std::string> packed = mseedtest::pack(stream);
  packed.resize(std::min(packed.size(), n));
  return packed;
}

std::vector<std::string> mseedRecords(size_t n) {
  mseedtest::Stream stream;
  stream.samples = mseedtest::sine(200000);
  std::vector<std::string> packed = mseedtest::pack(stream);
  std::vector<std::string> out;
  for (size_t i = 0; i < n; ++i) out.push_back(packed[i % packed.size()]);
  return out;
}

double fillMseed(const std::string &tarn, const std::vector<std::string> &records, int packets,
                 int stations) {
  auto t0 = Clock::now();
  int fd = tarnopen(tarn.c_str(), "w&");
  for (int i = 0; i < packets; ++i) {
    const std::string &r = records[static_cast<size_t>(i) % records.size()];
    std::string src = "XX_S" + std::to_string(i % stations) + "_HHZ/MSEED";
    tarnput(fd, src.c_str(), 1796601600.0 + i, r.data(), static_cast<int>(r.size()));
  }
  tarnclose(fd);
  return secondsSince(t0);
}

std::vector<char> frame(char type, const std::string &body) {
  std::vector<char> f(tarnwire::kHeaderSize + body.size());
  uint32_t len = static_cast<uint32_t>(body.size());
  std::memcpy(f.data(), &len, 4);
  f[4] = type;
  if (!body.empty()) std::memcpy(f.data() + tarnwire::kHeaderSize, body.data(), body.size());
  return f;
}

std::string loopback(int i, int spread) { return "127.0.0." + std::to_string(2 + i % spread); }

GoodClient::GoodClient(const std::string &tarn, int everyMs)
    : thread_(&GoodClient::run, this, tarn, everyMs) {}

GoodClient::~GoodClient() { finish(); }

void GoodClient::run(std::string tarn, int everyMs) {
  int fd = tarnopen(tarn.c_str(), "w&");
  for (int i = 0; fd >= 0 && !stop_.load(); ++i) {
    auto t0 = Clock::now();
    tarnclient::PutReceipt receipt;
    bool ok = tarnclient::putNumbered(fd, "GOOD/x", i, "good", 4, 30.0, &receipt) == 0 &&
              tarnclient::awaitAcknowledged(fd, receipt.number, 30.0) == 0;
    ms_.push_back(ok ? secondsSince(t0) * 1000 : 30000.0);
    std::this_thread::sleep_for(std::chrono::milliseconds(everyMs));
  }
  if (fd >= 0) tarnclose(fd);
}

std::vector<double> GoodClient::finish() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  std::sort(ms_.begin(), ms_.end());
  return ms_;
}

std::string figures(const std::vector<double> &ms) {
  if (ms.empty()) return "no put answered";
  char text[160];
  std::snprintf(text, sizeof text, "%zu puts, median %.2f ms, worst %.1f ms", ms.size(),
                ms[ms.size() / 2], ms.back());
  return text;
}

}  // namespace hostile
