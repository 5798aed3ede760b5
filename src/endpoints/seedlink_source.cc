#include "endpoints/seedlink_source.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <thread>

#include "base/relay_exception.h"
#include "base/relay_log.h"
#include "base/relay_times.h"
#include "base/stop.h"
#include "base/time_text.h"
#include "endpoints/seedlink_stations.h"
#include "platform/statefile/statefile.h"
#include "tarn/tarn_packet.h"

namespace {

// What the statefile calls the kind of a SeedLink reader's positions.
const char *const kPositionKind = "seedlink";
// How long a connection and each answer of the handshake are waited for (a
// selection of many stations takes a round trip per command).
constexpr double kAnswerSeconds = 5.0;
// The most packets one next() hands out.
constexpr size_t kBatchPackets = 256;
// A time before any record: asking from it gets the oldest a server holds.
constexpr double kOldestTime = 0.0;

double monotonicSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

EndpointNames seedLinkNames(const SeedLinkEndpoint &endpoint) {
  EndpointNames names;
  names.where = "SeedLink '" + endpoint.server + "'";
  names.named = names.where;
  names.awaited = "SeedLink server '" + endpoint.server + "'";
  names.lineName = names.where;
  names.server = endpoint.server;
  return names;
}

}  // namespace

SeedLinkSource::SeedLinkSource(SeedLinkEndpoint endpoint, std::string owner,
                               const ReaderSettings &settings, const RelayContext &context)
    : m_endpoint(std::move(endpoint)),
      m_owner(std::move(owner)),
      m_starttime(settings.starttime),
      m_quietRejects(settings.suppressUnstuffErrors),
      m_context(context),
      m_log(*context.log),
      m_names(seedLinkNames(m_endpoint)),
      m_filter(settings.match, settings.reject),
      m_positions(std::make_shared<SequencePositions>()) {}

std::vector<std::string> SeedLinkSource::describe() const {
  return {"\t\tread_from_seedlink\t" + m_endpoint.server,
          "\t\tseedlink_select\t\t" + m_endpoint.selection,
          "\t\tseedlink_protocol\t" + m_endpoint.protocolText};
}

uint64_t SeedLinkSource::after(uint64_t sequence) const {
  return m_version == 3 ? seedlink::v3Sequence(sequence + 1) : sequence + 1;
}

// Whether `a` comes before `b`; 3.1's numbers wrap at 2^24.
bool SeedLinkSource::before(uint64_t a, uint64_t b) const {
  if (m_version != 3) return a < b;
  uint64_t distance = seedlink::v3Sequence(b - a);
  return distance != 0 && distance < seedlink::kV3SequenceModulo / 2;
}

// The statefile's places, once: each station resumes after its last record
// done.
void SeedLinkSource::restorePositions() {
  if (m_restored) return;
  m_restored = true;
  const std::string path = m_context.positions ? m_context.positions->statefile() : "";
  if (path.empty()) return;
  int count = sequenceresurrect(kPositionKind, m_endpoint.server, m_endpoint.selection, m_owner,
                                m_positions);
  for (const auto &[station, point] : m_positions->points()) m_last[station] = point;
  m_saveFirstPlace = count == 0;
  m_log.verbose(count == 0 ? "No saved place for " + m_names.where + " in statefile '" + path + "'"
                           : "Resuming " + std::to_string(count) + " stations of " + m_names.where +
                                 " from statefile '" + path + "'");
}

// The place after every packet read so far, of any station: the server's
// numbers are its own, so a station none of whose packets came has none
// before it.
std::optional<uint64_t> SeedLinkSource::latestPlace() const {
  std::optional<uint64_t> latest;
  for (const auto &[id, last] : m_last) {
    uint64_t next = last.at ? last.sequence : after(last.sequence);
    if (!latest || before(*latest, next)) latest = next;
  }
  return latest;
}

// Where an entry of the selection starts. One with a record of its own
// (the last read, or done in an earlier run, or the first read and not
// done, saved `at` it) asks for that very record, which must come back
// first, unchanged (checkProbe): only then do the server's numbers still
// mean what they meant.
SeedLinkStart SeedLinkSource::resumeOf(size_t entry) {
  SeedLinkStart start;
  const SeedLinkStation &station = m_endpoint.stations[entry];
  if (m_fromOldest.count(entry)) {
    start.time = kOldestTime;
    return start;
  }
  // The station itself, or the earliest of those a wildcard covers; those
  // ahead of it leave out what they see again.
  const std::string *earliest = nullptr;
  for (const auto &[id, last] : m_last) {
    if (!seedLinkGlob(station.id(), id)) continue;
    if (!earliest || before(last.sequence, m_last.at(*earliest).sequence)) earliest = &id;
  }
  if (!earliest) {
    start.sequence = latestPlace();
    return start;
  }
  const SequencePositions::Point first = m_last.at(*earliest);
  for (const auto &[id, last] : m_last) {
    if (station.hasWildcard() && seedLinkGlob(station.id(), id))
      m_skipBelow[id] = last.at ? last.sequence : after(last.sequence);
  }
  m_probes[entry] = Probe{*earliest, first};
  start.sequence = first.sequence;
  return start;
}

std::string SeedLinkSource::connect() {
  auto link = std::make_unique<SeedLinkLink>(m_endpoint.server, m_endpoint.protocol,
                                             m_starttime == TIME_UNSET ? NAN : m_starttime);
  m_skipBelow.clear();
  m_probes.clear();
  m_confirmed.clear();
  m_version = 0;
  SeedLinkLink *opening = link.get();
  std::string why = link->open(
      m_endpoint.stations,
      [this, opening](const SeedLinkStation &s) {
        m_version = opening->version();
        return resumeOf(static_cast<size_t>(&s - m_endpoint.stations.data()));
      },
      std::max(kAnswerSeconds, m_context.internalTimeout));
  if (!why.empty()) return why;
  m_fromOldest.clear();
  m_version = link->version();
  sayUnlisted(*link);
  m_link = std::move(link);
  return "";
}

void SeedLinkSource::sayUnlisted(const SeedLinkLink &link) {
  if (!link.listed()) return;
  for (const SeedLinkStation &station : unlistedStations(m_endpoint.stations, link.listedStations())) {
    if (m_saidUnlisted.insert(station.id()).second)
      m_log.elog_complain(unlistedText(station, m_names.where));
  }
}

OpenResult SeedLinkSource::open(std::string &why) {
  restorePositions();
  why = connect();
  return why.empty() ? OpenResult::kOpened : OpenResult::kUnavailable;
}

bool SeedLinkSource::position() {
  m_log.verbose("Reading " + m_names.where + " (" + m_link->serverId() + ") with protocol " +
                (m_version == 3 ? "3.1" : "4.0") + ", stations '" + m_endpoint.selection + "'");
  return true;
}

LastPacket SeedLinkSource::findLast() {
  throw RelayException("A SeedLink server does not say which packet is its newest");
}

void SeedLinkSource::waitToReconnect(double timeout) {
  double until = std::min(m_retryAt, monotonicSeconds() + timeout);
  while (Stop.load() == 0) {
    double left = until - monotonicSeconds();
    if (left <= 0) break;
    std::this_thread::sleep_for(std::chrono::duration<double>(std::min(left, 0.1)));
  }
}

ReadResult SeedLinkSource::next(double timeout, PacketBatch &batch) {
  if (!m_link) {
    if (monotonicSeconds() < m_retryAt) {
      waitToReconnect(timeout);
      return ReadResult::kMore;
    }
    std::string why = connect();
    if (!why.empty()) {
      m_log.veryVerbose("Cannot reach " + m_names.where + " yet: " + why);
      m_retryAt = monotonicSeconds() + m_context.internalTimeout * m_factor;
      if (m_factor <= 7) m_factor *= 2;
      return ReadResult::kMore;
    }
    m_factor = 1;
    if (m_lost.exchange(false)) {
      m_reconnections.fetch_add(1);
      m_log.elog_complain("Reconnected to " + m_names.where);
    }
  }
  double wait = timeout;
  while (batch.size() < kBatchPackets) {
    std::string why;
    SeedLinkLink::Read read = m_link->read(wait, m_packet, why);
    if (read == SeedLinkLink::Read::kNothing) break;
    if (read == SeedLinkLink::Read::kLost) {
      m_link.reset();
      m_lost.store(true);
      m_log.elog_complain("Lost " + m_names.where + ": " + why + "; reconnecting");
      m_retryAt = monotonicSeconds() + m_context.internalTimeout;
      m_factor = 2;
      break;
    }
    take(m_packet, batch);
    wait = 0;
    if (!m_link) break;  // asking again (checkProbe)
  }
  return ReadResult::kMore;
}

void SeedLinkSource::take(const seedlink::Packet &packet, PacketBatch &batch) {
  if (packet.info) return;  // answers to INFO (the keep-alive's)
  if (packet.format != seedlink::kFormatMseed2 || packet.subformat != seedlink::kSubformatData) {
    if (!m_complainedFormat) {
      m_log.elog_complain(std::string("Not relaying packets of format '") + packet.format +
                          "', subformat '" + packet.subformat + "' from " + m_names.where +
                          ": only miniSEED 2 data records are (said once)");
    }
    m_complainedFormat = true;
    return;
  }
  const std::string &bytes = packet.payload;
  m_records.clear();
  std::string problem = mseed::headers(bytes.data(), bytes.size(), &m_records);
  if (!problem.empty() || m_records.empty()) {
    std::string station = packet.stationId.empty() ? "?" : packet.stationId;
    reject(station, "not_miniseed",
           "Rejecting packet " + std::to_string(packet.sequence) + " of station '" + station +
               "' of " + m_names.where + ": not a miniSEED record (" + problem + ")",
           m_quietRejects);
    return;
  }
  const mseed::Record &record = m_records.front();
  std::string station =
      packet.stationId.empty() ? record.network + "_" + record.station : packet.stationId;
  if (!checkProbe(station, packet.sequence, record.start)) return;
  auto skip = m_skipBelow.find(station);
  if (skip != m_skipBelow.end()) {
    if (before(packet.sequence, skip->second)) return;  // read before this connection
    m_skipBelow.erase(skip);
  }
  m_last[station] = {packet.sequence, record.start};
  ReadRecord *held = m_positions->read(station, {packet.sequence, record.start});
  std::string name = mseed::sourceName(record);
  if (!m_filter.passes(name)) {
    held->release();
    return;
  }
  batch.push_back(std::make_shared<TarnPacket>("seedlink:" + m_endpoint.server, packet.sequence,
                                               name, record.start, bytes.data(),
                                               static_cast<int>(bytes.size()), held));
}

// The first record of an entry that asked for a record of its own must be
// that record. Anything else means the server no longer holds it: its ring
// moved past it, or began anew (numbers that went back, or the same number
// on another record, show the latter, and then no entry's number can be
// trusted). Either way every record it holds for the entry is newer than
// what the reader had, so the entry is asked again from the oldest one the
// server holds; entries asked for in vain are asked again the same way.
// False when the record is not to be taken (the record asked for, which
// was read before, or one of a link being made again).
bool SeedLinkSource::checkProbe(const std::string &station, uint64_t sequence, double start) {
  std::optional<size_t> entry;
  for (size_t i = 0; i < m_endpoint.stations.size() && !entry; ++i) {
    if (seedLinkGlob(m_endpoint.stations[i].id(), station)) entry = i;
  }
  if (!entry) return true;
  auto probe = m_probes.find(*entry);
  if (probe == m_probes.end()) return true;
  const Probe expected = probe->second;
  m_probes.erase(probe);
  const bool same = m_version == 3 ? seedlink::v3Sequence(sequence) ==
                                         seedlink::v3Sequence(expected.point.sequence)
                                   : sequence == expected.point.sequence;
  if (same && station == expected.station && start == expected.point.time) {
    m_confirmed.insert(*entry);
    return expected.point.at;  // a place saved at a record not yet done: taken
  }
  const bool anew = !before(expected.point.sequence, sequence);
  m_fromOldest.insert(*entry);
  if (anew) {
    for (size_t i = 0; i < m_endpoint.stations.size(); ++i) {
      if (!m_confirmed.count(i)) m_fromOldest.insert(i);
    }
  }
  m_log.elog_complain(
      m_names.where + " no longer holds record " +
      std::to_string(expected.point.sequence) + " of '" + expected.station + "' (" +
      dateText(expected.point.time) + "), after which '" + m_endpoint.stations[*entry].id() +
      "' resumes: it sent " + std::to_string(sequence) + " of '" + station + "' (" + dateText(start) +
      ") first, so its ring " +
      (anew ? "began anew; asking again for every record it holds of the stations not yet "
              "resumed, from its oldest"
            : "moved past it, or began anew; asking again for every record it holds of '" +
                  m_endpoint.stations[*entry].id() + "', from its oldest") +
      " (records read before may come twice, none it holds is missed)");
  m_link.reset();
  m_retryAt = 0;  // at once
  return false;
}

// A crash before the next save would otherwise start a reader that had no
// saved place again at the newest packets, past what arrived in between.
void SeedLinkSource::handled() {
  if (!m_saveFirstPlace) return;
  m_saveFirstPlace = false;
  if (m_context.positions) m_context.positions->saveNow();
}
