// RelayConnection: one configured relay path, either a reader (tarn server
// through one tag, onto a named queue) or a writer (from a named queue,
// through one tag, onto a tarn server). A JetStream connection reads or
// writes a NATS JetStream stream instead of a tarn server, and has no tag
// (relay_connection_jetstream.cc).
//
// The configuration creates each connection on the main thread, sets its
// options through the typed setters and prints its description. From then on
// only the connection's own thread changes it: its status text, its queue
// pointer (once, when the thread starts), its queue count and the time of its
// last packet. The status manager reads those at any time through the
// getters.
//
// Thread-safety: the status text and the queue pointer are guarded by
// stateMutex (neither a string nor a shared pointer can be replaced and read
// at the same moment); the queue count and the last packet time are atomics.
// Everything else is written during configuration only and then read without
// a lock. Nothing is called while stateMutex is held.
//
// Failures: a bad direction or a tag name that names no registered tag ends
// the process; an unknown key ends it in every setter and getter except the
// string setter, which complains and goes on.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "base/relay_times.h"
#include "connection/reader_filter.h"

class JetStreamFetcher;
class JetStreamPublisher;
class RelayQueue;
class SourceFilter;
class TarnPacket;
class TarnTag;
class WriterAcks;
struct JetStreamDelivery;
struct JetStreamEndpoint;

class RelayConnection {
 public:
  // Direction codes, as the "direction" field holds them.
  static constexpr int kRead = 0;
  static constexpr int kWrite = 1;

  // Takes the connection's name, "read" or "write", the tag name (empty: a
  // tag is created for the tarn name), the tarn name and the queue name.
  RelayConnection(std::string name, std::string direction, std::string tagname,
                  std::string tarnname, std::string queuename);
  // A JetStream connection: reads or writes `endpoint`'s stream.
  RelayConnection(std::string name, std::string direction,
                  std::shared_ptr<const JetStreamEndpoint> endpoint, std::string queuename);
  RelayConnection(const RelayConnection &) = delete;
  RelayConnection &operator=(const RelayConnection &) = delete;

  // "match", "reject", "connection_name", "connection_status".
  void set(std::string key, std::string value);
  // Keeps a text literal away from the boolean setter.
  void set(std::string key, const char *value) { set(std::move(key), std::string(value)); }
  // "maxqueue".
  void set(std::string key, int value);
  // The bytes a writer's queue may hold for it (0: no bound).
  static constexpr long kDefaultMaxQueueBytes = 8L << 20;
  void setMaxQueueBytes(long bytes) { maxqueuebytes = bytes; }
  long maxQueueBytes() const { return maxqueuebytes; }
  // "check_unstuff", "suppress_unstuff_errors".
  void set(std::string key, bool value);
  // "starttime", "endtime", "too_old", "too_new"; TIME_UNSET and TIME_LAST
  // are stored as they are.
  void set(std::string key, double value);

  // "maxqueue"; "queue_count" (0 before the thread has its queue, then the
  // packets waiting for this connection, -1 for a reader).
  int getInt(std::string key);
  // "check_unstuff".
  bool getBool(std::string key);
  // "last_packet_time" (0.0 before the first packet).
  double getDouble(std::string key);
  // "match", "reject", "tarntag", "tarnname" (the tag's server), "queue_name",
  // "connection_status", "connection_name", "direction".
  std::string getString(std::string key);

  std::string connectionName() const { return name; }
  // The name under which the statefile keeps a reader's position: its
  // explicit tag, else its connection name, else empty (a generated name,
  // which changes when entries move). Set during configuration.
  void setPositionOwner(std::string owner) { positionOwner = std::move(owner); }
  bool isReader() const { return direction == kRead; }

  // The connection's settings, one verbose line each.
  void verboseDescribe();

  // The connection's thread body: the reader or the writer loop, until the
  // stop flag, the end of data or the reader's end condition.
  void run();

  // ---- Used by the connection's own thread ----
  // The queue the thread has fetched; set once when it starts.
  void setQueue(std::shared_ptr<RelayQueue> queue);
  std::shared_ptr<RelayQueue> getQueue();
  // The packet time of the packet just read (reader) or written (writer).
  void setLastPacketTime(double time) { lastPacketTime.store(time); }

  // The settings a reader's loop applies; read-only once configured.
  double startTime() const { return starttime; }
  double endTime() const { return endtime; }
  double tooOld() const { return tooOldLimit; }
  double tooNew() const { return tooNewLimit; }
  bool suppressUnstuffErrors() const { return suppressUnstuffErrorsFlag; }
  std::shared_ptr<TarnTag> getTag() const { return tag; }
  // The stream of a JetStream connection; null for a tarn connection.
  std::shared_ptr<const JetStreamEndpoint> jetStream() const { return jetstream; }

 private:
  // ---- The thread body's steps (relay_connection_run.cc) ----
  void setStatus(std::string text) { set("connection_status", std::move(text)); }
  // Opens the tag, retrying with back-off until it opens or the stop flag is
  // set (with `evenIfStopping`, one attempt is made whatever the flag);
  // whether it is open.
  bool openTag(const std::string &mode, bool evenIfStopping);
  void runReader();
  // Selection, positioning and the end condition; false when the reader is
  // to end at once.
  bool prepareReader();
  void readPackets(RelayQueue &queue);
  // Passes on, rejects or stops at one packet; false at the end condition.
  bool handlePacket(RelayQueue &queue, std::shared_ptr<TarnPacket> &packet,
                    const ReaderLimits &limits);
  // Does what the verdict on a packet says; false at the end condition.
  bool actOnVerdict(RelayQueue &queue, std::shared_ptr<TarnPacket> &packet, ReaderVerdict verdict,
                    double pkttime);
  // The reader's end condition was reached.
  void endReading();
  void runWriter();
  // Puts one packet; false when the writer is to give up its queue.
  bool writePacket(std::shared_ptr<TarnPacket> &packet, WriterAcks &acks);
  void sayWindowFull(WriterAcks &acks);
  void finishWriting(WriterAcks &acks, RelayQueue &q, bool abandoned);

  // ---- A JetStream connection's thread (relay_connection_jetstream.cc) ----
  // Tries `attempt` (which answers "" once open) with back-off, as openTag.
  bool openJetStream(const std::function<std::string()> &attempt, bool evenIfStopping);
  void runJetStreamReader();
  bool prepareJetStreamReader(JetStreamFetcher &fetcher);
  void readJetStream(RelayQueue &queue, JetStreamFetcher &fetcher);
  // Passes on, leaves out or stops at one message; false at the end condition.
  bool handleDelivery(RelayQueue &queue, const JetStreamDelivery &delivery, SourceFilter &filter,
                      const ReaderLimits &limits);
  void finishJetStreamReading(JetStreamFetcher &fetcher);
  void runJetStreamWriter();
  bool publishPacket(std::shared_ptr<TarnPacket> &packet, JetStreamPublisher &publisher);
  void finishPublishing(JetStreamPublisher &publisher, RelayQueue &q, bool abandoned);
  void describeJetStream();

  [[noreturn]] void dieUnknownKey(const std::string &key, const std::string &where);
  void describeReader();
  void describeWriter();

  // ---- Set by the constructor and the setters during configuration ----
  std::string name;
  std::string tagname;
  const std::string tarnname;  // as configured, possibly empty
  const std::string queuename;
  std::string match;
  std::string reject;
  int maxqueue = 0;
  long maxqueuebytes = kDefaultMaxQueueBytes;
  double starttime = TIME_UNSET;
  double endtime = TIME_UNSET;  // or TIME_LAST
  double tooOldLimit = TIME_UNSET;
  double tooNewLimit = TIME_UNSET;
  bool checkUnstuff = false;
  bool suppressUnstuffErrorsFlag = false;
  int direction = kRead;
  // kRead or kWrite for "read" or "write"; any other text ends the program.
  static int directionCode(const std::string &direction);
  std::shared_ptr<TarnTag> tag;  // null for a JetStream connection
  std::shared_ptr<const JetStreamEndpoint> jetstream;  // null for a tarn connection
  std::string positionOwner;

  // ---- The thread's own ----
  int lastPktid = -1;  // the newest id when reading began (end time "last")
  uint64_t lastSequence = 0;  // the same for a JetStream reader: the stream's last sequence

  // ---- Written by the connection's thread, read by the status manager ----
  std::atomic<int> queueCount{-1};
  std::atomic<double> lastPacketTime{0.0};
  std::mutex stateMutex;  // guards status and queue
  std::string status = "stopped";
  std::shared_ptr<RelayQueue> queue;
};
