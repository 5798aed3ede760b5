// The relay's failure family. Every failure that one part of the relay
// reports to another is thrown as one of these, by value, and caught by
// reference; the catching code tells the kinds apart by type alone and uses
// the message for its log line. The family is flat: RelayException carries
// the message, and each kind derives directly from it and adds nothing but
// its type, so no kind ever catches another.
//
// A message is kept exactly as given: nothing is prefixed, appended or
// logged when a failure is built.
#pragma once

#include <stdexcept>
#include <string>
#include <utility>

class RelayException : public std::runtime_error {
 public:
  explicit RelayException(std::string message) : std::runtime_error(message) {}
};

// End of data: an end-of-data mark came out of a queue, or the tarn server
// reported end of data on a reap.
class RelayEOFException : public RelayException {
 public:
  explicit RelayEOFException(std::string message) : RelayException(std::move(message)) {}
};

// A queue gave no packet (time-out with nothing to read, or the queue was
// released).
class RelayNodataException : public RelayException {
 public:
  explicit RelayNodataException(std::string message) : RelayException(std::move(message)) {}
};

// A tarn name or tarn tag that was looked up is not in its registry.
class RelayDNEException : public RelayException {
 public:
  explicit RelayDNEException(std::string message) : RelayException(std::move(message)) {}
};

// An operation needed an open tag and the tag is closed.
class RelayTarnClosedException : public RelayException {
 public:
  explicit RelayTarnClosedException(std::string message) : RelayException(std::move(message)) {}
};

// A tag failed to open on its tarn server.
class RelayTarnOpenException : public RelayException {
 public:
  explicit RelayTarnOpenException(std::string message) : RelayException(std::move(message)) {}
};

// Repositioning a tag on its tarn server failed.
class RelayTarnPositioningException : public RelayException {
 public:
  explicit RelayTarnPositioningException(std::string message)
      : RelayException(std::move(message)) {}
};

// A reap with time-out returned without a complete packet.
class RelayTimeoutException : public RelayException {
 public:
  explicit RelayTimeoutException(std::string message) : RelayException(std::move(message)) {}
};

// A packet failed to unstuff.
class RelayUnstuffException : public RelayException {
 public:
  explicit RelayUnstuffException(std::string message) : RelayException(std::move(message)) {}
};
