// A DataLink client for tests, written from the protocol description alone
// (not with the wire library the server uses, so that the two do not share
// a mistake): messages framed by hand over a raw TCP connection, answers
// read back with bounded waits.
#pragma once

#include <sys/socket.h>

#include <string>
#include <vector>

#include "raw_client.h"

namespace tarntest {

class DatalinkClient {
 public:
  struct Answer {
    std::string header;
    std::vector<std::string> words;
    std::string data;
    bool is(const char *type) const { return !words.empty() && words[0] == type; }
  };

  explicit DatalinkClient(const std::string &address, const char *from = "127.0.0.1")
      : raw_(address, from) {}

  bool connected() const { return raw_.connected(); }
  RawClient &raw() { return raw_; }

  // Sends one message; with data, its size ends the header as given.
  bool send(const std::string &header, const std::string &data = "") {
    std::string m = "DL";
    m += static_cast<char>(header.size());
    return raw_.send(m + header + data);
  }
  Answer command(const std::string &header, const std::string &data = "") {
    send(header, data);
    return next();
  }
  // WRITE with flag A, and its answer.
  Answer write(const std::string &streamId, const std::string &record) {
    sendWrite(streamId, record, "A");
    return next();
  }
  bool sendWrite(const std::string &streamId, const std::string &record, const char *flags) {
    return send("WRITE " + streamId + " 0 0 " + flags + " " + std::to_string(record.size()),
                record);
  }

  // The next message; an empty header when none comes within about 2 s or
  // the server closed the connection.
  Answer next() {
    Answer a;
    if (!fill(3) || buf_.compare(0, 2, "DL") != 0) return a;
    size_t length = static_cast<unsigned char>(buf_[2]);
    if (!fill(3 + length)) return a;
    std::string header = buf_.substr(3, length);
    std::vector<std::string> words;
    for (size_t i = 0; i < header.size();) {
      size_t j = header.find(' ', i);
      if (j == std::string::npos) j = header.size();
      if (j > i) words.push_back(header.substr(i, j - i));
      i = j + 1;
    }
    // Data sizes: the last word of PACKET, the third of OK, ERROR and INFO.
    size_t size = 0;
    if (!words.empty() && words[0] == "PACKET") size = std::stoul(words.back());
    if (!words.empty() && words.size() >= 3 &&
        (words[0] == "OK" || words[0] == "ERROR" || words[0] == "INFO"))
      size = std::stoul(words[2]);
    if (!fill(3 + length + size)) return a;
    a.header = header;
    a.words = words;
    a.data = buf_.substr(3 + length, size);
    buf_.erase(0, 3 + length + size);
    return a;
  }

 private:
  bool fill(size_t need) {
    char chunk[65536];
    while (buf_.size() < need) {
      ssize_t n = recv(raw_.fd(), chunk, sizeof chunk, 0);
      if (n <= 0) return false;
      buf_.append(chunk, static_cast<size_t>(n));
    }
    return true;
  }
  RawClient raw_;
  std::string buf_;
};

}  // namespace tarntest
