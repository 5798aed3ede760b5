#include "tools/record_reader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace tarntool {
namespace {

// check's text without the "record at byte 0: " it starts with for a
// single record: the caller names the offset in the file.
std::string why(const std::string &problem) {
  const std::string prefix = "record at byte 0: ";
  return problem.compare(0, prefix.size(), prefix) == 0 ? problem.substr(prefix.size()) : problem;
}

}  // namespace

RecordReader::RecordReader(std::string path, size_t window)
    : m_path(std::move(path)), m_buf(std::max(window, 2 * kLookahead)) {}

RecordReader::~RecordReader() {
  if (m_file) std::fclose(m_file);
}

bool RecordReader::open() {
  m_file = std::fopen(m_path.c_str(), "rb");
  if (m_file) return true;
  std::fprintf(stderr, "tarn import: %s: cannot read: %s\n", m_path.c_str(), std::strerror(errno));
  m_failed = true;
  return false;
}

bool RecordReader::fill(std::string &err) {
  if (size() >= kLookahead || m_eof) return true;
  std::memmove(m_buf.data(), m_buf.data() + m_pos, size());
  m_base += m_pos;
  m_end -= m_pos;
  m_pos = 0;
  while (m_end < m_buf.size() && !m_eof) {
    size_t n = std::fread(m_buf.data() + m_end, 1, m_buf.size() - m_end, m_file);
    m_end += n;
    if (n > 0) continue;
    if (std::ferror(m_file)) {
      err = std::strerror(errno);
      return false;
    }
    m_eof = true;
  }
  return true;
}

bool RecordReader::resync(std::string &err) {
  for (;;) {
    if (!fill(err)) return false;
    if (size() == 0 || mseed::recordLength(bytes(), size()) > 0) return true;
    skip(1);
  }
}

bool RecordReader::skipDamage(int length, const std::string &problem, std::string &err) {
  uint64_t at = offset();
  size_t inView = std::min(static_cast<size_t>(std::max(length, 0)), size());
  // The next record: right after this one when its header starts there,
  // else the first header after this record's (or these bytes') start.
  bool nextAtLength = length > 0 && inView == static_cast<size_t>(length) &&
                      mseed::recordLength(bytes() + length, size() - inView) > 0;
  skip(nextAtLength ? inView : 1);
  if (!nextAtLength && !resync(err)) return false;
  std::fprintf(stderr, "tarn import: %s: %s %llu: %s; %llu bytes skipped\n", m_path.c_str(),
               length > 0 ? "record at byte" : "byte", static_cast<unsigned long long>(at),
               why(problem).c_str(), static_cast<unsigned long long>(offset() - at));
  ++m_skipped;
  return true;
}

bool RecordReader::next() {
  if (!m_file || m_finished || m_failed) return false;
  skip(static_cast<size_t>(m_length));
  m_length = 0;
  std::string err;
  while (fill(err)) {
    if (size() == 0) {
      m_finished = true;
      return false;
    }
    int length = mseed::recordLength(bytes(), size());
    size_t inView = std::min(static_cast<size_t>(std::max(length, 0)), size());
    m_records.clear();
    std::string problem =
        mseed::check(bytes(), length > 0 ? inView : size(), length > 0 ? &m_records : nullptr);
    if (problem.empty()) {
      m_length = length;
      return true;
    }
    if (!skipDamage(length, problem, err)) break;
  }
  std::fprintf(stderr, "tarn import: %s: cannot read at byte %llu: %s\n", m_path.c_str(),
               static_cast<unsigned long long>(offset()), err.c_str());
  m_failed = true;
  return false;
}

}  // namespace tarntool
