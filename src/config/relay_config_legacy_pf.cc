// The legacy parameter-file form: the legacy command line names one input
// and one output server, and its parameter file contributes three packet
// filters. They become the parameter-file texts of one reader and one writer
// joined by the queue "mainq", registered like any current connection.
#include <cstdio>
#include <string>
#include <utility>

#include "base/config_values.h"
#include "config/relay_config.h"
#include "managers/relay_log_mgr.h"

namespace {

const char *const kLegacyQueue = "mainq";

// "%f" of a value, or "" when it is unset.
std::string fixedOrEmpty(double value) {
  if (value == TIME_UNSET) return "";
  char text[64];
  std::snprintf(text, sizeof text, "%f", value);
  return text;
}

// A value as parameter text reads it back exactly: plainly where it can be,
// else quoted (&"..." with backslash escapes) when it has blanks at its ends,
// a control character such as a line break, or a leading '&'.
std::string asParameterValue(const std::string &value) {
  bool plain =
      value.empty() || (value.front() != '&' && value.front() != ' ' && value.back() != ' ');
  for (unsigned char c : value) {
    if (c < 0x20 || c == 0x7f) plain = false;
  }
  if (plain) return value;
  std::string quoted = "&\"";
  for (unsigned char c : value) {
    if (c == '\\' || c == '"') {
      quoted += '\\';
      quoted += static_cast<char>(c);
    } else if (c == '\n') {
      quoted += "\\n";
    } else if (c == '\t') {
      quoted += "\\t";
    } else if (c == '\r') {
      quoted += "\\r";
    } else if (c < 0x20 || c == 0x7f) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\x%02x", c);
      quoted += escape;
    } else {
      quoted += static_cast<char>(c);
    }
  }
  return quoted + "\"";
}

// One line of a connection text: key, separator, value.
std::string line(const char *key, const char *separator, const std::string &value) {
  return std::string(key) + separator + asParameterValue(value) + "\n";
}

// A key of the legacy file that is present with a value.
bool hasValue(Pf *pf, const char *key) {
  const char *value = pfget_string(pf, key);
  return value != nullptr && *value != '\0';
}

}  // namespace

void RelayConfig::configureFinishLegacyPf(Pf *legacyPf) {
  auto invalid = [&](const char *key, const std::string &expected) {
    m_logMgr->die_initializing("Configuration error: legacy parameter file '" + m_pfname +
                               "' has an invalid '" + key + "' value '" +
                               pfget_string(legacyPf, key) + "': expected " + expected);
  };
  double tooOld = TIME_UNSET, tooNew = TIME_UNSET;
  bool checkUnstuff = false;
  for (auto [key, limit] : {std::pair{"too_old", &tooOld}, std::pair{"too_new", &tooNew}}) {
    if (!hasValue(legacyPf, key)) continue;
    if (!configvalues::readNumber(pfget_string(legacyPf, key), *limit) || *limit <= 0) {
      invalid(key, "a number of seconds greater than 0, or empty for no limit");
    }
  }
  if (hasValue(legacyPf, "check_unstuff") &&
      !configvalues::readBoolean(pfget_string(legacyPf, "check_unstuff"), checkUnstuff)) {
    invalid("check_unstuff", "true or false (or yes/no, y/n, on/off, 1/0)");
  }

  m_logMgr->SCAFFOLD_FEATURE(
      "Ignoring legacy parameter-file parameters 'discards', 'lag_reset', 'lag_trigger', "
      "'test_freq', 'wait_match', 'wait_reject', 'wait_seconds'.");

  std::string endtime;
  if (m_legacyEnd == TIME_LAST) {
    endtime = "last";
  } else {
    endtime = fixedOrEmpty(m_legacyEnd);
  }
  std::string reader =
      line("name", "\t\t\t ", "auto") + line("run", "\t\t\t ", "true") +
      line("direction", "\t\t ", "read") +
      line("read_from_tarnname", "\t ", m_tarnin ? m_tarnin : "") +
      line("read_from_tarntag", "\t ", "") + line("write_to_queue", "\t\t ", kLegacyQueue) +
      line("match", "\t\t\t ", m_match ? m_match : "") +
      line("reject", "\t\t\t ", m_reject ? m_reject : "") +
      line("starttime", "\t\t ", fixedOrEmpty(m_legacyStart)) + line("endtime", "\t\t ", endtime) +
      line("too_old", "\t\t ", fixedOrEmpty(tooOld)) +
      line("too_new", "\t\t ", fixedOrEmpty(tooNew)) +
      line("check_unstuff", "\t\t ", checkUnstuff ? "true" : "false") +
      line("suppress_unstuff_errors", " ", "true");
  std::string writer = line("name", "\t\t\t ", "auto") + line("run", "\t\t\t ", "true") +
                       line("direction", "\t\t ", "write") +
                       line("write_to_tarnname", "\t ", m_tarnout ? m_tarnout : "") +
                       line("write_to_tarntag", "\t ", "") +
                       line("read_from_queue", "\t \t", kLegacyQueue) +
                       line("max_queue", "\t\t ", "100") + line("match", "\t\t\t ", "") +
                       line("reject", "\t\t\t ", "");

  struct {
    const std::string &text;
    const char *failure;
  } connections[] = {
      {reader,
       "Unexpected internal error: failed to construct parameter-file for reader connection"},
      {writer,
       "Unexpected internal error: failed to construct parameter-file for writer connection"}};
  for (const auto &connection : connections) {
    Pf *object = pfnew(PFARR);
    if (pfcompile(connection.text.c_str(), &object) != 0) {
      m_logMgr->die_initializing(connection.failure);
    }
    addConnection(object);
    pffree(object);
  }

  // The connections registered "mainq" already.
  m_statusQueueName = kLegacyQueue;
  m_logQueueName = kLegacyQueue;
  updateLogSink();
}
