// SourceFilter: a reader's match and reject expressions applied by the relay
// itself, for sources that do not select on the server (a JetStream stream).
// As a tarn server applies them: POSIX extended expressions matched against
// the whole source name; a name passes when the match is empty or matches
// it, and the reject is empty or does not. Verdicts are remembered per name.
//
// Failures: an expression that does not compile ends nothing here (the
// configuration checks them first); it then matches nothing.
// Thread-safety: one thread at a time.
#pragma once

#include <regex.h>

#include <string>
#include <unordered_map>

class SourceFilter {
 public:
  SourceFilter(const std::string &match, const std::string &reject);
  ~SourceFilter();
  SourceFilter(const SourceFilter &) = delete;
  SourceFilter &operator=(const SourceFilter &) = delete;

  bool passes(const std::string &srcname);

 private:
  // The verdicts remembered, at most this many (then forgotten together).
  static constexpr size_t kMaxRemembered = 100000;
  bool compile(const std::string &expression, regex_t &compiled);
  bool m_hasMatch = false, m_hasReject = false, m_badMatch = false;
  regex_t m_match{}, m_reject{};
  std::unordered_map<std::string, bool> m_verdicts;
};
