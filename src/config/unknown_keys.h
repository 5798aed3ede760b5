// The keys of a parameter file that the relay does not know: each is
// ignored, as it always was, but named once at start-up with the table that
// holds it and, when one is close, the known key it was probably meant to be
// ("Unknown key 'pfstatusreprot' in time_intervals_sec (ignored); did you
// mean 'pfstatusreport'?").
//
// KeyTable describes what the relay reads of one associative array: its
// known keys, and for those that are arrays themselves, what they hold.
// unknownKeys walks a file's array along such a description and returns one
// text per unknown key, in the order of the file; a known key whose value is
// not an array where the description expects one is left to the checks that
// read it. Stateless and thread-safe.
#pragma once

#include <string>
#include <vector>

#include "platform/pf/pf.h"

struct KeyTable {
  std::vector<std::string> keys;  // every key the relay reads here
  // Arrays inside: the key and what it holds. A list of arrays (such as
  // "connections") is described by the table of its entries and `list`.
  struct Nested {
    std::string key;
    const KeyTable *table;
    bool list = false;
  };
  std::vector<Nested> nested{};
};

// The known key nearest to `key` by edit distance (a swap of two neighbours
// counts as one edit), if it is near enough to be a misspelling: at most one
// edit for keys of up to four characters, two for longer ones. "" when none is.
std::string closestKey(const std::string &key, const std::vector<std::string> &known);

// One text per key of `pf` that `table` does not know, nested arrays
// included: "Unknown key 'KEY' in WHERE (ignored)" plus "; did you mean 'KNOWN'?" when
// one is near. `where` names `pf` itself (empty at the top of a file: "at the
// top level"). A list entry is named by its "name" key when it has one, else
// by its index ("connections #2").
std::vector<std::string> unknownKeys(Pf *pf, const KeyTable &table, const std::string &where = "");
