// RelayConnection: one configured relay path, either a reader (from a
// PacketSource onto a named queue) or a writer (from a named queue onto a
// PacketDestination). The source or destination is an adapter of its kind
// of server (endpoint.h); the loops here are the same for every kind.
//
// The configuration creates each connection on the main thread with its
// settings, its queue and its adapter, and prints its description. From then
// on only the connection's own thread changes it: its state, its queue count
// and the time of its last packet, which the status manager reads at any
// time through the keyed getters (what status packets show).
//
// Thread-safety: the state, the queue count, the last packet time and the
// packet and byte counts are atomics, the drops by cause are behind the
// counters' own leaf lock (connection_counters.h); everything else is set at
// construction and only read afterwards.
//
// Failures: a keyed getter asked for a key it does not know ends the process.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "base/relay_context.h"
#include "base/relay_times.h"
#include "connection/connection_counters.h"
#include "connection/dropped_packets.h"
#include "connection/endpoint.h"
#include "connection/reader_filter.h"
#include "connection/rejected_packets.h"

class RelayQueue;

enum class Direction { kRead, kWrite };

// A connection's life: "stopped" (made, or its thread has ended), "reg" (its
// thread has started), "sleeping" (its server could not be reached; it
// waits before it tries again), "yes" (it relays). A connection that relays
// while its adapter mends a lost link is shown as "sleeping" too: its
// server cannot be reached, and it is tried again after a back-off.
enum class ConnectionState { kStopped, kReg, kSleeping, kYes };
const char *stateText(ConnectionState state);

// A reader's settings. Times and limits are TIME_UNSET when not given; the
// end time may be TIME_LAST ("last": stop after the newest packet present
// when reading began).
struct ReaderSettings {
  std::string match;
  std::string reject;
  double starttime = TIME_UNSET;
  double endtime = TIME_UNSET;
  double tooOld = TIME_UNSET;
  double tooNew = TIME_UNSET;
  bool checkUnstuff = false;
  bool suppressUnstuffErrors = false;
  // The reader's end is the end of the whole relay (the legacy syntax).
  bool endStopsRelay = false;
};

struct WriterSettings {
  static constexpr long kDefaultMaxQueueBytes = 8L << 20;
  std::string match;  // described, not applied: a writer passes on what it pops
  std::string reject;
  int maxQueue = 0;  // packets waiting for the writer at most; 0: no limit
  long maxQueueBytes = kDefaultMaxQueueBytes;  // bytes waiting at most; 0: no bound
};

class RelayConnection {
 public:
  RelayConnection(std::string name, std::shared_ptr<RelayQueue> queue, ReaderSettings settings,
                  std::unique_ptr<PacketSource> source, const RelayContext &context);
  RelayConnection(std::string name, std::shared_ptr<RelayQueue> queue, WriterSettings settings,
                  std::unique_ptr<PacketDestination> destination, const RelayContext &context);
  ~RelayConnection();
  RelayConnection(const RelayConnection &) = delete;
  RelayConnection &operator=(const RelayConnection &) = delete;

  const std::string &connectionName() const { return m_name; }
  Direction direction() const { return m_direction; }
  bool isReader() const { return m_direction == Direction::kRead; }
  ConnectionState state() const { return m_state.load(); }
  const std::string &queueName() const;
  const ReaderSettings &readerSettings() const { return m_reader; }
  const WriterSettings &writerSettings() const { return m_writer; }

  // What status packets show, by key: "connection_name", "connection_status",
  // "direction", "queue_name", "tarnname" (the server, as the adapter names
  // it), "link" ("up" while it relays, "lost" while its adapter mends a lost
  // link, "none" before the first link and once the thread ended) (string);
  // "queue_count" (int: 0 before the thread has begun, then the packets
  // waiting for this writer, -1 for a reader); "last_packet_time" (double:
  // 0.0 before the first packet).
  std::string getString(const std::string &key) const;
  int getInt(const std::string &key) const;
  double getDouble(const std::string &key) const;

  // What the connection has done since the relay started: packets and bytes
  // relayed, drops and rejects by cause word, reconnections of its adapter.
  // Any thread.
  struct Counts {
    uint64_t packets = 0;
    uint64_t bytes = 0;
    uint64_t reconnections = 0;
    std::map<std::string, uint64_t> drops;
    std::map<std::string, uint64_t> rejects;  // a reader's refused packets by cause word
  };
  Counts counts() const;
  // What keeps the connection from moving packets at `now`: its adapter's
  // fault, else its server refusing its packets (ConnectionCounters); an
  // empty why when nothing does. Any thread.
  EndpointFault fault(double now) const;
  // Bytes free where its destination stores packets; -1 where that means
  // nothing. Any thread.
  long long freeBytes() const;

  // The connection's settings, one verbose line each.
  void verboseDescribe() const;

  // The connection's thread body: the reader or the writer loop, until the
  // stop flag, the end of data or the reader's end condition.
  void run();

 private:
  friend class RelayConnectionInspector;  // tests set what only the thread sets

  [[noreturn]] void dieUnknownKey(const std::string &key, const std::string &where) const;
  void setState(ConnectionState state) { m_state.store(state); }
  bool linkLost() const;
  const EndpointNames &endpointNames() const;
  bool openEndpoint(Endpoint &endpoint, bool evenIfStopping);

  // ---- The reader (reader_loop.cc) ----
  void runReader();
  bool prepareReader();
  void readPackets();
  bool handlePacket(std::shared_ptr<TarnPacket> &packet, const ReaderLimits &limits);
  bool actOnVerdict(std::shared_ptr<TarnPacket> &packet, ReaderVerdict verdict, double pkttime);
  void endReading();

  // ---- The writer (writer_loop.cc) ----
  void runWriter();
  bool writePacket(std::shared_ptr<TarnPacket> &packet);
  PutResult waitForRoom(std::shared_ptr<TarnPacket> &packet, PutResult result);
  void finishWriting(bool abandoned);

  // ---- Set at construction ----
  const std::string m_name;
  const Direction m_direction;
  const std::shared_ptr<RelayQueue> m_queue;
  const RelayContext m_context;
  RelayLog &m_log;
  const ReaderSettings m_reader;
  const WriterSettings m_writer;
  const std::unique_ptr<PacketSource> m_source;            // a reader's
  const std::unique_ptr<PacketDestination> m_destination;  // a writer's
  ConnectionCounters m_counters;                           // read by the status manager too
  DroppedPackets m_drops;                                  // what the writer's destination dropped
  RejectedPackets m_rejects;                               // what the reader refused

  // ---- The thread's own ----
  LastPacket m_last;              // end time "last": the newest packet when reading began
  bool m_windowFullSaid = false;  // the writer said that it waits for room

  // ---- Written by the connection's thread, read by the status manager ----
  std::atomic<ConnectionState> m_state{ConnectionState::kStopped};
  std::atomic<bool> m_begun{false};
  std::atomic<double> m_lastPacketTime{0.0};
};
