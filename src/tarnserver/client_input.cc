#include "tarnserver/client_input.h"

#include <algorithm>
#include <cstring>

namespace tarnserver {

char *ClientInput::room(size_t want) {
  used_ = true;
  const size_t unread = size();
  if (cap_ - len_ < want) {
    if (cap_ - unread >= want) {
      if (unread > 0) std::memmove(buf_.get(), buf_.get() + head_, unread);
    } else {
      const size_t grownCap = std::max(unread + want, 2 * cap_);
      std::unique_ptr<char[]> grown(new char[grownCap]);
      if (unread > 0) std::memcpy(grown.get(), buf_.get() + head_, unread);
      buf_ = std::move(grown);
      cap_ = grownCap;
    }
    head_ = 0;
    len_ = unread;
  }
  return buf_.get() + len_;
}

void ClientInput::append(const char *bytes, size_t n) {
  if (n == 0) return;
  std::memcpy(room(n), bytes, n);
  received(n);
}

void ClientInput::drop(size_t n) {
  head_ += n;
  if (head_ == len_) head_ = len_ = 0;
}

void ClientInput::release(size_t keep) {
  const bool used = used_;
  used_ = false;
  if (used || !empty() || cap_ <= keep) return;
  buf_.reset();
  cap_ = head_ = len_ = 0;
}

}  // namespace tarnserver
