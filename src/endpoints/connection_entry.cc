#include "endpoints/connection_entry.h"

#include "base/config_values.h"
#include "base/relay_log.h"

ConnectionEntry::ConnectionEntry(Pf *pf, std::string name, Direction direction, RelayLog &log)
    : m_pf(pf), m_name(std::move(name)), m_direction(direction), m_log(log) {}

bool ConnectionEntry::has(const char *key) const { return pfhas_key(m_pf, key); }

std::string ConnectionEntry::text(const char *key) const {
  const char *value = pfget_string(m_pf, key);
  return value ? value : "";
}

bool ConnectionEntry::boolean(const char *key) const {
  if (!has(key)) return false;
  std::string value = text(key);
  bool flag = false;
  if (!configvalues::readBoolean(value, flag)) {
    dieInvalid(key, value, "true or false (or yes/no, y/n, on/off, 1/0)");
  }
  return flag;
}

void ConnectionEntry::dieInvalid(const std::string &key, const std::string &value,
                                 const std::string &expected) const {
  m_log.die_initializing("Configuration error: connection '" + m_name + "' has an invalid '" + key +
                         "' value '" + value + "': expected " + expected);
}

void ConnectionEntry::die(const std::string &rest) const {
  m_log.die_initializing("Configuration error: " + std::string(isReader() ? "read" : "write") +
                         " connection '" + m_name + "' " + rest);
}
