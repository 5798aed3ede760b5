#include "connection/source_filter.h"

SourceFilter::SourceFilter(const std::string &match, const std::string &reject) {
  m_hasMatch = !match.empty() && compile(match, m_match);
  m_hasReject = !reject.empty() && compile(reject, m_reject);
  // An expression that does not compile matches nothing: a bad match passes
  // no name, a bad reject rejects none.
  m_badMatch = !match.empty() && !m_hasMatch;
}

SourceFilter::~SourceFilter() {
  if (m_hasMatch) regfree(&m_match);
  if (m_hasReject) regfree(&m_reject);
}

bool SourceFilter::compile(const std::string &expression, regex_t &compiled) {
  // Anchored: the expression must match the whole name.
  std::string whole = "^(" + expression + ")$";
  return regcomp(&compiled, whole.c_str(), REG_EXTENDED | REG_NOSUB) == 0;
}

bool SourceFilter::passes(const std::string &srcname) {
  auto it = m_verdicts.find(srcname);
  if (it != m_verdicts.end()) return it->second;
  bool verdict = !m_badMatch;
  if (verdict && m_hasMatch) verdict = regexec(&m_match, srcname.c_str(), 0, nullptr, 0) == 0;
  if (verdict && m_hasReject) verdict = regexec(&m_reject, srcname.c_str(), 0, nullptr, 0) != 0;
  if (m_verdicts.size() >= kMaxRemembered) m_verdicts.clear();
  m_verdicts.emplace(srcname, verdict);
  return verdict;
}
