// The input side of a connection to a tarn server: the bytes received and
// not handled yet, taken out frame by frame.
//
// Frames are taken from the front, in order, except acknowledgements:
// takeAcks() takes every whole ack wherever it stands, so that a writer sees
// its acks even while streamed packets wait in front of them. An ack taken
// out of order stays in the buffer with its type byte overwritten by kTaken,
// and front() steps over it once it reaches the front.
//
// Knows nothing of sockets: the owner receives into room() and says with
// received() how much arrived (append() does both, for bytes at hand).
//
// Memory: taking frames moves nothing; the unread bytes move to the front
// only when the end has too little room for the next receive. The buffer
// grows to hold the frame at the front whole, and once that frame is taken
// a buffer larger than kKeptBytes shrinks back at the next room(). Room is
// never filled with zeros first.
//
// Not thread-safe: the owning connection serialises every call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "platform/tarnclient/tarn_wire.h"

namespace tarnclient {

class FrameInput {
 public:
  // The type byte of a frame already taken out of order. No frame of the
  // protocol has it.
  static constexpr uint8_t kTaken = 0;
  // The buffer kept between large frames.
  static constexpr size_t kKeptBytes = 4 << 20;

  // A whole frame: its type and its body, a view into the buffer that lasts
  // until the next call that changes the input.
  struct Frame {
    tarnwire::Type type = tarnwire::kError;
    std::string_view body;
  };

  // Where the next bytes go: at least `chunk` bytes of room, and enough for
  // the frame at the front to be whole. Valid until the next call.
  char *room(size_t chunk, size_t &size);
  // `n` bytes arrived at room().
  void received(size_t n) { m_len += n; }
  void append(std::string_view bytes);
  // The body length the frame at the front announces; 0 until its header
  // is in.
  uint64_t frontLength() const;

  // The frame at the front when it is whole (frames taken out of order are
  // dropped on the way); false when it is not whole yet.
  bool front(Frame &frame);
  // Drops the frame front() returned.
  void pop();
  // Takes every whole ack not taken yet, wherever it stands. Acks carry a
  // count that only grows on one connection, so the latest one says it all:
  // true with that count in `puts`; false when there was none.
  bool takeAcks(uint64_t &puts);
  // Forgets everything: the connection is gone.
  void clear() { m_head = m_len = m_scan = 0; }
  // Bytes of memory held for the input.
  size_t memoryHeld() const { return m_cap; }

 private:
  bool wholeAt(size_t offset, tarnwire::FrameHeader &h) const;
  void dropFront(size_t n);
  // Moves the unread bytes to the front of a buffer of `capacity` bytes.
  void moveTo(size_t capacity);

  // Unread bytes are m_in[m_head, m_len); every ack before m_scan is taken.
  std::unique_ptr<char[]> m_in;
  size_t m_cap = 0;
  size_t m_head = 0, m_len = 0, m_scan = 0;
};

}  // namespace tarnclient
