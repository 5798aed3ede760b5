// The C interface: a registry of descriptors, each a TarnConnection whose
// mutex serialises the calls on it, the flusher thread, and the flush of
// outstanding puts at process exit.
//
// Lock order: the registry's mutex is never held while a connection's is
// taken; the flusher's mutex is taken alone.
#include "platform/tarnclient/tarnclient.h"

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/elog/elog.h"
#include "platform/stopflag/stopflag.h"
#include "platform/tarnclient/tarn_connection.h"
#include "platform/tarnclient/tarn_flusher.h"
#include "platform/tarnclient/tarnclient_internal.h"

namespace tarnclient {
namespace {

using Clock = TarnConnection::Clock;
using ConnPtr = std::shared_ptr<TarnConnection>;

constexpr auto kFlushAge = std::chrono::microseconds(500);
constexpr auto kCloseWait = std::chrono::seconds(10);
constexpr auto kExitWait = std::chrono::seconds(5);

struct Registry {
  // Guards conns and nextFd. Every call on a descriptor looks it up, from
  // whichever thread uses it (a relay's reader and writer at once, each for
  // every packet), so lookups share the lock and only opening and closing
  // take it alone.
  std::shared_mutex mutex;
  std::unordered_map<int, ConnPtr> conns;
  int nextFd = 1;

  std::mutex flushMutex;  // guards the four below
  std::condition_variable flushCv;
  bool flushWork = false;
  bool flushStop = false;
  std::thread flusher;
};

// Never destroyed: descriptors stay usable until the very end of the
// process, whatever order static objects are destroyed in.
Registry &registry() {
  static Registry *r = new Registry;
  return *r;
}

ConnPtr find(int fd) {
  Registry &r = registry();
  std::shared_lock<std::shared_mutex> lock(r.mutex);
  auto it = r.conns.find(fd);
  return it == r.conns.end() ? nullptr : it->second;
}

std::vector<ConnPtr> snapshot() {
  Registry &r = registry();
  std::shared_lock<std::shared_mutex> lock(r.mutex);
  std::vector<ConnPtr> all;
  for (auto &entry : r.conns) all.push_back(entry.second);
  return all;
}

// Whether the flusher is to end (the process is ending: puts still unsent
// are the exit flush's).
bool stopping(Registry &r) {
  std::lock_guard<std::mutex> lock(r.flushMutex);
  return r.flushStop;
}

void flusherBody() {
  Registry &r = registry();
  std::unique_lock<std::mutex> lock(r.flushMutex);
  while (!r.flushStop) {
    if (!r.flushWork) r.flushCv.wait(lock);
    r.flushWork = false;
    lock.unlock();
    bool pending = true;
    while (pending && !stopping(r)) {
      std::this_thread::sleep_for(kFlushAge);
      pending = false;
      for (const ConnPtr &c : snapshot()) {
        if (!c->hasUnsent()) continue;
        std::unique_lock<std::mutex> cl(c->mutex(), std::try_to_lock);
        if (cl.owns_lock()) c->flushPending(Clock::now() - kFlushAge);
        pending = pending || c->hasUnsent();
      }
    }
    lock.lock();
  }
}

// At exit: stop the flusher and give every descriptor a bounded time to
// have its puts acknowledged, so an orderly end loses none. What is left is
// said (a program that drains the log library has said that it no longer
// does, and the message reaches standard error).
void flushAtExit() {
  Registry &r = registry();
  {
    std::lock_guard<std::mutex> lock(r.flushMutex);
    r.flushStop = true;
    r.flushCv.notify_all();
  }
  if (r.flusher.joinable()) r.flusher.join();
  auto deadline = Clock::now() + kExitWait;
  for (const ConnPtr &c : snapshot()) {
    std::unique_lock<std::mutex> cl(c->mutex(), std::defer_lock);
    while (!cl.try_lock() && Clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (cl.owns_lock()) c->drain(deadline);
    uint64_t acked = c->acknowledgedPuts();
    uint64_t left = c->acceptedPuts() - acked;
    if (left > 0) {
      elog_log(0, "tarn '%s': %llu puts left unacknowledged at exit", c->name().c_str(),
               static_cast<unsigned long long>(left));
    }
  }
}

void registerAtExit() {
  static std::once_flag once;
  std::call_once(once, [] { std::atexit(flushAtExit); });
}

bool validMode(const char *mode) {
  if (!mode) return false;
  return !std::strcmp(mode, "r&") || !std::strcmp(mode, "w&") || !std::strcmp(mode, "r") ||
         !std::strcmp(mode, "w");
}

template <typename Fn>
int withConn(int fd, int bad, Fn fn) {
  ConnPtr c = find(fd);
  if (!c) return bad;
  std::lock_guard<std::mutex> lock(c->mutex());
  return fn(*c);
}

}  // namespace

void notifyFlusher() {
  Registry &r = registry();
  std::lock_guard<std::mutex> lock(r.flushMutex);
  if (r.flushStop) return;
  if (!r.flusher.joinable()) r.flusher = std::thread(flusherBody);
  r.flushWork = true;
  r.flushCv.notify_one();
}

bool descriptorName(int fd, std::string &name) {
  ConnPtr c = find(fd);
  if (!c) return false;
  name = c->name();
  return true;
}

bool descriptorExpressions(int fd, std::string &select, std::string &reject) {
  ConnPtr c = find(fd);
  if (!c) return false;
  std::lock_guard<std::mutex> lock(c->mutex());
  select = c->selectExpr();
  reject = c->rejectExpr();
  return true;
}

bool descriptorAddress(int fd, std::string &address) {
  ConnPtr c = find(fd);
  if (!c) return false;
  address = c->address();
  return true;
}

int resumeAt(int fd, int32_t id, double time, bool inclusive) {
  auto kind = inclusive ? tarnwire::kResumeAt : tarnwire::kResume;
  return withConn(fd, -1, [&](TarnConnection &c) { return c.position(kind, id, time); });
}

int putNumbered(int fd, const char *srcname, double time, const char *bytes, int nbytes,
                double windowWait, PutReceipt *receipt, const PutIdentity *identity) {
  return withConn(fd, -1, [&](TarnConnection &c) {
    uint64_t number = 0;
    int rc = c.put(srcname, time, bytes, nbytes, windowWait, &number, identity);
    if (receipt) *receipt = PutReceipt{number, c.acknowledgedPuts(), c.hasRefused(), c.maxPacket()};
    return rc;
  });
}

uint64_t collectAcknowledgements(int fd) {
  ConnPtr c = find(fd);
  if (!c) return 0;
  std::lock_guard<std::mutex> lock(c->mutex());
  c->collectAcknowledgements();
  return c->acknowledgedPuts();
}

int awaitAcknowledged(int fd, uint64_t number, double seconds) {
  auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                     std::chrono::duration<double>(std::clamp(seconds, 0.0, 1e9)));
  return withConn(fd, -1, [&](TarnConnection &c) { return c.awaitAcknowledged(number, deadline); });
}

bool putWindow(int fd, PutWindow &out) {
  ConnPtr c = find(fd);
  if (!c) return false;
  out.acknowledged = c->acknowledgedPuts();
  out.accepted = std::max(c->acceptedPuts(), out.acknowledged);
  out.bytes = c->unacknowledgedBytes();
  out.limit = windowBytesLimit();
  return true;
}

uint64_t reconnectFailures(int fd) {
  ConnPtr c = find(fd);
  return c ? c->reconnectFailures() : 0;
}

bool linkLost(int fd) {
  ConnPtr c = find(fd);
  return c && c->linkLost();
}

uint64_t reconnections(int fd) {
  ConnPtr c = find(fd);
  return c ? c->reconnections() : 0;
}

std::vector<RefusedPut> takeRefusedPuts(int fd) {
  ConnPtr c = find(fd);
  if (!c) return {};
  std::lock_guard<std::mutex> lock(c->mutex());
  return c->takeRefused();
}

std::string tooLargeText(uint64_t nbytes, uint64_t limit, const std::string &where) {
  return "packet of " + std::to_string(nbytes) + " bytes is larger than the " +
         std::to_string(limit) + " bytes " + where +
         " takes per packet, source name and frame not counted";
}

void callerSaysRefusals(int fd) {
  ConnPtr c = find(fd);
  if (!c) return;
  std::lock_guard<std::mutex> lock(c->mutex());
  c->callerSaysRefusals();
}

uint32_t maxPacketBytes(int fd) {
  ConnPtr c = find(fd);
  if (!c) return 0;
  std::lock_guard<std::mutex> lock(c->mutex());
  return c->maxPacket();
}

uint64_t ringInstance(int fd) {
  ConnPtr c = find(fd);
  if (!c) return 0;
  std::lock_guard<std::mutex> lock(c->mutex());
  return c->ringInstance();
}

int reapWithInstance(int fd, double timeout, int *pktid, char *srcname, double *time, char **buf,
                     int *nbytes, int *bufsize, uint64_t *instance) {
  if (!pktid || !srcname || !time || !buf || !nbytes || !bufsize || !instance) return -1;
  return withConn(fd, -1, [&](TarnConnection &c) {
    int rc = c.reap(timeout, false, pktid, srcname, time, buf, nbytes, bufsize);
    *instance = c.ringInstance();
    return rc;
  });
}

std::vector<std::pair<std::string, uint64_t>> unacknowledgedPuts() {
  std::vector<std::pair<std::string, uint64_t>> out;
  for (const ConnPtr &c : snapshot()) {
    uint64_t acked = c->acknowledgedPuts();
    uint64_t accepted = c->acceptedPuts();
    if (accepted > acked) out.emplace_back(c->name(), accepted - acked);
  }
  return out;
}

bool stat(int fd, RingFigures &out) {
  return withConn(fd, 0, [&](TarnConnection &c) { return c.stat(out) ? 1 : 0; }) == 1;
}

bool clients(int fd, ClientList &out) {
  return withConn(fd, 0, [&](TarnConnection &c) { return c.clients(out) ? 1 : 0; }) == 1;
}

}  // namespace tarnclient

using namespace tarnclient;

extern "C" {

int tarnopen(const char *name, const char *mode) {
  if (!name || !validMode(mode)) {
    elog_log(0, "tarnopen: mode must be \"r&\" or \"w&\"");
    return -1;
  }
  TarnAddress addr;
  std::string err;
  if (!parseTarnName(name, addr, err)) {
    elog_log(0, "tarnopen: %s", err.c_str());
    return -1;
  }
  auto c = std::make_shared<TarnConnection>(name, addr);
  {
    std::lock_guard<std::mutex> lock(c->mutex());
    if (!c->open()) return -1;
  }
  registerAtExit();
  Registry &r = registry();
  std::lock_guard<std::shared_mutex> lock(r.mutex);
  if (r.nextFd == INT32_MAX) return -1;
  int fd = r.nextFd++;
  r.conns[fd] = std::move(c);
  return fd;
}

int tarnselect(int fd, const char *expression) {
  return withConn(fd, -1, [&](TarnConnection &c) {
    return c.setExpression(tarnwire::kSelect, expression ? expression : "");
  });
}

int tarnreject(int fd, const char *expression) {
  return withConn(fd, -1, [&](TarnConnection &c) {
    return c.setExpression(tarnwire::kReject, expression ? expression : "");
  });
}

int tarnposition(int fd, const char *where) {
  tarnwire::PositionKind kind;
  if (where && !std::strcmp(where, "newest"))
    kind = tarnwire::kNewest;
  else if (where && !std::strcmp(where, "oldest"))
    kind = tarnwire::kOldest;
  else {
    elog_log(0, "tarnposition: position must be \"newest\" or \"oldest\", not \"%s\"",
             where ? where : "(null)");
    return -1;
  }
  return withConn(fd, -1, [&](TarnConnection &c) { return c.position(kind, 0, 0.0); });
}

int tarnseek(int fd, int pktid_or_code) {
  if (pktid_or_code == TARN_NEWEST)
    return withConn(fd, -1,
                    [&](TarnConnection &c) { return c.position(tarnwire::kNewest, 0, 0.0); });
  if (pktid_or_code == TARN_OLDEST)
    return withConn(fd, -1,
                    [&](TarnConnection &c) { return c.position(tarnwire::kOldest, 0, 0.0); });
  if (pktid_or_code < 0) return -1;
  return withConn(
      fd, -1, [&](TarnConnection &c) { return c.position(tarnwire::kAtId, pktid_or_code, 0.0); });
}

int tarnafter(int fd, double time) {
  return withConn(fd, -1,
                  [&](TarnConnection &c) { return c.position(tarnwire::kAfterTime, 0, time); });
}

int tarntell(int fd) {
  return withConn(fd, -1, [&](TarnConnection &c) { return c.tell(); });
}

int tarnreap_timeout(int fd, double timeout, int *pktid, char *srcname, double *time, char **buf,
                     int *nbytes, int *bufsize) {
  if (!pktid || !srcname || !time || !buf || !nbytes || !bufsize) return -1;
  return withConn(fd, -1, [&](TarnConnection &c) {
    return c.reap(timeout, false, pktid, srcname, time, buf, nbytes, bufsize);
  });
}

int tarnreap(int fd, int *pktid, char *srcname, double *time, char **buf, int *nbytes,
             int *bufsize) {
  if (!pktid || !srcname || !time || !buf || !nbytes || !bufsize) return -1;
  return withConn(fd, -1, [&](TarnConnection &c) {
    return c.reap(0, true, pktid, srcname, time, buf, nbytes, bufsize);
  });
}

int tarnput(int fd, const char *srcname, double time, const char *bytes, int nbytes) {
  return withConn(
      fd, -1, [&](TarnConnection &c) { return c.put(srcname, time, bytes, nbytes, -1, nullptr); });
}

int tarnclose(int fd) {
  ConnPtr c;
  {
    Registry &r = registry();
    std::lock_guard<std::shared_mutex> lock(r.mutex);
    auto it = r.conns.find(fd);
    if (it == r.conns.end()) return -1;
    c = std::move(it->second);
    r.conns.erase(it);
  }
  std::lock_guard<std::mutex> lock(c->mutex());
  if (!c->drain(Clock::now() + kCloseWait)) {
    elog_log(0, "tarnclose: tarn '%s': puts left unacknowledged", c->name().c_str());
    return -1;
  }
  return 0;
}

}  // extern "C"
