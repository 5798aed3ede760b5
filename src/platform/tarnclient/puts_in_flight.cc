#include "platform/tarnclient/puts_in_flight.h"

#include <algorithm>

namespace tarnclient {

uint64_t PutsInFlight::add(const tarnwire::Put &put) {
  tarnwire::encode(m_out, put);
  return added();
}

uint64_t PutsInFlight::add(const tarnwire::IdentifiedPut &put) {
  tarnwire::encode(m_out, put);
  return added();
}

uint64_t PutsInFlight::added() {
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
  if (m_out[from - 1] == tarnwire::kIdentifiedPut) from += tarnwire::kIdentityFixed;
  body.assign(m_out.data() + from, to - from);
  m_acked = endOffset;
  m_ends.pop_front();
  m_acknowledged.fetch_add(1, std::memory_order_release);
  dropAcknowledged();
  m_unackedBytes.store(unacked(), std::memory_order_relaxed);
  return true;
}

void PutsInFlight::rewind(bool identified) {
  m_sent = m_acked;
  m_connectionAcked = 0;
  if (!identified) stripIdentities();
}

// Rewrites the unacknowledged identified puts as plain ones, for a server
// that does not know them (one replaced by an older version meanwhile).
void PutsInFlight::stripIdentities() {
  std::vector<char> out;
  std::deque<uint64_t> ends;
  size_t at = static_cast<size_t>(m_acked - m_base);
  bool changed = false;
  for (uint64_t e : m_ends) {
    size_t stop = static_cast<size_t>(e - m_base);
    size_t body = at + tarnwire::kHeaderSize;
    if (m_out[body - 1] == tarnwire::kIdentifiedPut) {
      tarnwire::IdentifiedPut put;
      tarnwire::decode(std::string_view(m_out.data() + body, stop - body), put);
      tarnwire::encode(out, tarnwire::Put{put.time, put.source, put.bytes});
      changed = true;
    } else {
      out.insert(out.end(), m_out.begin() + static_cast<std::ptrdiff_t>(at),
                 m_out.begin() + static_cast<std::ptrdiff_t>(stop));
    }
    ends.push_back(m_acked + out.size());
    at = stop;
  }
  if (!changed) return;
  m_out = std::move(out);
  m_ends = std::move(ends);
  m_base = m_sent = m_acked;
  m_unackedBytes.store(unacked(), std::memory_order_relaxed);
}

}  // namespace tarnclient
