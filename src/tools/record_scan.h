// scanRecords: the whole miniSEED records in a stretch of a file that is
// still being written, as `tarn import --follow` takes them.
//
// A record counts once every byte of it is there and it checks as a reader
// with check_unstuff would check it; bytes at the end that are not a whole
// record yet are left for a later look. Every decision depends only on bytes
// at fixed distances from where it is taken, never on how much of the file
// is in view: a look at a longer stretch decides the bytes a shorter look
// decided the same way, then goes on. So a file read again from a saved
// offset, after a restart, splits into the same records, and the k-th record
// after that offset is the same record every time.
//
// - Whether a record header starts at an offset is decided from exactly the
//   128 bytes there (the smallest record): its length must be given by a
//   blockette 1000 within them, as writers put it.
// - A record that does not check, or bytes where no header starts, are
//   damage, skipped up to the next offset where a record header starts. Until
//   such a header is in view the bytes wait: the rest may still come.
//
// Thread-safety: a function of its arguments alone.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "platform/mseed/mseed_record.h"

namespace tarntool {

struct ScannedRecord {
  size_t at = 0;  // offset in the bytes scanned
  int length = 0;
  mseed::Record header;
};

struct ScannedDamage {
  size_t at = 0, length = 0;
  std::string why;
};

struct RecordScan {
  std::vector<ScannedRecord> records;  // in file order
  std::vector<ScannedDamage> damage;
  size_t stop = 0;    // where the next look starts: after the last record or damage
  bool full = false;  // it stopped at maxRecords
};

// The bytes a header is decided from.
inline constexpr size_t kHeaderProbe = 128;

// Scans bytes[0, n): only records and damage that start before `until`
// (n when larger), at most `maxRecords` records.
RecordScan scanRecords(const char *bytes, size_t n, size_t until, size_t maxRecords);

}  // namespace tarntool
