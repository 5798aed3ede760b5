#include "platform/seedlink/seedlink_wire.h"

#include <cstring>

namespace seedlink {
namespace {

void appendLittleEndian(std::string &out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}

uint64_t littleEndian(const char *p, int bytes) {
  uint64_t value = 0;
  for (int i = bytes - 1; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(p[i]);
  return value;
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

void appendV3DataHeader(std::string &out, uint64_t sequence) {
  static const char kDigits[] = "0123456789ABCDEF";
  uint64_t low = v3Sequence(sequence);
  out += "SL";
  for (int shift = 20; shift >= 0; shift -= 4) out.push_back(kDigits[(low >> shift) & 0xf]);
}

void appendV3InfoHeader(std::string &out, bool more) { out += more ? "SLINFO *" : "SLINFO  "; }

void appendV4Header(std::string &out, char format, char subformat, uint32_t payloadLength,
                    uint64_t sequence, std::string_view stationId) {
  if (stationId.size() > 255) stationId = stationId.substr(0, 255);
  out += "SE";
  out.push_back(format);
  out.push_back(subformat);
  appendLittleEndian(out, payloadLength, 4);
  appendLittleEndian(out, sequence, 8);
  out.push_back(static_cast<char>(stationId.size()));
  out.append(stationId);
}

PacketReader::PacketReader(size_t maxPayload, size_t maxLine)
    : maxPayload_(maxPayload), maxLine_(maxLine) {}

void PacketReader::feed(const char *bytes, size_t n) {
  // Drop what was taken before growing, so the buffer stays near one packet.
  if (start_ > 0 && start_ * 2 >= buffer_.size()) {
    buffer_.erase(0, start_);
    start_ = 0;
  }
  buffer_.append(bytes, n);
}

void PacketReader::consume(size_t n) {
  start_ += n;
  if (start_ == buffer_.size()) {
    buffer_.clear();
    start_ = 0;
  }
}

PacketReader::Status PacketReader::fail(std::string why) {
  error_ = std::move(why);
  return Status::kBad;
}

PacketReader::Status PacketReader::nextPacket(Packet &packet) {
  if (!error_.empty()) return Status::kBad;
  if (buffered() < 2) return Status::kNeedMore;
  const char *p = buffer_.data() + start_;
  if (p[0] == 'S' && p[1] == 'L') return readV3(packet);
  if (p[0] == 'S' && p[1] == 'E') return readV4(packet);
  if (p[0] == 'E' && p[1] == 'N') {
    if (buffered() < 3) return Status::kNeedMore;
    if (p[2] == 'D') {
      consume(3);
      return Status::kEnd;
    }
  }
  return fail("bad packet signature (neither SL nor SE)");
}

PacketReader::Status PacketReader::readV3(Packet &packet) {
  if (buffered() < kV3HeaderLength + kV3RecordLength) return Status::kNeedMore;
  const char *p = buffer_.data() + start_;
  Packet out;
  out.version = 3;
  out.format = kFormatMseed2;
  if (std::memcmp(p, "SLINFO ", 7) == 0 && (p[7] == '*' || p[7] == ' ')) {
    out.info = true;
    out.infoMore = p[7] == '*';
    out.subformat = kSubformatInfo;
  } else {
    uint64_t sequence = 0;
    for (int i = 2; i < 8; ++i) {
      int digit = hexDigit(p[i]);
      if (digit < 0) return fail("bad v3 sequence number '" + std::string(p + 2, 6) + "'");
      sequence = sequence * 16 + static_cast<uint64_t>(digit);
    }
    out.sequence = sequence;
    out.subformat = kSubformatData;
  }
  out.payload.assign(p + kV3HeaderLength, kV3RecordLength);
  consume(kV3HeaderLength + kV3RecordLength);
  packet = std::move(out);
  return Status::kReady;
}

PacketReader::Status PacketReader::readV4(Packet &packet) {
  if (buffered() < kV4FixedHeaderLength) return Status::kNeedMore;
  const char *p = buffer_.data() + start_;
  uint64_t length = littleEndian(p + 4, 4);
  if (length > maxPayload_) {
    return fail("v4 payload length " + std::to_string(length) + " exceeds " +
                std::to_string(maxPayload_) + " bytes");
  }
  size_t idLength = static_cast<unsigned char>(p[16]);
  size_t total = kV4FixedHeaderLength + idLength + length;
  if (buffered() < total) return Status::kNeedMore;
  Packet out;
  out.version = 4;
  out.format = p[2];
  out.subformat = p[3];
  out.info = out.format == kFormatJson &&
             (out.subformat == kSubformatInfo || out.subformat == kSubformatInfoError);
  out.sequence = littleEndian(p + 8, 8);
  out.stationId.assign(p + kV4FixedHeaderLength, idLength);
  out.payload.assign(p + kV4FixedHeaderLength + idLength, length);
  consume(total);
  packet = std::move(out);
  return Status::kReady;
}

PacketReader::Next PacketReader::peek() const {
  if (buffered() < 2) return Next::kNeedMore;
  const char *p = buffer_.data() + start_;
  return p[0] == 'S' && (p[1] == 'L' || p[1] == 'E') ? Next::kPacket : Next::kLine;
}

PacketReader::Status PacketReader::nextLine(std::string &line) {
  if (!error_.empty()) return Status::kBad;
  const char *p = buffer_.data() + start_;
  size_t n = buffered();
  const void *found = std::memchr(p, '\n', n);
  if (found == nullptr) {
    if (n > maxLine_) return fail("answer line longer than " + std::to_string(maxLine_) + " bytes");
    return Status::kNeedMore;
  }
  size_t end = static_cast<size_t>(static_cast<const char *>(found) - p);
  if (end > maxLine_) return fail("answer line longer than " + std::to_string(maxLine_) + " bytes");
  size_t length = end > 0 && p[end - 1] == '\r' ? end - 1 : end;
  line.assign(p, length);
  consume(end + 1);
  return Status::kReady;
}

}  // namespace seedlink
