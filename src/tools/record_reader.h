// RecordReader: the miniSEED records of one file, one at a time, each one
// checked as a reader with check_unstuff would check it (the records that
// `tarn import` puts).
//
// The file is read through a window of a few MiB: at least 1 MiB (the
// largest record libmseed reads) is in view from the current offset while
// the file has it, so a file of any size takes no more memory than its
// window. Damage on the way (a record that does not check, or bytes where
// no record header starts) is named on standard error with the file, byte
// offset, why and how many bytes were skipped, and counted; reading goes on
// at the next offset where a record header starts: right after the bad
// record when one starts there, else the first one, byte by byte, after the
// bad bytes' first one.
//
// Thread-safety: one thread at a time.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "platform/mseed/mseed_record.h"

namespace tarntool {

class RecordReader {
 public:
  static constexpr size_t kLookahead = size_t{1} << 20;

  // `window` bytes of the file are held at a time (at least 2 * kLookahead).
  RecordReader(std::string path, size_t window);
  ~RecordReader();
  RecordReader(const RecordReader &) = delete;
  RecordReader &operator=(const RecordReader &) = delete;

  // Opens the file; false, said on standard error, when it cannot.
  bool open();
  // Moves on to the next record that checks: true with it current, false
  // at the end of the file or when the file cannot be read (said on
  // standard error; failed() is then true).
  bool next();

  // The current record: its header, bytes (valid until the next call of
  // next()), length and byte offset in the file.
  const mseed::Record &record() const { return m_records.front(); }
  const char *bytes() const { return m_buf.data() + m_pos; }
  int length() const { return m_length; }
  uint64_t offset() const { return m_base + m_pos; }
  const std::string &path() const { return m_path; }

  // Read to its end without an error.
  bool finished() const { return m_finished; }
  bool failed() const { return m_failed; }
  // Stretches of damage skipped so far.
  long skipped() const { return m_skipped; }

 private:
  // Reads ahead when fewer than kLookahead bytes are in view; false with the
  // reason in err when the file cannot be read.
  bool fill(std::string &err);
  size_t size() const { return m_end - m_pos; }
  void skip(size_t n) { m_pos += std::min(n, size()); }
  // Goes on to the next offset where a record header starts, or to the end.
  bool resync(std::string &err);
  // Skips the damage at the current offset and says so.
  bool skipDamage(int length, const std::string &problem, std::string &err);

  const std::string m_path;
  FILE *m_file = nullptr;
  std::vector<char> m_buf;
  size_t m_pos = 0, m_end = 0;
  uint64_t m_base = 0;  // the file offset of m_buf[0]
  bool m_eof = false;
  int m_length = 0;  // of the current record; 0: none
  bool m_finished = false, m_failed = false;
  long m_skipped = 0;
  std::vector<mseed::Record> m_records;
};

}  // namespace tarntool
