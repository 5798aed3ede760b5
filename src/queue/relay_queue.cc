#include "queue/relay_queue.h"

#include <cstdlib>
#include <new>
#include <utility>

#include "base/relay_exception.h"
#include "base/relay_log.h"
#include "platform/elog/elog.h"
#include "tarn/tarn_packet.h"

RelayQueue::RelayQueue(std::string name, RelayLog &log, double popTimeout)
    : m_name(std::move(name)),
      m_log(log),
      m_popTimeout(popTimeout),
      m_fifo(pmtmanagedfifo_create(m_name.c_str())) {}

// The relay's queues live until the process ends, held by the configuration,
// so this runs only for a queue nobody holds any more (in tests): no thread
// can be inside its managed FIFO then, and the packets still waiting in it
// are let go with it.
RelayQueue::~RelayQueue() { pmtmanagedfifo_destroy(m_fifo); }

void RelayQueue::setProducer(std::string name) {
  pmtmanagedfifo_set_producer(m_fifo, name.c_str());
}

void RelayQueue::setConsumer(std::string name, int limit, long byteLimit) {
  PmtFifo *fifo = pmtmanagedfifo_set_consumer(m_fifo, name.c_str(), limit, PMTFIFO_BACKPRESSURE);
  pmtfifo_set_timeout(fifo, m_popTimeout);
  pmtfifo_set_byte_limit(fifo, byteLimit);
  std::lock_guard<std::mutex> lock(m_consumersMutex);
  m_consumers.emplace(std::move(name), fifo);
}

int RelayQueue::getQueueCount(const std::string &name) {
  std::lock_guard<std::mutex> lock(m_consumersMutex);
  auto found = m_consumers.find(name);
  if (found == m_consumers.end()) return -1;
  return pmtfifo_count(found->second);
}

void RelayQueue::push(std::shared_ptr<TarnPacket> &packet) {
  Hook *hook = new_hook(spTarnPacket_hookfree);
  void *block = std::malloc(sizeof(TarnPacketHolder));
  if (!hook || !block) {
    elog_die(1, "Out of memory in %s at line %d of '%s'\n\tCan't malloc %lu bytes for ophd\n",
             "push", __LINE__, "tarn2tarn_queue",
             static_cast<unsigned long>(sizeof(TarnPacketHolder)));
  }
  hook->p = new (block) TarnPacketHolder(packet);
  // The hook holds the packet until its consumer is done with it; copies for
  // further consumers hold it once more each.
  packet->holdUntilDone();
  // From here the library owns the hook, and frees it if it cannot queue it.
  int flags = packet->isInternal() ? PMTFIFO_NOWAIT : 0;
  long bytes = packet->byteCount() + kPacketOverheadBytes;
  int rc = pmtmanagedfifo_push_bytes(m_fifo, hook, spTarnPacket_hookcopy, flags, bytes);
  if (rc < 0) {
    m_log.elog_complain("Error with pmtmanagedfifo_push pushing onto '" + m_name + "', packet '" +
                        packet->describe() + "'");
  }
}

void RelayQueue::push_eof(std::string name) {
  if (pmtmanagedfifo_push_eof(m_fifo, name.c_str()) < 0) {
    m_log.elog_complain("Error with pmtmanagedfifo_push_eof pushing from '" + name + "' onto '" +
                        m_name + "', packet EOF");
  }
}

std::shared_ptr<TarnPacket> RelayQueue::pop(const std::string &name) {
  Hook *hook = nullptr;
  int rc = pmtmanagedfifo_pop(m_fifo, name.c_str(), &hook, 0);
  switch (rc) {
    case PMTFIFO_DATA: {
      // The hook's reference moves to the result, so freeing the hook
      // touches the packet's count no more: writers popping the same packet
      // do not contend on it once per pop.
      std::shared_ptr<TarnPacket> packet = std::move(*static_cast<TarnPacketHolder *>(hook->p));
      free_hook(&hook);
      return packet;
    }
    case PMTFIFO_EOF:
      throw RelayEOFException("Read EOF packet from queue '" + m_name + "'");
    case PMTFIFO_TIMEOUT:
    case PMTFIFO_EMPTY:
      throw RelayNodataException("RelayQueue::pop: Received no-data return from queue '" + m_name +
                                 "'");
    case PMTFIFO_RELEASED:
      throw RelayNodataException("RelayQueue::pop: Received FIFO-released return from queue '" +
                                 m_name + "'");
    default:
      throw RelayException("RelayQueue::pop: Received rc = " + std::to_string(rc) +
                           " return from pmtmanagedfifo_pop");
  }
}
