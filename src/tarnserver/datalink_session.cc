#include "tarnserver/datalink_session.h"

#include <algorithm>

#include "platform/datalink/datalink_wire.h"
#include "tarnserver/datalink_info.h"
#include "tarnserver/packet_filter.h"

namespace tarnserver {

namespace {
constexpr size_t kKeptOutput = 4 << 20;  // output capacity kept once it is sent
constexpr size_t kKeptInput = 64 << 10;  // input capacity kept once it is handled
constexpr size_t kMaxClientText = 200;   // bytes of an ID kept

// At most 64 bytes of a client's text, for an answer.
std::string quoted(std::string_view text) {
  return "'" + std::string(text.substr(0, 64)) + (text.size() > 64 ? "...'" : "'");
}
}  // namespace

DatalinkSession::DatalinkSession(Ring &ring, const SessionLimits &limits, const ServerView &server,
                                 ClientAccess access, std::unique_ptr<SessionTransport> transport)
    : ring_(ring),
      limits_(limits),
      server_(server),
      access_(std::move(access)),
      transport_(transport ? std::move(transport) : std::make_unique<PlainTransport>()),
      cursor_(ring.nextSeq()) {}

WebSocketLimits DatalinkSession::webSocketLimits(uint32_t maxPacket) {
  WebSocketLimits limits;
  limits.maxFrame =
      datalink::kPreamble + datalink::kMaxHeader + std::max<size_t>(maxPacket, kMaxPattern);
  limits.protocols = {"DataLink1.0"};
  limits.port = "DataLink";
  return limits;
}

void DatalinkSession::consumed(size_t n) {
  outHead_ += n;
  if (outHead_ == out_.size()) {
    out_.clear();
    if (out_.capacity() > kKeptOutput) std::vector<char>().swap(out_);
    outHead_ = 0;
  } else if (outHead_ > (1u << 20) && outHead_ * 2 > out_.size()) {
    out_.erase(out_.begin(), out_.begin() + static_cast<std::ptrdiff_t>(outHead_));
    outHead_ = 0;
  }
}

void DatalinkSession::message(std::string_view bytes) { transport_->wrap(bytes, out_); }

void DatalinkSession::ok(int64_t value, std::string_view text) {
  scratch_.clear();
  datalink::appendOk(scratch_, value, text);
  message(scratch_);
}

bool DatalinkSession::writeRefused(const std::string &text) {
  scratch_.clear();
  datalink::appendError(scratch_, 0, text);
  message(scratch_);
  return true;
}

bool DatalinkSession::refused(const std::string &text) {
  ++errors_;
  return writeRefused(text);
}

bool DatalinkSession::fatal(int32_t code, const std::string &text) {
  refused(text);
  error_ = text;
  errorCode_ = code;
  finished_ = true;
  return false;
}

void DatalinkSession::refuse(int32_t code, const std::string &text) {
  if (!finished_) fatal(code, text);
  error_ = text;
  errorCode_ = code;
  transport_->close(out_);
}

bool DatalinkSession::backlog(const char *, size_t) const {
  if (finished_) return false;
  datalink::Frame frame;
  std::string why;
  return datalink::peekFrame(input_.data(), input_.size(), datalink::Sender::kClient,
                             limits_.maxPacket, frame, why) != datalink::FrameStatus::kIncomplete;
}

ssize_t DatalinkSession::consume(const char *data, size_t n) {
  if (finished_) return static_cast<ssize_t>(n);
  std::string err;
  if (n > 0 && !transport_->unwrap(data, n, input_, out_, err)) {
    error_ = err;
    errorCode_ = tarnwire::kErrFrame;
    return -1;
  }
  size_t pos = 0;
  bool alive = true;
  work_ = 0;
  const uint64_t filterWork = filter_.work();
  for (int k = 0; alive && !finished_ && k < kCommandsPerTurn && outSize() < limits_.outputLimit &&
                  work_ + (filter_.work() - filterWork) < limits_.workBudget;
       ++k) {
    datalink::Frame frame;
    std::string why;
    auto status = datalink::peekFrame(input_.data() + pos, input_.size() - pos,
                                      datalink::Sender::kClient, limits_.maxPacket, frame, why);
    if (status == datalink::FrameStatus::kBad) {
      alive = fatal(tarnwire::kErrFrame, why);
    } else if (!frame.header.empty() && !admissible(frame.header, frame.dataSize)) {
      alive = false;
    } else if (status == datalink::FrameStatus::kComplete) {
      alive = handle(frame.header, std::string_view(input_).substr(
                                       pos + frame.total - frame.dataSize, frame.dataSize));
      pos += frame.total;
      continue;
    }
    break;
  }
  input_.erase(0, pos);
  if (input_.empty() && input_.capacity() > kKeptInput) std::string().swap(input_);
  if (alive && errors_ >= kMaxErrors) {
    error_ = std::to_string(errors_) + " commands refused";
    errorCode_ = tarnwire::kErrFrame;
    alive = false;
  }
  if (!alive) transport_->close(out_);
  return alive ? static_cast<ssize_t>(n) : -1;
}

bool DatalinkSession::admissible(std::string_view header, size_t dataSize) {
  std::string_view verb = header.substr(0, header.find(' '));
  if (verb == "WRITE" && access_.write.none()) {
    return fatal(tarnwire::kErrRefused,
                 "writing to " + access_.tarn + " is not allowed from " + access_.host);
  }
  if ((verb == "MATCH" || verb == "REJECT") && dataSize > kMaxPattern) {
    return fatal(tarnwire::kErrTooLarge, "a pattern of " + std::to_string(dataSize) +
                                             " bytes is longer than the " +
                                             std::to_string(kMaxPattern) + " allowed");
  }
  return true;
}

bool DatalinkSession::handle(std::string_view header, std::string_view data) {
  ++work_;
  if (!access_.mayConnect) {
    return fatal(tarnwire::kErrRefused,
                 "connecting to " + access_.tarn + " is not allowed from " + access_.host);
  }
  greeted_ = true;
  std::vector<std::string_view> words = datalink::words(header);
  std::string_view verb = words.front();
  if (verb == "ID") return onId(header);
  if (verb == "ENDSTREAM") {
    streaming_ = false;
    scratch_.clear();
    datalink::appendMessage(scratch_, "ENDSTREAM");
    message(scratch_);
    return true;
  }
  if (streaming_) return refused("only ID and ENDSTREAM are taken while streaming");
  return command(words, header, data);
}

bool DatalinkSession::command(const std::vector<std::string_view> &words, std::string_view header,
                              std::string_view data) {
  std::string_view verb = words.front();
  if (verb == "WRITE") return onWrite(header, data);
  if (verb == "POSITION") return onPosition(words);
  if (verb == "MATCH" || verb == "REJECT") return onPattern(verb == "MATCH", header, data);
  if (verb == "READ") return onRead(words);
  if (verb == "INFO") return onInfo(words);
  if (verb == "STREAM") {
    streaming_ = true;
    return true;
  }
  return refused("command " + quoted(verb) + " is not served");
}

std::string DatalinkSession::capabilities() const {
  return "DLPROTO:1.0 PACKETSIZE:" + std::to_string(limits_.maxPacket) +
         (access_.write.none() ? "" : " WRITE");
}

bool DatalinkSession::onId(std::string_view header) {
  std::string_view said = header.substr(std::min(header.size(), size_t{3}));
  client_ = std::string(said.substr(0, kMaxClientText));
  scratch_.clear();
  datalink::appendMessage(scratch_, "ID DataLink " TARN2TARN_VERSION " :: " + capabilities());
  message(scratch_);
  return true;
}

// The match narrowing STREAMS and CONNECTIONS is the third word.
bool DatalinkSession::onInfo(const std::vector<std::string_view> &words) {
  if (words.size() < 2 || words.size() > 3) return refused("INFO takes a type and a match");
  std::string type(words[1]);
  std::string expr = words.size() == 3 ? std::string(words[2]) : "";
  regex_t re;
  bool compiled = false;
  if (!expr.empty()) {
    std::string why;
    int rc = 0;
    if (expressionTooCostly(expr, why) ||
        (rc = regcomp(&re, expr.c_str(), REG_EXTENDED | REG_NOSUB)) != 0) {
      if (rc != 0) {
        char msg[256];
        regerror(rc, &re, msg, sizeof msg);
        why = msg;
      }
      return refused("bad expression " + quoted(expr) + ": " + why);
    }
    compiled = true;
  }
  DatalinkInfoContext ctx{ring_, server_, capabilities(), limits_.maxPacket, kMaxListed};
  std::string xml;
  bool answered = true;
  if (type == "STATUS") {
    xml = datalinkStatusXml(ctx);
  } else if (type == "STREAMS") {
    xml = datalinkStreamsXml(ctx, compiled ? &re : nullptr, work_);
  } else if (type == "CONNECTIONS" && !access_.write.none()) {
    xml = datalinkConnectionsXml(ctx, compiled ? &re : nullptr, work_);
  } else {
    answered = false;
  }
  if (compiled) regfree(&re);
  if (!answered) {
    return refused(type == "CONNECTIONS"
                       ? "INFO CONNECTIONS is answered to clients that may write (-W) only"
                       : "INFO type " + quoted(type) + " is not STATUS, STREAMS or CONNECTIONS");
  }
  scratch_.clear();
  datalink::appendInfo(scratch_, type, xml);
  message(scratch_);
  return true;
}

SessionInfo DatalinkSession::info() const {
  SessionInfo i{"datalink", client_, ""};
  if (putsStored_ > 0) {
    i.activity = "writes";
  } else if (streaming_) {
    i.activity = "reads, streaming";
  } else if (packetsSent_ > 0) {
    i.activity = "reads";
  } else {
    i.activity = greeted_ ? "asks" : "greets";
  }
  return i;
}

}  // namespace tarnserver
