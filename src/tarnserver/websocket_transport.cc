#include "tarnserver/websocket_transport.h"

#include <algorithm>

namespace tarnserver {
namespace {

void append(std::vector<char> &out, std::string_view bytes) {
  out.insert(out.end(), bytes.begin(), bytes.end());
}

}  // namespace

WebSocketTransport::WebSocketTransport(const WebSocketLimits &limits)
    : limits_(limits), decoder_(limits) {}

bool WebSocketTransport::unwrap(const char *data, size_t n, std::string &commands,
                                std::vector<char> &out, std::string &error) {
  if (closing_) return true;  // whatever follows a close is not read
  pending_.append(data, n);
  if (!open_) {
    WebSocketHandshake h = readHandshake(pending_.data(), pending_.size(), limits_);
    if (h.status == WebSocketHandshake::Status::Incomplete) return true;
    append(out, h.answer);
    if (h.status == WebSocketHandshake::Status::Refused) {
      closing_ = true;
      error = "WebSocket request refused: " + h.reason;
      pending_ = std::string();
      return false;
    }
    open_ = true;
    version_ = h.protocol == "SeedLink4.0" ? 4 : h.protocol == "SeedLink3.1" ? 3 : 0;
    pending_.erase(0, h.used);
  }
  reply_.clear();
  ssize_t used = decoder_.decode(pending_.data(), pending_.size(), &commands, &reply_);
  append(out, reply_);
  if (used < 0) {
    closing_ = true;
    error = "WebSocket: " + decoder_.error();
    pending_ = std::string();
    return false;
  }
  pending_.erase(0, static_cast<size_t>(used));
  if (decoder_.closed()) {
    closing_ = true;
    pending_ = std::string();
  } else if (pending_.capacity() > 2 * (limits_.maxFrame + 14) && pending_.size() < 4096) {
    pending_.shrink_to_fit();  // a burst of frames is not kept for the idle connection
  }
  return true;
}

void WebSocketTransport::wrap(std::string_view message, std::vector<char> &out) {
  // Before the 101 answer there is no frame to send an answer in; after a
  // close frame nothing may follow it.
  if (!open_ || closing_) return;
  char head[10];
  append(out, std::string_view(head, wsFrameHead(head, WsOpcode::Binary, message.size())));
  append(out, message);
}

void WebSocketTransport::close(std::vector<char> &out) {
  if (!open_ || closing_) return;
  std::string frame;
  appendWsClose(&frame, kWsCloseNormal, "");
  append(out, frame);
  closing_ = true;
}

bool PortTransport::unwrap(const char *data, size_t n, std::string &commands,
                           std::vector<char> &out, std::string &error) {
  if (!chosen_) {
    static constexpr std::string_view kGet = "GET ";
    head_.append(data, n);
    size_t common = std::min(head_.size(), kGet.size());
    if (head_.compare(0, common, kGet.substr(0, common)) == 0 && head_.size() < kGet.size()) {
      return true;  // a prefix of "GET ": not decided yet
    }
    webSocket_ = head_.size() >= kGet.size() && head_.compare(0, kGet.size(), kGet) == 0;
    if (webSocket_) {
      chosen_ = std::make_unique<WebSocketTransport>(limits_);
    } else {
      chosen_ = std::make_unique<PlainTransport>();
    }
    std::string first = std::move(head_);
    head_ = std::string();
    return chosen_->unwrap(first.data(), first.size(), commands, out, error);
  }
  return chosen_->unwrap(data, n, commands, out, error);
}

void PortTransport::wrap(std::string_view message, std::vector<char> &out) {
  if (chosen_) {
    chosen_->wrap(message, out);
  } else {
    append(out, message);  // nothing came yet: the server speaks first, plainly
  }
}

}  // namespace tarnserver
