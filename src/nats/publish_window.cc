#include "nats/publish_window.h"

#include "tarn/tarn_packet.h"

PublishWindow::PublishWindow(size_t maxMessages, size_t maxBytes)
    : m_maxMessages(maxMessages), m_maxBytes(maxBytes) {}

bool PublishWindow::full() const {
  return m_entries.size() >= m_maxMessages || (!m_entries.empty() && m_bytes >= m_maxBytes);
}

uint64_t PublishWindow::add(std::shared_ptr<TarnPacket> packet, size_t bytes) {
  Entry &e = m_entries.emplace_back();
  e.packet = std::move(packet);
  e.bytes = bytes;
  m_bytes += bytes;
  ++m_waiting;
  return m_firstId + m_entries.size() - 1;
}

PublishWindow::Entry *PublishWindow::at(uint64_t id) {
  if (id < m_firstId || id - m_firstId >= m_entries.size()) return nullptr;
  return &m_entries[id - m_firstId];
}

PublishWindow::Entry *PublishWindow::inFlight(uint64_t id) {
  Entry *e = at(id);
  return e && e->inFlight ? e : nullptr;
}

bool PublishWindow::sent(uint64_t id, Clock::time_point now) {
  Entry *e = at(id);
  if (!e || e->done || e->inFlight) return false;
  e->inFlight = true;
  e->sentAt = now;
  return true;
}

bool PublishWindow::stored(uint64_t id) {
  Entry *e = inFlight(id);
  if (!e) return false;
  e->inFlight = false;
  e->done = true;
  --m_waiting;
  ++m_acknowledged;
  return true;
}

bool PublishWindow::dropped(uint64_t id, std::string why) {
  Entry *e = at(id);
  if (!e || e->done) return false;
  e->inFlight = false;
  e->done = true;
  e->dropped = std::move(why);
  --m_waiting;
  return true;
}

void PublishWindow::unsent(uint64_t id) {
  if (Entry *e = inFlight(id)) e->inFlight = false;
}

void PublishWindow::disconnected() {
  for (Entry &e : m_entries) e.inFlight = false;
}

std::vector<uint64_t> PublishWindow::toSend() const {
  std::vector<uint64_t> ids;
  for (size_t i = 0; i < m_entries.size(); ++i) {
    if (!m_entries[i].done && !m_entries[i].inFlight) ids.push_back(m_firstId + i);
  }
  return ids;
}

// Messages go out in number order on a connection, so the first one not
// finished is the oldest in flight, if any is.
bool PublishWindow::oldestInFlight(Clock::time_point &sentAt) const {
  for (const Entry &e : m_entries) {
    if (e.done) continue;
    if (!e.inFlight) return false;
    sentAt = e.sentAt;
    return true;
  }
  return false;
}

void PublishWindow::settle(std::vector<Entry> &out) {
  while (!m_entries.empty() && m_entries.front().done) {
    m_bytes -= m_entries.front().bytes;
    out.push_back(std::move(m_entries.front()));
    m_entries.pop_front();
    ++m_firstId;
  }
}

size_t PublishWindow::relayedWaiting() const {
  size_t n = 0;
  for (const Entry &e : m_entries) n += !e.done && e.packet && e.packet->readRecord() != nullptr;
  return n;
}
