#include "platform/datalink/datalink_wire.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace datalink {
namespace {

bool printable(std::string_view s) {
  return std::all_of(s.begin(), s.end(), [](char c) {
    return static_cast<unsigned char>(c) >= 0x20 && static_cast<unsigned char>(c) < 0x7f;
  });
}

bool digitsOnly(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Where the header names its data size, by its sender's rules: the word's
// index from the front (or, negative, from the back), or 0 for no data.
int sizeWord(const std::vector<std::string_view> &w, Sender from) {
  if (w.empty()) return 0;
  std::string_view verb = w.front();
  if (from == Sender::kClient) {
    if (verb == "WRITE") return -1;
    // MATCH and REJECT carry their pattern as data; a pattern that is not a
    // number may stand in the header instead.
    if ((verb == "MATCH" || verb == "REJECT") && w.size() == 2 && digitsOnly(w[1])) return 1;
    return 0;
  }
  if (verb == "OK" || verb == "ERROR" || verb == "INFO") return w.size() >= 3 ? 2 : 0;
  if (verb == "PACKET") return -1;
  return 0;
}

// The data size a header announces; false with `why` when it names one
// that does not read.
bool dataSizeOf(std::string_view header, Sender from, size_t &size, std::string &why) {
  std::vector<std::string_view> w = words(header);
  int at = sizeWord(w, from);
  size = 0;
  if (at == 0) return true;
  if (at < 0 && w.size() < 2) {
    why = "'" + std::string(w.front()) + "' without its data size";
    return false;
  }
  std::string_view text = at > 0 ? w[static_cast<size_t>(at)] : w.back();
  int64_t n = 0;
  if (!digitsOnly(text) || !parseInteger(text, n)) {
    why = "data size '" + std::string(text.substr(0, 32)) + "' of '" +
          std::string(w.front().substr(0, 16)) + "' is not a number";
    return false;
  }
  size = static_cast<size_t>(n);
  return true;
}

}  // namespace

std::vector<std::string_view> words(std::string_view header) {
  std::vector<std::string_view> out;
  size_t i = 0;
  while (i < header.size()) {
    while (i < header.size() && header[i] == ' ') ++i;
    size_t j = i;
    while (j < header.size() && header[j] != ' ') ++j;
    if (j > i) out.push_back(header.substr(i, j - i));
    i = j;
  }
  return out;
}

bool parseInteger(std::string_view text, int64_t &out) {
  std::string_view digits = text.substr(!text.empty() && text[0] == '-' ? 1 : 0);
  if (!digitsOnly(digits) || digits.size() > 19) return false;
  std::string copy(text);
  errno = 0;
  char *end = nullptr;
  long long v = std::strtoll(copy.c_str(), &end, 10);
  if (errno != 0 || *end != '\0') return false;
  out = v;
  return true;
}

FrameStatus peekFrame(const char *data, size_t n, Sender from, size_t maxData, Frame &frame,
                      std::string &why) {
  frame = Frame{};
  if ((n >= 1 && data[0] != 'D') || (n >= 2 && data[1] != 'L')) {
    why = "not a DataLink message (it must begin with \"DL\")";
    return FrameStatus::kBad;
  }
  if (n < kPreamble) return FrameStatus::kIncomplete;
  size_t headerLength = static_cast<unsigned char>(data[2]);
  if (headerLength == 0) {
    why = "a DataLink message with an empty header";
    return FrameStatus::kBad;
  }
  if (n < kPreamble + headerLength) return FrameStatus::kIncomplete;
  std::string_view header(data + kPreamble, headerLength);
  if (!printable(header) || words(header).empty()) {
    why = "a DataLink header that is not printable text";
    return FrameStatus::kBad;
  }
  size_t size = 0;
  if (!dataSizeOf(header, from, size, why)) return FrameStatus::kBad;
  if (size > maxData) {
    why = "'" + std::string(words(header).front().substr(0, 16)) + "' announces " +
          std::to_string(size) + " bytes of data, more than the " + std::to_string(maxData) +
          " taken";
    return FrameStatus::kBad;
  }
  frame.header = header;
  frame.dataSize = size;
  frame.total = kPreamble + headerLength + size;
  return n >= frame.total ? FrameStatus::kComplete : FrameStatus::kIncomplete;
}

void appendMessage(std::string &out, std::string_view header, std::string_view data) {
  header = header.substr(0, kMaxHeader);
  out += "DL";
  out += static_cast<char>(header.size());
  out += header;
  out += data;
}

void appendOk(std::string &out, int64_t value, std::string_view text) {
  appendMessage(out, "OK " + std::to_string(value) + " " + std::to_string(text.size()), text);
}

void appendError(std::string &out, int64_t value, std::string_view text) {
  appendMessage(out, "ERROR " + std::to_string(value) + " " + std::to_string(text.size()), text);
}

void appendInfo(std::string &out, std::string_view type, std::string_view xml) {
  appendMessage(out, "INFO " + std::string(type) + " " + std::to_string(xml.size()), xml);
}

void appendPacket(std::string &out, const PacketHeader &h, std::string_view data) {
  std::string header = "PACKET " + h.streamId + " " + std::to_string(h.pktid) + " " +
                       std::to_string(h.packetTime) + " " + std::to_string(h.dataStart) + " " +
                       std::to_string(h.dataEnd) + " " + std::to_string(data.size());
  appendMessage(out, header, data);
}

bool parsePacketHeader(std::string_view header, PacketHeader &out) {
  std::vector<std::string_view> w = words(header);
  if (w.size() != 7 || w[0] != "PACKET") return false;
  int64_t size = 0;
  out.streamId = std::string(w[1]);
  if (!parseInteger(w[2], out.pktid) || !parseInteger(w[3], out.packetTime) ||
      !parseInteger(w[4], out.dataStart) || !parseInteger(w[5], out.dataEnd) ||
      !parseInteger(w[6], size) || size < 0) {
    return false;
  }
  out.size = static_cast<size_t>(size);
  return true;
}

void appendWrite(std::string &out, const WriteHeader &h, std::string_view data) {
  std::string header = "WRITE " + h.streamId + " " + std::to_string(h.dataStart) + " " +
                       std::to_string(h.dataEnd) + (h.ack ? " A " : " N ") +
                       std::to_string(data.size());
  appendMessage(out, header, data);
}

std::string parseWriteHeader(std::string_view header, WriteHeader &out) {
  std::vector<std::string_view> w = words(header);
  if (w.size() != 6 || w[0] != "WRITE")
    return "WRITE takes: streamid hpdatastart hpdataend flags size";
  int64_t size = 0;
  if (!parseInteger(w[2], out.dataStart) || !parseInteger(w[3], out.dataEnd))
    return "WRITE's data start and end must be integer hptimes";
  if (!parseInteger(w[5], size) || size < 0) return "WRITE's size is not a number";
  std::string_view flags = w[4];
  if (!std::all_of(flags.begin(), flags.end(), [](char c) { return c == 'A' || c == 'N'; }))
    return "WRITE's flags are A (acknowledge) or N (no answer), not '" +
           std::string(flags.substr(0, 16)) + "'";
  out.streamId = std::string(w[1]);
  out.ack = flags.find('A') != std::string_view::npos;
  out.size = static_cast<size_t>(size);
  return "";
}

void appendPattern(std::string &out, std::string_view verb, std::string_view pattern) {
  appendMessage(out, std::string(verb) + " " + std::to_string(pattern.size()), pattern);
}

DatalinkReader::DatalinkReader(Sender from, size_t maxData) : from_(from), maxData_(maxData) {}

void DatalinkReader::feed(const char *bytes, size_t n) {
  if (start_ > 0 && start_ * 2 >= buffer_.size()) {
    buffer_.erase(0, start_);
    start_ = 0;
  }
  buffer_.append(bytes, n);
}

DatalinkReader::Status DatalinkReader::next(Message &message) {
  if (!error_.empty()) return Status::kBad;
  Frame frame;
  std::string why;
  switch (
      peekFrame(buffer_.data() + start_, buffer_.size() - start_, from_, maxData_, frame, why)) {
    case FrameStatus::kBad:
      error_ = why;
      return Status::kBad;
    case FrameStatus::kIncomplete:
      return Status::kNeedMore;
    case FrameStatus::kComplete:
      break;
  }
  message.header.assign(frame.header);
  message.data.assign(buffer_, start_ + frame.total - frame.dataSize, frame.dataSize);
  start_ += frame.total;
  if (start_ == buffer_.size()) {
    buffer_.clear();
    start_ = 0;
  }
  return Status::kReady;
}

}  // namespace datalink
