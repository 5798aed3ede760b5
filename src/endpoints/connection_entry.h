// ConnectionEntry: one connection of the parameter file as the
// configuration vets and reads it: its complete object (the entry over its
// defaults), its name and direction, and the strict readers of its values.
// A value that cannot mean what its key asks for ends the process with a
// configuration error naming the connection, the key and the value.
//
// Used on the main thread while configuring, by the configuration and by
// each kind of endpoint (endpoint_kind.h).
#pragma once

#include <string>

#include "connection/relay_connection.h"
#include "platform/pf/pf.h"

class RelayLog;

class ConnectionEntry {
 public:
  ConnectionEntry(Pf *pf, std::string name, Direction direction, RelayLog &log);

  Pf *pf() const { return m_pf; }
  const std::string &name() const { return m_name; }
  Direction direction() const { return m_direction; }
  bool isReader() const { return m_direction == Direction::kRead; }
  RelayLog &log() const { return m_log; }

  bool has(const char *key) const;
  // The value of `key`; "" when it is absent or not a plain value.
  std::string text(const char *key) const;
  // The boolean `key`: false when absent; any other text than a boolean
  // ends the process.
  bool boolean(const char *key) const;

  // "Configuration error: connection 'NAME' has an invalid 'KEY' value
  // 'VALUE': expected EXPECTED".
  [[noreturn]] void dieInvalid(const std::string &key, const std::string &value,
                               const std::string &expected) const;
  // "Configuration error: read connection 'NAME' " and `rest`.
  [[noreturn]] void die(const std::string &rest) const;

 private:
  Pf *const m_pf;
  const std::string m_name;
  const Direction m_direction;
  RelayLog &m_log;
};
