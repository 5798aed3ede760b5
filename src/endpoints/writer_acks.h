// WriterAcks: the puts a tarn writer has made that its server has not yet
// acknowledged. A relayed packet stays held in its reader's read position
// (TarnPacket::readRecord) until its put is acknowledged, so that a save
// never passes a packet that is only in flight. Puts are acknowledged in
// order: a count of acknowledged puts settles every put numbered up to it.
//
// Used by one writer thread only.
#pragma once

#include <cstdint>
#include <deque>

#include "platform/statefile/read_position.h"

class WriterAcks {
 public:
  // Put `number` carried a packet with this read record (null: the relay's
  // own log or status packet).
  void put(uint64_t number, ReadRecord *record) {
    m_waiting.push_back({number, record});
    m_lastPut = number;
  }
  // Every put numbered up to `count` is stored on the server.
  void acknowledged(uint64_t count) {
    while (!m_waiting.empty() && m_waiting.front().number <= count) {
      if (m_waiting.front().record) m_waiting.front().record->release();
      m_waiting.pop_front();
    }
  }
  uint64_t lastPut() const { return m_lastPut; }
  // Puts not acknowledged yet, and of them those that carried relayed
  // packets (which a restart reads again).
  size_t waiting() const { return m_waiting.size(); }
  size_t relayedWaiting() const {
    size_t n = 0;
    for (const Put &p : m_waiting) n += p.record != nullptr;
    return n;
  }

 private:
  struct Put {
    uint64_t number;
    ReadRecord *record;
  };
  std::deque<Put> m_waiting;
  uint64_t m_lastPut = 0;
};
