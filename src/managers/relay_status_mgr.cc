#include "managers/relay_status_mgr.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <thread>

#include "base/relay_exception.h"
#include "base/relay_log.h"
#include "base/stop.h"
#include "base/termination_signals.h"
#include "connection/relay_connection.h"
#include "managers/manager_pause.h"
#include "platform/pf/pf.h"
#include "platform/pf/pf_text.h"
#include "platform/support/support.h"
#include "platform/time/epochtime.h"
#include "queue/relay_queue.h"
#include "tarn/tarn_packet.h"

namespace {

const char kProducer[] = "status_manager";

// The values a stopped connection reports in place of its own.
constexpr double kStoppedRuntime = -999999999.9;
constexpr double kNoLatency = 999999999.9;
// How many internal time-outs the final report waits for the connections
// to end at most, and never longer than so many seconds (well within the
// shutdown grace period, so that the report still goes out).
constexpr double kFinalReportWaitTimeouts = 3.0;
constexpr double kFinalReportWaitSeconds = 5.0;

// Formats one line into a 1024-byte buffer and pushes it onto the string
// stack. A longer line is cut to 1023 characters, the last of them its
// newline, so that the next line still starts a line of its own.
__attribute__((format(printf, 2, 3))) void pushLine(void **stack, const char *format, ...) {
  char line[1024];
  va_list args;
  va_start(args, format);
  int length = std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  if (length >= static_cast<int>(sizeof line)) line[sizeof line - 2] = '\n';
  pushstr(stack, line);
}

// A connection name as an array key: as it is where it reads back plainly,
// else in the quoted form, so that a name with blanks still compiles.
std::string nameAsKey(const std::string &name) {
  std::string key;
  pfimpl::appendText(key, name, pfimpl::Slot::Key);
  return key;
}

// "TOTAL N\nKEY &Arr{\nCAUSE N\n...}\n": counts by cause word and their sum.
void pushCounts(void **stack, const char *total, const char *key,
                const std::map<std::string, uint64_t> &byCause) {
  uint64_t sum = 0;
  for (const auto &[cause, n] : byCause) sum += n;
  pushLine(stack, "%s %llu\n", total, static_cast<unsigned long long>(sum));
  pushLine(stack, "%s &Arr{\n", key);
  for (const auto &[cause, n] : byCause)
    pushLine(stack, "%s %llu\n", cause.c_str(), static_cast<unsigned long long>(n));
  pushLine(stack, "}\n");
}

void pushFault(void **stack, const RelayConnection &c, double now) {
  EndpointFault fault = c.fault(now);
  if (!fault.why.empty()) {
    std::string value;
    pfimpl::appendText(value, fault.why, pfimpl::Slot::ArrayValue);
    pushLine(stack, "fault %s\n", value.c_str());
    pushLine(stack, "fault_since %.3f\n", fault.since);
  }
  long long room = c.freeBytes();
  if (room >= 0) pushLine(stack, "free_bytes %lld\n", room);
}

void pushConnection(void **stack, const RelayConnection &c, double runtime, long rss, bool stopped,
                    double now) {
  std::string name = c.getString("connection_name");
  if (name.empty()) return;
  pushLine(stack, "%s &Arr{\n", nameAsKey(name).c_str());
  pushLine(stack, "comt rint\n");
  pushLine(stack, "tarnn %s\n", c.getString("tarnname").c_str());
  pushLine(stack, "dir %s\n", c.getString("direction").c_str());
  pushLine(stack, "qn %s\n", c.getString("queue_name").c_str());
  if (stopped) {
    pushLine(stack, "con %s\n", "stopped");
    pushLine(stack, "rtm %.3f\n", kStoppedRuntime);
    pushLine(stack, "rss %ld\n", 0L);
    pushLine(stack, "nq %d\n", -1);
    pushLine(stack, "dlt %lf\n", kNoLatency);
  } else {
    pushLine(stack, "con %s\n", c.getString("connection_status").c_str());
    pushLine(stack, "rtm %.3f\n", runtime);
    pushLine(stack, "rss %ld\n", rss);
    pushLine(stack, "nq %d\n", c.getInt("queue_count"));
    double last = c.getDouble("last_packet_time");
    pushLine(stack, "dlt %lf\n", last == 0.0 ? kNoLatency : now - last);
  }
  pushLine(stack, "rtm %.3f\n", runtime);
  pushLine(stack, "rss %ld\n", rss);
  pushLine(stack, "nq %d\n", c.getInt("queue_count"));
  // After the lines above, which stay as they were: whether the link to the
  // server is up, lost (and being mended; "con" then says sleeping) or none.
  pushLine(stack, "link %s\n", stopped ? "none" : c.getString("link").c_str());
  // Then what the connection has done since the relay started, also in the
  // final report: packets and bytes relayed, reconnections, packets dropped
  // in all and by cause.
  RelayConnection::Counts counts = c.counts();
  pushLine(stack, "npkts %llu\n", static_cast<unsigned long long>(counts.packets));
  pushLine(stack, "nbytes %llu\n", static_cast<unsigned long long>(counts.bytes));
  pushLine(stack, "nreconnect %llu\n", static_cast<unsigned long long>(counts.reconnections));
  pushCounts(stack, "ndrops", "drops", counts.drops);
  pushCounts(stack, "nrejects", "rejects", counts.rejects);
  // Then what keeps it from moving packets, and since when, while something
  // does; and the room its destination has, where that means something.
  if (!stopped) pushFault(stack, c, now);
  pushLine(stack, "}\n");
}

}  // namespace

RelayStatusMgr::RelayStatusMgr(const RelayContext &context,
                               std::vector<std::shared_ptr<RelayConnection>> connections,
                               std::shared_ptr<RelayQueue> queue, double startTime, double interval)
    : m_context(context),
      m_connections(std::move(connections)),
      m_queue(std::move(queue)),
      m_startTime(startTime),
      m_interval(interval) {}

std::string RelayStatusMgr::statusText(double runtime, long rss) {
  void *stack = nullptr;
  bool stopped = Stop.load() != 0;
  double now = std_now();
  pushLine(&stack, "target %s\n", m_context.targetName.c_str());
  pushLine(&stack, "type dl\n");
  pushLine(&stack, "model tarn\n");
  pushLine(&stack, "rtm %.3f\n", runtime);
  pushLine(&stack, "dls &Arr{\n");
  for (const std::shared_ptr<RelayConnection> &c : m_connections) {
    pushConnection(&stack, *c, runtime, rss, stopped, now);
  }
  pushLine(&stack, "}\n");
  // The report a relay sends as it stops says so: a relay whose reports end
  // without it did not stop in order.
  if (stopped) pushLine(&stack, "final 1\n");
  char *joined = popstr(&stack, 1);
  if (!joined) throw RelayException("RelayStatusMgr::pfstatus: out of memory");
  std::string text = joined;
  std::free(joined);
  return text;
}

std::shared_ptr<TarnPacket> RelayStatusMgr::pfstatus() {
  double runtime = std_now() - m_startTime;
  Pidinfo info{};
  pidinfo(getpid(), &info);
  std::string text = statusText(runtime, info.rss);
  Pf *pf = pfnew(PFARR);
  if (pfcompile(text.c_str(), &pf) != 0) {
    pffree(pf);
    throw RelayException("RelayStatusMgr::pfstatus: pfcompile failed");
  }
  std::shared_ptr<TarnPacket> packet;
  try {
    packet = std::make_shared<TarnPacket>(m_context.targetName, pf);
  } catch (...) {
    pffree(pf);
    throw;
  }
  pffree(pf);
  return packet;
}

// The final report's counts are the connections' last ones: it waits, a few
// internal time-outs at most, for every connection to end but the writers
// of the status queue, which wait for this report.
void RelayStatusMgr::awaitOthersEnding() const {
  auto othersRunning = [&] {
    for (const std::shared_ptr<RelayConnection> &c : m_connections) {
      bool writesReports = !c->isReader() && c->queueName() == m_queue->name();
      if (!writesReports && c->state() != ConnectionState::kStopped) return true;
    }
    return false;
  };
  auto until = std::chrono::steady_clock::now() +
               std::chrono::duration<double>(std::min(
                   kFinalReportWaitSeconds, kFinalReportWaitTimeouts * m_context.internalTimeout));
  while (othersRunning() && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

void RelayStatusMgr::run() {
  blockTerminationSignals();
  RelayLog &log = *m_context.log;
  log.nameThread(kProducer);
  log.verbose("Thread starting");
  if (const std::shared_ptr<RelayQueue> &queue = m_queue) {
    queue->setProducer(kProducer);
    // A report that fails is tried again at once; one that fails again waits
    // for the next interval, so that a lasting failure neither spins nor
    // floods the log.
    bool failedLast = false;
    while (Stop.load() == 0) {
      try {
        std::shared_ptr<TarnPacket> packet = pfstatus();
        queue->push(packet);
        failedLast = false;
      } catch (const RelayException &e) {
        log.elog_complain(e.what());
        if (!failedLast) {
          failedLast = true;
          continue;
        }
      }
      pauseUntilStop(m_interval, Stop);
    }
    awaitOthersEnding();
    try {
      std::shared_ptr<TarnPacket> packet = pfstatus();
      queue->push(packet);
    } catch (const RelayException &e) {
      log.elog_complain(e.what());
    }
    queue->push_eof(kProducer);
  }
  log.verbose("Thread finished");
}
