// The statefile's text: one line per reader's saved position, between a
// fixed first line and an "end N" line that counts the positions, so that a
// file cut short is recognised (see docs/statefile.md). Files of the first
// version, which named a reader by its tarn name as written and its tag, and
// of the second, which did not keep the name the reader's packets are
// identified by, are read too; they are always written in the current one.
//
// Pure functions; safe from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace statefile {

// One reader's saved position. The reader is named by its server's address
// (empty for a position from a first-version file, which knew only the tarn
// name as written), its select and reject expressions and its own name; the
// tarn name as written is kept for people and for such old positions.
//
// A reader of a server that numbers packets by sequence (a SeedLink server)
// keeps one position per stream of its selection (a station): `kind` names
// the server's kind, `address` the server as configured, `select` the
// selection, `owner` the reader and `stream` the stream; `sequence` is the
// last one done there. Such positions have an empty `tarn`.
struct SavedPosition {
  std::string address, tarn, select, reject, owner;
  // What the identities of the reader's packets are made from (with the
  // source ring's instance), kept so that a restart gives a packet read
  // again the identity it had; empty in positions of older versions.
  std::string identity;
  int32_t id = -1;
  double time = 0.0;
  bool at = false;           // resume at the packet itself rather than after it
  double seen = 0;           // when a reader last held it (epoch seconds, whole)
  std::string kind, stream;  // a sequence position's: both non-empty
  uint64_t sequence = 0;

  bool bySequence() const { return !kind.empty(); }

  // The names joined: two positions with the same key belong to the same
  // reader.
  std::string key() const;
};

// The whole text of a statefile holding `positions`; `now` (epoch seconds)
// goes into a comment.
std::string formatStatefile(const std::vector<SavedPosition> &positions, double now);

// Reads a statefile's text. False with `error` naming what is wrong (the
// line number included) when the text is empty, cut short or not a
// statefile; `positions` is then empty.
bool parseStatefile(const std::string &text, std::vector<SavedPosition> &positions,
                    std::string &error);

}  // namespace statefile
