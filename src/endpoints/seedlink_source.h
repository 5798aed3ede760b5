// SeedLinkSource: a reader's packets from a SeedLink server (protocol 3.1 or
// 4.0), one packet per miniSEED record, named and timed as `tarn import`
// names them (mseed::sourceName, the record's start time).
//
// The server selects by the reader's selection (seedlink_select); the
// reader's match and reject expressions are applied here, on the source
// names. INFO answers and packets that are not miniSEED 2 data are not
// relayed; a packet whose record header cannot be read is left out and
// said so (unless suppress_unstuff_errors). A record whose samples do not
// decode is passed on like any packet, for the reader's check_unstuff to
// judge.
//
// Positions: the sequence number and start time of the last record done,
// per station (SequencePositions), saved in the statefile under the server,
// the selection and the reader's name. A (re)connection asks each station
// of the selection for the last record read (one read in an earlier run:
// the last one done); a wildcard station asks for the earliest of those of
// the stations it covers, and records of a station up to its own place are
// dropped as repeats. That record must come back first, the same (number,
// station, start time), and is dropped (taken, when the place was saved at
// a station's first record, none of its records done yet); a server that
// sends anything else
// no longer holds it: its ring moved past it, or the server lost its ring
// and numbers anew, when the number may name another record or one still
// to come. Then every record it holds of that station is newer than what
// was read, and the station is asked again (a new connection) from the
// oldest record the server holds; when the numbers are seen to have gone
// back or to name another record, so are all stations not yet confirmed.
// That is said once, with what may come twice. A station none of whose
// records came yet resumes after the latest record of any station (the
// server numbers its packets, not its stations'), so that nothing it got
// while the link was down is missed; only a reader with no place at all
// starts at its start time, or with the records to come.
//
// A station of the selection that the server's INFO STATIONS does not list
// (when the server offers it) is named once, when a link is opened: a
// misspelt station, or one the server has no records of yet.
//
// A lost link (the server gone, garbage, silence) is mended here with the
// loop's back-off (the internal time-out, doubling to eight times it): one
// complaint when it is lost, one when it is back.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "base/relay_context.h"
#include "connection/endpoint.h"
#include "connection/relay_connection.h"
#include "connection/source_filter.h"
#include "endpoints/seedlink_link.h"
#include "platform/mseed/mseed_record.h"
#include "platform/statefile/sequence_positions.h"

struct SeedLinkEndpoint {
  std::string server;     // HOST:PORT as configured
  std::string selection;  // seedlink_select as written
  std::vector<SeedLinkStation> stations;
  SeedLinkProtocol protocol = SeedLinkProtocol::kAuto;
  std::string protocolText = "auto";
};

class SeedLinkSource : public PacketSource {
 public:
  // `owner` names the reader in the statefile (empty: no name of its own).
  SeedLinkSource(SeedLinkEndpoint endpoint, std::string owner, const ReaderSettings &settings,
                 const RelayContext &context);

  const EndpointNames &names() const override { return m_names; }
  std::vector<std::string> describe() const override;
  OpenResult open(std::string &why) override;
  bool linkLost() const override { return m_lost.load(); }
  uint64_t reconnections() const override { return m_reconnections.load(); }
  bool position() override;
  const char *idName() const override { return "sequence"; }
  LastPacket findLast() override;
  bool isLast(const TarnPacket &) const override { return false; }
  ReadResult next(double timeout, PacketBatch &batch) override;
  void handled() override;

 private:
  void restorePositions();
  std::string connect();
  void sayUnlisted(const SeedLinkLink &link);
  // Where entry `entry` of the selection starts.
  SeedLinkStart resumeOf(size_t entry);
  std::optional<uint64_t> latestPlace() const;
  void take(const seedlink::Packet &packet, PacketBatch &batch);
  // Whether a record goes on, checking it against the record its entry
  // asked for first; ends the link when it must be made again.
  bool checkProbe(const std::string &station, uint64_t sequence, double start);
  uint64_t after(uint64_t sequence) const;
  bool before(uint64_t a, uint64_t b) const;
  void waitToReconnect(double timeout);

  const SeedLinkEndpoint m_endpoint;
  const std::string m_owner;
  const double m_starttime;
  const bool m_quietRejects;  // suppress_unstuff_errors
  const RelayContext m_context;
  RelayLog &m_log;
  EndpointNames m_names;
  SourceFilter m_filter;
  std::shared_ptr<SequencePositions> m_positions;
  bool m_restored = false;
  bool m_saveFirstPlace = false;
  std::unique_ptr<SeedLinkLink> m_link;
  std::atomic<bool> m_lost{false};           // lost, not reconnected yet (any thread reads it)
  std::atomic<uint64_t> m_reconnections{0};  // lost links mended (any thread reads it)
  int m_version = 0;
  // Per station: the last record read (or done, from the statefile).
  std::map<std::string, SequencePositions::Point> m_last;
  std::map<std::string, uint64_t> m_skipBelow;  // per station: repeats of this connection
  // The record an entry of the selection asked for and must see first, by
  // the entry's place in the selection; the entries that saw it; those to
  // ask from the oldest record at the next connection.
  struct Probe {
    std::string station;
    SequencePositions::Point point;
  };
  std::map<size_t, Probe> m_probes;
  std::set<size_t> m_confirmed;
  std::set<size_t> m_fromOldest;
  double m_retryAt = 0;                         // monotonic seconds; for a lost link
  int m_factor = 1;
  bool m_complainedFormat = false;
  std::set<std::string> m_saidUnlisted;  // stations said to be missing from the server
  seedlink::Packet m_packet;
  std::vector<mseed::Record> m_records;
};
