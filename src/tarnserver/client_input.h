// The bytes a client sent that its session has not handled yet.
//
// The unread bytes are data()[0..size()); they sit at some offset in one
// buffer, so that taking frames from the front moves nothing. Room for more
// is made at the end: the unread bytes move to the front only when the end
// has too little room, and the buffer grows only when the whole of it is too
// small: to what is asked for, or twice its size if that is more. Room is
// never filled with zeros first.
//
// Emptied, the buffer stays: the server asks from time to time to give back
// a large one (release()), which happens once no bytes came in since the
// call before, so a client that sends one large packet after another keeps
// its buffer, and an idle one soon holds none.
//
// Not thread-safe: used from the server's event thread only.
#pragma once

#include <cstddef>
#include <memory>

namespace tarnserver {

class ClientInput {
 public:
  const char *data() const { return buf_.get() + head_; }
  size_t size() const { return len_ - head_; }
  bool empty() const { return len_ == head_; }
  size_t capacity() const { return cap_; }

  // Where the next `want` bytes go (room for at least that many after the
  // unread bytes); valid until the next call that changes the input.
  char *room(size_t want);
  // `n` bytes arrived at room().
  void received(size_t n) { len_ += n; }
  void append(const char *bytes, size_t n);
  // Drops the first `n` unread bytes.
  void drop(size_t n);
  // Frees the buffer when nothing is unread, nothing came in since the last
  // call, and it holds more than `keep` bytes.
  void release(size_t keep);

 private:
  std::unique_ptr<char[]> buf_;
  size_t cap_ = 0, head_ = 0, len_ = 0;
  bool used_ = false;  // room() was asked for since the last release()
};

}  // namespace tarnserver
