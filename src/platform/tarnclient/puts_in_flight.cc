#include "platform/tarnclient/puts_in_flight.h"

#include <algorithm>

namespace tarnclient {

uint64_t PutsInFlight::add(const tarnwire::Put &put) {
  tarnwire::encode(m_out, put);
  m_ends.push_back(end());
  uint64_t number = m_accepted.load(std::memory_order_relaxed) + 1;
  m_accepted.store(number, std::memory_order_release);
  m_unackedBytes.store(unacked(), std::memory_order_relaxed);
  return number;
}

void PutsInFlight::acknowledge(uint64_t stored) {
  if (stored <= m_connectionAcked) return;
  uint64_t n = std::min<uint64_t>(stored - m_connectionAcked, m_ends.size());
  m_connectionAcked = stored;
  for (uint64_t i = 0; i < n; ++i) {
    m_acked = m_ends.front();
    m_ends.pop_front();
  }
  m_sent = std::max(m_sent, m_acked);  // what the server stored, it was sent
  m_acknowledged.fetch_add(n, std::memory_order_release);
  dropAcknowledged();
  m_unackedBytes.store(unacked(), std::memory_order_relaxed);
}

// Frees the acknowledged frames: all at once when nothing else is left,
// else only in large steps, so that a busy writer does not move its buffer
// on every ack.
void PutsInFlight::dropAcknowledged() {
  size_t acked = static_cast<size_t>(m_acked - m_base);
  if (acked == m_out.size() && m_sent == m_acked) {
    m_out.clear();
    m_base = m_acked;
  } else if (acked > (1u << 20) && acked * 2 > m_out.size()) {
    m_out.erase(m_out.begin(), m_out.begin() + static_cast<std::ptrdiff_t>(acked));
    m_base = m_acked;
  }
}

std::string_view PutsInFlight::unsent() const {
  return std::string_view(m_out.data() + (m_sent - m_base), static_cast<size_t>(end() - m_sent));
}

bool PutsInFlight::refuseFirst(std::string &body) {
  if (m_ends.empty() || m_sent < m_ends.front()) return false;
  uint64_t endOffset = m_ends.front();
  size_t from = static_cast<size_t>(m_acked - m_base) + tarnwire::kHeaderSize;
  size_t to = static_cast<size_t>(endOffset - m_base);
  body.assign(m_out.data() + from, to - from);
  m_acked = endOffset;
  m_ends.pop_front();
  m_acknowledged.fetch_add(1, std::memory_order_release);
  dropAcknowledged();
  m_unackedBytes.store(unacked(), std::memory_order_relaxed);
  return true;
}

void PutsInFlight::rewind() {
  m_sent = m_acked;
  m_connectionAcked = 0;
}

}  // namespace tarnclient
