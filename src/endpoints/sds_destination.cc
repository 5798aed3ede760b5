#include "endpoints/sds_destination.h"

#include <sys/statvfs.h>

#include <algorithm>
#include <cstdio>
#include <thread>

#include "base/relay_log.h"
#include "platform/mseed/mseed_record.h"
#include "platform/time/epochtime.h"
#include "tarn/tarn_packet.h"

namespace {

constexpr int kMaxBackoff = 8;
// Syncs that find files gone again, in a row, before the writer backs off.
constexpr int kLostRounds = 3;

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

SdsDestination::SdsDestination(std::string root, const std::string &connection,
                               const RelayContext &context)
    : m_connection(connection),
      m_internalTimeout(context.internalTimeout),
      m_log(*context.log),
      m_archive(std::move(root)) {
  std::string described = "SDS archive '" + m_archive.root() + "'";
  m_names.where = described;
  m_names.named = described;
  m_names.awaited = described;
  m_names.lineName = "SDS '" + m_archive.root() + "'";
  m_names.server = m_archive.root();
  m_names.handedTo = "written to " + described;
  m_names.readAgain = ": they will be read again when the relay restarts on its statefile";
}

std::vector<std::string> SdsDestination::describe() const {
  return {"\t\twrite_to_sds\t\t" + m_archive.root()};
}

OpenResult SdsDestination::open(std::string &why) {
  why = m_archive.prepare();
  return why.empty() ? OpenResult::kOpened : OpenResult::kUnavailable;
}

PutResult SdsDestination::put(const std::shared_ptr<TarnPacket> &packet, double roomWait) {
  if (!m_failure.empty() && Clock::now() < m_retryAt) {
    auto wait = std::min(m_retryAt - Clock::now(), std::chrono::duration_cast<Clock::duration>(
                                                       std::chrono::duration<double>(roomWait)));
    std::this_thread::sleep_for(wait);
    if (Clock::now() < m_retryAt) return PutResult::kNoRoom;
  }
  if (!mseed::isMseedSourceName(packet->srcname())) {
    return leaveOut(packet, "not miniSEED, which " + m_names.where + " takes only", "");
  }
  // Records of a lost file go back in before anything newer.
  std::string why = m_lostFiles.empty() ? "" : rewriteLost();
  if (!why.empty()) return failed(why);
  why = writeRecords(packet);
  if (why == "leave out") return PutResult::kDropped;
  if (!why.empty()) return failed(why);
  if (!m_failure.empty()) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", secondsSince(m_failedAt));
    m_log.elog_complain("RelayConnection '" + m_connection + "': " + m_names.where +
                        " takes records again after " + text + " s");
    m_failure.clear();
    m_backoff = 1;
    setFault("");
  }
  if (m_written.empty()) m_firstWritten = Clock::now();
  m_written.push_back(packet);
  if (m_writtenRecords >= kSyncRecords || secondsSince(m_firstWritten) >= kSyncSeconds) syncNow();
  return PutResult::kTaken;
}

std::string SdsDestination::writeRecords(const std::shared_ptr<TarnPacket> &packet) {
  std::vector<mseed::Record> headers;
  size_t n = static_cast<size_t>(packet->byteCount());
  std::string problem = mseed::headers(packet->bytes(), n, &headers);
  for (const mseed::Record &h : headers) {
    if (problem.empty() && SdsArchive::dayFile(h).empty()) {
      problem = "the codes of stream " + h.network + "." + h.station + "." + h.location + "." +
                h.channel + " make no file name";
    }
  }
  if (!problem.empty()) {
    leaveOut(packet, "with records that do not parse, for " + m_names.where, problem);
    return "leave out";
  }
  size_t offset = 0;
  for (size_t i = 0; i < headers.size(); ++i) {
    size_t length = static_cast<size_t>(headers[i].length);
    if (i >= m_nextRecord) {
      SdsArchive::Appended result;
      problem = m_archive.append(headers[i], packet->bytes() + offset, length, result);
      if (!problem.empty()) {
        m_nextRecord = i;  // the records before it are written
        return problem;
      }
      if (result == SdsArchive::Appended::kAlreadyThere) ++m_repeats;
      ++m_writtenRecords;
    }
    offset += length;
  }
  m_nextRecord = 0;
  return "";
}

PutResult SdsDestination::leaveOut(const std::shared_ptr<TarnPacket> &packet,
                                   const std::string &cause, const std::string &detail) {
  drop(*packet, cause, detail);
  packet->done();
  return PutResult::kDropped;
}

PutResult SdsDestination::failed(const std::string &why) {
  setFault(why);
  if (m_failure.empty()) {
    m_failedAt = Clock::now();
    m_log.elog_complain("RelayConnection '" + m_connection + "': cannot write to " + m_names.where +
                        ": " + why + "; trying again");
  }
  m_failure = why;
  m_retryAt = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                 std::chrono::duration<double>(m_backoff * m_internalTimeout));
  m_backoff = std::min(kMaxBackoff, m_backoff * 2);
  return PutResult::kNoRoom;
}

bool SdsDestination::syncNow() {
  if (m_written.empty() && m_lostFiles.empty()) return true;
  for (int round = 0;; ++round) {
    std::string problem = m_lostFiles.empty() ? "" : rewriteLost();
    if (problem.empty()) problem = m_archive.sync();
    SdsArchive::Lost lost = m_archive.takeLost();
    if (!lost.files.empty()) {
      noteLost(lost);
      if (round + 1 < kLostRounds) continue;
      problem = "its day files keep being removed while they are written";
    }
    if (problem.empty()) break;
    failed(problem);
    return false;
  }
  for (const std::shared_ptr<TarnPacket> &packet : m_written) {
    delivered(*packet);
    packet->done();
  }
  m_synced += m_writtenRecords;
  m_written.clear();
  m_writtenRecords = 0;
  return true;
}

void SdsDestination::setFault(const std::string &why) {
  std::lock_guard<std::mutex> lock(m_faultMutex);
  if (why.empty() || m_fault.why.empty()) m_fault.since = why.empty() ? 0.0 : std_now();
  m_fault.why = why.empty() ? "" : "cannot write: " + why;
}

EndpointFault SdsDestination::fault() const {
  std::lock_guard<std::mutex> lock(m_faultMutex);
  return m_fault;
}

long long SdsDestination::freeBytes() const {
  struct statvfs fs;
  if (statvfs(m_archive.root().c_str(), &fs) != 0) return -1;
  return static_cast<long long>(fs.f_bavail) * static_cast<long long>(fs.f_frsize);
}

void SdsDestination::noteLost(const SdsArchive::Lost &lost) {
  m_log.elog_complain(
      "RelayConnection '" + m_connection + "': " + std::to_string(lost.files.size()) +
      " day file" + (lost.files.size() == 1 ? " of " : "s of ") + m_names.where + " (first '" +
      lost.files.front() + "') " + (lost.files.size() == 1 ? "was" : "were") +
      " removed or replaced while records went to " + (lost.files.size() == 1 ? "it" : "them") +
      (lost.otherDevice ? ", and the archive folder is on another disk now (was its disk "
                          "unmounted?)"
                        : "") +
      ": writing the records not yet on disk again, into new files; what those files held "
      "before is gone");
  m_lostFiles.insert(lost.files.begin(), lost.files.end());
  m_rewritePacket = 0;
  m_rewriteRecord = 0;
  m_nextRecord = 0;  // a packet written part-way goes again whole
}

std::string SdsDestination::rewriteLost() {
  std::vector<mseed::Record> headers;
  for (; m_rewritePacket < m_written.size(); ++m_rewritePacket, m_rewriteRecord = 0) {
    const TarnPacket &packet = *m_written[m_rewritePacket];
    headers.clear();
    mseed::headers(packet.bytes(), static_cast<size_t>(packet.byteCount()), &headers);
    size_t offset = 0;
    for (size_t i = 0; i < headers.size(); ++i) {
      size_t length = static_cast<size_t>(headers[i].length);
      if (i >= m_rewriteRecord && m_lostFiles.count(SdsArchive::dayFile(headers[i]))) {
        SdsArchive::Appended result;
        std::string problem =
            m_archive.append(headers[i], packet.bytes() + offset, length, result);
        if (!problem.empty()) {
          m_rewriteRecord = i;
          return problem;
        }
      }
      offset += length;
    }
  }
  m_lostFiles.clear();
  m_rewritePacket = 0;
  return "";
}

std::string SdsDestination::waitingForRoom() {
  return "Waiting for " + m_names.where +
         " to take more packets: " + std::to_string(m_writtenRecords) +
         " records written and not yet on disk" + (m_failure.empty() ? "" : "; " + m_failure);
}

void SdsDestination::service() {
  if (!m_written.empty() && secondsSince(m_firstWritten) >= kSyncSeconds) syncNow();
}

LeftBehind SdsDestination::finish(bool) {
  syncNow();
  if (m_repeats > 0) {
    m_log.verbose(std::to_string(m_repeats) + " records were in " + m_names.where +
                  " already, and were not written again");
  }
  LeftBehind left;
  left.unacknowledged = m_written.size();
  for (const auto &packet : m_written) left.relayed += packet->readRecord() != nullptr;
  return left;
}
