// WriterAcks: the puts a tarn writer has made that its server has not yet
// acknowledged. A relayed packet stays held in its reader's read position
// (TarnPacket::readRecord) until its put is acknowledged, so that a save
// never passes a packet that is only in flight. Puts are acknowledged in
// order: a count of acknowledged puts settles every put numbered up to it.
// The relayed puts it settles are counted (packets and bytes), but for
// those the server refused (refused()), which settle without being stored.
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
  // `counted`: the put is counted, with its `bytes`, once it is stored (not
  // the relay's own packets).
  void put(uint64_t number, ReadRecord *record, bool counted = false, uint64_t bytes = 0) {
    m_waiting.push_back({number, record, counted, bytes});
    m_lastPut = number;
  }
  // The server refused put `number`: it settles without being counted.
  // Call it before the count of acknowledged puts that covers it.
  void refused(uint64_t number) {
    for (Put &p : m_waiting) {
      if (p.number == number) p.counted = false;
    }
  }
  struct Stored {
    uint64_t packets = 0;
    uint64_t bytes = 0;
  };
  // Every put numbered up to `count` is stored on the server (or refused):
  // what of it is counted.
  Stored acknowledged(uint64_t count) {
    Stored stored;
    while (!m_waiting.empty() && m_waiting.front().number <= count) {
      const Put &p = m_waiting.front();
      if (p.record) p.record->release();
      if (p.counted) ++stored.packets, stored.bytes += p.bytes;
      m_waiting.pop_front();
    }
    return stored;
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
    bool counted;  // once stored
    uint64_t bytes;
  };
  std::deque<Put> m_waiting;
  uint64_t m_lastPut = 0;
};
