#include "platform/tarnclient/puts_in_flight.h"

#include <algorithm>

namespace tarnclient {

namespace {
constexpr size_t kSpareBlocks = 4;  // emptied blocks kept to be used again
// The bytes a put's frame takes at most.
size_t frameBytes(std::string_view source, std::string_view bytes) {
  return tarnwire::kHeaderSize + tarnwire::kIdentityFixed + tarnwire::kPutFixed + source.size() +
         bytes.size();
}
}  // namespace

std::vector<char> &PutsInFlight::roomFor(size_t bytes) {
  if (!m_blocks.empty()) {
    std::vector<char> &tail = m_blocks.back().bytes;
    if (tail.capacity() - tail.size() >= bytes) return tail;
  }
  Block block;
  block.start = m_end;
  if (!m_spare.empty() && m_spare.back().capacity() >= bytes) {
    block.bytes = std::move(m_spare.back());
    m_spare.pop_back();
  } else {
    block.bytes.reserve(std::max(bytes, kBlockBytes));
  }
  m_blocks.push_back(std::move(block));
  return m_blocks.back().bytes;
}

template <class PutFrame>
void PutsInFlight::append(const PutFrame &put) {
  std::vector<char> &to = roomFor(frameBytes(put.source, put.bytes));
  size_t before = to.size();
  tarnwire::encode(to, put);
  m_end += to.size() - before;
}

uint64_t PutsInFlight::add(const tarnwire::Put &put) {
  append(put);
  return added();
}

uint64_t PutsInFlight::add(const tarnwire::IdentifiedPut &put) {
  append(put);
  return added();
}

uint64_t PutsInFlight::added() {
  m_ends.push_back(m_end);
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

// Lets go of the blocks whose frames are all acknowledged; the tail block
// starts again from its beginning once everything in it is.
void PutsInFlight::dropAcknowledged() {
  while (!m_blocks.empty()) {
    Block &first = m_blocks.front();
    if (first.start + first.bytes.size() > m_acked) break;
    if (m_blocks.size() == 1) {
      first.bytes.clear();
      first.start = m_end;
      break;
    }
    recycle(std::move(first.bytes));
    m_blocks.pop_front();
  }
}

void PutsInFlight::recycle(std::vector<char> &&bytes) {
  if (m_spare.size() >= kSpareBlocks || bytes.capacity() > kWindowBytes) return;
  bytes.clear();
  m_spare.push_back(std::move(bytes));
}

std::string_view PutsInFlight::frame(uint64_t from, uint64_t to) const {
  for (const Block &b : m_blocks) {
    if (from < b.start + b.bytes.size())
      return std::string_view(b.bytes.data() + (from - b.start), static_cast<size_t>(to - from));
  }
  return {};
}

std::string_view PutsInFlight::unsent() const {
  for (const Block &b : m_blocks) {
    uint64_t end = b.start + b.bytes.size();
    if (m_sent < end) {
      return std::string_view(b.bytes.data() + (m_sent - b.start),
                              static_cast<size_t>(end - m_sent));
    }
  }
  return {};
}

bool PutsInFlight::firstSent(std::string_view &body) const {
  if (m_ends.empty() || m_sent < m_ends.front()) return false;
  std::string_view f = frame(m_acked, m_ends.front());
  size_t from = tarnwire::kHeaderSize;
  if (f[from - 1] == tarnwire::kIdentifiedPut) from += tarnwire::kIdentityFixed;
  body = f.substr(from);
  return true;
}

bool PutsInFlight::refuseFirst(std::string &body) {
  std::string_view first;
  if (!firstSent(first)) return false;
  body.assign(first);
  uint64_t endOffset = m_ends.front();
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
  std::vector<std::string_view> frames;
  bool identified = false;
  uint64_t at = m_acked;
  for (uint64_t e : m_ends) {
    frames.push_back(frame(at, e));
    identified = identified || frames.back()[tarnwire::kTypeOffset] == tarnwire::kIdentifiedPut;
    at = e;
  }
  if (!identified) return;
  std::deque<Block> old = std::move(m_blocks);
  m_blocks.clear();
  m_ends.clear();
  m_end = m_acked;
  for (std::string_view f : frames) {
    std::string_view body = f.substr(tarnwire::kHeaderSize);
    if (f[tarnwire::kTypeOffset] == tarnwire::kIdentifiedPut) {
      tarnwire::IdentifiedPut put;
      tarnwire::decode(body, put);
      append(tarnwire::Put{put.time, put.source, put.bytes});
    } else {
      std::vector<char> &to = roomFor(f.size());
      to.insert(to.end(), f.begin(), f.end());
      m_end += f.size();
    }
    m_ends.push_back(m_end);
  }
  m_sent = m_acked;
  for (Block &b : old) recycle(std::move(b.bytes));
  m_unackedBytes.store(unacked(), std::memory_order_relaxed);
}

}  // namespace tarnclient
