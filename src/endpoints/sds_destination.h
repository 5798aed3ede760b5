// SdsDestination: a writer's packets into a miniSEED archive in the SDS
// layout (SdsArchive), a record to the day file of its start.
//
// A packet is done (its read record released, so that its reader's saved
// place may pass it) only once its records are on disk: records are synced
// in batches, at the latest kSyncRecords records or kSyncSeconds after the
// first of a batch was written, and when the writer ends. A record already
// in its day file (written before a crash, read again after the restart) is
// not written twice.
//
// A packet that is not miniSEED (another kind of source name, or records
// whose headers do not parse, or whose codes make no file name) is not
// written: it is done at once and told to the DropReport, so that its
// writer names it and counts it.
// An archive that cannot be written (disk full, no permission) is waited
// for: the packet is tried again after a back-off (1, 2, 4, 8, 8, ...
// internal time-outs), the failure and the recovery are each said once, and
// nothing is skipped. While it waits, fault() says why and since when, and
// freeBytes() says how much room the archive's filesystem has (both from any
// thread).
//
// A day file removed or replaced while its records were on their way to
// disk (its folder deleted, the archive's disk unmounted: SdsArchive finds
// it when it syncs) costs no record that is not yet done: it is said once,
// and every record of the packets not yet done that went to such a file is
// written again, into the file made anew at the archive path, before those
// packets are done or anything newer is written.
#pragma once

#include <chrono>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "base/relay_context.h"
#include "connection/endpoint.h"
#include "endpoints/sds_archive.h"

class RelayLog;

class SdsDestination : public PacketDestination {
 public:
  static constexpr size_t kSyncRecords = 4096;
  static constexpr double kSyncSeconds = 0.25;

  SdsDestination(std::string root, const std::string &connection, const RelayContext &context);

  const EndpointNames &names() const override { return m_names; }
  std::vector<std::string> describe() const override;
  OpenResult open(std::string &why) override;
  PutResult put(const std::shared_ptr<TarnPacket> &packet, double roomWait) override;
  uint64_t acknowledgedSoFar() override { return m_synced; }
  std::string waitingForRoom() override;
  void service() override;
  LeftBehind finish(bool abandoned) override;
  EndpointFault fault() const override;
  long long freeBytes() const override;

 private:
  using Clock = std::chrono::steady_clock;
  PutResult leaveOut(const std::shared_ptr<TarnPacket> &packet, const std::string &cause,
                     const std::string &detail);
  // Writes the records of the packet from m_nextRecord on; "" or why not.
  std::string writeRecords(const std::shared_ptr<TarnPacket> &packet);
  PutResult failed(const std::string &why);
  void setFault(const std::string &why);
  // Syncs what was written; on success the packets are done.
  bool syncNow();
  // Says which day files were found gone and starts writing their records
  // of m_written again.
  void noteLost(const SdsArchive::Lost &lost);
  // Writes the records of m_written that went to a lost file again, from
  // where the last attempt stopped; "" or why not.
  std::string rewriteLost();

  const std::string m_connection;
  const double m_internalTimeout;
  RelayLog &m_log;
  EndpointNames m_names;
  SdsArchive m_archive;

  std::deque<std::shared_ptr<TarnPacket>> m_written;  // on their way to disk, in order
  size_t m_writtenRecords = 0;
  Clock::time_point m_firstWritten;
  size_t m_nextRecord = 0;  // of the packet being written, after a failure part-way
  uint64_t m_synced = 0;    // records on disk so far
  uint64_t m_repeats = 0;   // records found already written

  // Day files found gone whose records of m_written are being written again,
  // and how far that has come (packet of m_written, record in it).
  std::set<std::string> m_lostFiles;
  size_t m_rewritePacket = 0;
  size_t m_rewriteRecord = 0;

  // The failure being waited out.
  std::string m_failure;
  Clock::time_point m_failedAt;
  Clock::time_point m_retryAt;
  int m_backoff = 1;

  // The failure as others see it (fault()), guarded by m_faultMutex, a leaf.
  mutable std::mutex m_faultMutex;
  EndpointFault m_fault;
};
