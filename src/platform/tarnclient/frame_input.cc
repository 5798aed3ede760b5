#include "platform/tarnclient/frame_input.h"

#include <algorithm>
#include <cstring>

#include "platform/tarnclient/tarn_frames.h"

namespace tarnclient {

using namespace tarnwire;

char *FrameInput::room(size_t chunk, size_t &size) {
  size_t need = chunk;
  size_t avail = m_len - m_head;
  FrameHeader h;
  if (peekHeader(m_in.data() + m_head, avail, h) && kHeaderSize + h.length > avail) {
    need = std::max<size_t>(need, kHeaderSize + h.length - avail);
  }
  if (m_in.size() - m_len < need && m_head > 0) {
    std::memmove(m_in.data(), m_in.data() + m_head, avail);
    m_len = avail;
    m_scan -= m_head;
    m_head = 0;
  }
  if (m_in.size() - m_len < need) m_in.resize(m_len + need);
  size = m_in.size() - m_len;
  return m_in.data() + m_len;
}

void FrameInput::append(std::string_view bytes) {
  size_t size = 0;
  char *at = room(bytes.size(), size);
  if (!bytes.empty()) std::memcpy(at, bytes.data(), bytes.size());
  received(bytes.size());
}

uint64_t FrameInput::frontLength() const {
  FrameHeader h;
  return peekHeader(m_in.data() + m_head, m_len - m_head, h) ? h.length : 0;
}

bool FrameInput::wholeAt(size_t offset, FrameHeader &h) const {
  return peekHeader(m_in.data() + offset, m_len - offset, h) &&
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
      frame = Frame{h.type, std::string_view(m_in.data() + m_head + kHeaderSize, h.length)};
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
    if (decode(std::string_view(m_in.data() + p + kHeaderSize, h.length), ack)) {
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
