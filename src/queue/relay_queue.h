// RelayQueue: a named queue of packets between the relay's threads.
//
// Producers (readers, the status manager, and every thread that logs, through
// the log manager) push shared packets; each consumer (a writer) pops them
// under its own name and sees every packet pushed once it is registered. A
// producer ends its stream with an end-of-data mark, which the consumer sees
// as RelayEOFException. The queue is a thin layer over the managed-FIFO
// library: it hands each packet over as a hook holding one shared reference,
// sets each consumer's time-out, and turns the library's results into the
// relay's failures.
//
// A failure to queue a packet or a mark is complained about in the log the
// queue was given, and the packet is let go (the FIFO says done() for it).
//
// Threads: push, push_eof and pop may run concurrently from any threads (the
// library serialises them). The consumer table has a lock of its own, since
// writers register from their threads while the status manager reads counts.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "platform/fifo/pmtfifo.h"

class RelayLog;
class TarnPacket;

class RelayQueue {
 public:
  // A consumer's pop waits at most `popTimeout` seconds (the internal
  // time-out) before it says that nothing came.
  RelayQueue(std::string name, RelayLog &log, double popTimeout);
  ~RelayQueue();
  RelayQueue(const RelayQueue &) = delete;
  RelayQueue &operator=(const RelayQueue &) = delete;

  // Registers a producer; its end-of-data mark is awaited by the consumers.
  void setProducer(std::string name);
  // What a packet counts for against a consumer's byte limit beyond its own
  // bytes: the packet object, its hook and its place in the queue.
  static constexpr long kPacketOverheadBytes = 256;

  // Registers a consumer with its limits, in packets and in bytes (0: none;
  // at a limit readers' pushes wait), and sets its time-out. Registering a
  // name again keeps what waits for it.
  void setConsumer(std::string name, int limit, long byteLimit = 0);
  // Packets waiting for the consumer; -1 for a name that is not a consumer.
  int getQueueCount(const std::string &name);
  const std::string &name() const { return m_name; }

  // Queues the packet for every consumer; a failure is complained about and
  // the packet is not queued. The relay's own log and status packets never
  // wait at a consumer's limit. Each consumer that gets the packet holds it
  // (TarnPacket::holdUntilDone) and says done() once it is finished with it;
  // a consumer that the queue drops it for is done with it at once.
  void push(std::shared_ptr<TarnPacket> &packet);
  // Queues the producer's end-of-data mark; a failure is complained about.
  void push_eof(std::string name);
  // The consumer's next packet, waiting at most its time-out.
  // RelayEOFException at the end-of-data mark, RelayNodataException when
  // nothing came or the queue was released, RelayException otherwise.
  std::shared_ptr<TarnPacket> pop(const std::string &name);

 private:
  const std::string m_name;
  RelayLog &m_log;
  const double m_popTimeout;
  PmtManagedFifo *const m_fifo;

  std::mutex m_consumersMutex;  // guards m_consumers
  std::unordered_map<std::string, PmtFifo *> m_consumers;
};
