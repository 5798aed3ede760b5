#include "platform/tarnclient/frame_input.h"

#include <algorithm>
#include <cstring>

#include "platform/tarnclient/tarn_frames.h"

namespace tarnclient {

using namespace tarnwire;

char *FrameInput::room(size_t chunk, size_t &size) {
  size_t need = chunk;
  const size_t avail = m_len - m_head;
  FrameHeader h;
  if (peekHeader(m_in.get() + m_head, avail, h) && kHeaderSize + h.length > avail) {
    need = std::max<size_t>(need, kHeaderSize + h.length - avail);
  }
  if (m_cap > kKeptBytes && avail + need <= kKeptBytes) {
    moveTo(avail + need);  // the large frame is gone: give its room back
  } else if (m_cap - m_len < need) {
    moveTo(m_cap - avail >= need ? m_cap : std::max(avail + need, std::min(2 * m_cap, kKeptBytes)));
  }
  size = m_cap - m_len;
  return m_in.get() + m_len;
}

void FrameInput::moveTo(size_t capacity) {
  const size_t avail = m_len - m_head;
  if (capacity != m_cap) {
    std::unique_ptr<char[]> moved(new char[capacity]);
    if (avail > 0) std::memcpy(moved.get(), m_in.get() + m_head, avail);
    m_in = std::move(moved);
    m_cap = capacity;
  } else if (m_head > 0 && avail > 0) {
    std::memmove(m_in.get(), m_in.get() + m_head, avail);
  }
  m_scan -= m_head;
  m_head = 0;
  m_len = avail;
}

void FrameInput::append(std::string_view bytes) {
  size_t size = 0;
  char *at = room(bytes.size(), size);
  if (!bytes.empty()) std::memcpy(at, bytes.data(), bytes.size());
  received(bytes.size());
}

uint64_t FrameInput::frontLength() const {
  FrameHeader h;
  return peekHeader(m_in.get() + m_head, m_len - m_head, h) ? h.length : 0;
}

bool FrameInput::wholeAt(size_t offset, FrameHeader &h) const {
  return peekHeader(m_in.get() + offset, m_len - offset, h) &&
         m_len - offset >= kHeaderSize + h.length;
}

void FrameInput::dropFront(size_t n) {
  m_head += n;
  if (m_scan < m_head) m_scan = m_head;
  if (m_head == m_len) m_head = m_len = m_scan = 0;
}

bool FrameInput::front(Frame &frame) {
  FrameHeader h;
  while (wholeAt(m_head, h)) {
    if (h.type != kTaken) {
      frame = Frame{h.type, std::string_view(m_in.get() + m_head + kHeaderSize, h.length)};
      return true;
    }
    dropFront(kHeaderSize + h.length);
  }
  return false;
}

void FrameInput::pop() {
  FrameHeader h;
  if (wholeAt(m_head, h)) dropFront(kHeaderSize + h.length);
}

bool FrameInput::takeAcks(uint64_t &puts) {
  bool found = false;
  size_t p = std::max(m_scan, m_head);
  FrameHeader h;
  for (; wholeAt(p, h); p += kHeaderSize + h.length) {
    if (h.type != kAck) continue;
    Ack ack;
    if (decode(std::string_view(m_in.get() + p + kHeaderSize, h.length), ack)) {
      puts = found ? std::max(puts, ack.puts) : ack.puts;
      found = true;
    }
    m_in[p + kTypeOffset] = static_cast<char>(kTaken);
  }
  m_scan = p;
  while (wholeAt(m_head, h) && h.type == kTaken) dropFront(kHeaderSize + h.length);
  return found;
}

}  // namespace tarnclient
