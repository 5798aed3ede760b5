// The parameter-file object behind the C interface of pf.h.
//
// One struct serves the three kinds: a value uses `value`; a list uses
// `items`; an associative array uses `items` for its values and `keys` for
// their keys (same positions), with `index` to find a key's position.
//
// Objects nest without a bound the library could check cheaply (a text may
// be compiled into an object that is itself deep inside another), so every
// walk over an object (release, copy, comparison, writing) keeps its own
// stack instead of recursing: no object can exhaust the thread's stack.
//
// Not thread-safe by itself; see pf.h for the rules callers follow.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/pf/pf.h"

struct Pf {
  explicit Pf(int kind) : kind(kind) {}
  ~Pf();
  Pf(const Pf &) = delete;
  Pf &operator=(const Pf &) = delete;

  int kind;                                       // PFSTRING, PFTBL or PFARR
  std::string value;                              // PFSTRING only
  std::vector<std::unique_ptr<Pf>> items;         // PFTBL entries, PFARR values
  std::vector<std::string> keys;                  // PFARR keys, parallel to items
  std::unordered_map<std::string, size_t> index;  // PFARR key -> position
};

namespace pfimpl {

using PfPtr = std::unique_ptr<Pf>;

PfPtr makeValue(std::string text);

// The value of `key` in an associative array, or nullptr.
Pf *arrayFind(const Pf &arr, const std::string &key);

// Sets `key` of an associative array: replaces the entry in its place, or
// appends it. Returns the object now stored.
Pf *arraySet(Pf &arr, const std::string &key, PfPtr value);

// A deep copy.
PfPtr clone(const Pf &pf);

// Same kind, keys, order and values, all the way down.
bool equal(const Pf &a, const Pf &b);

// Moves the entries of `from` into `into` (same kind): an array's entries
// replace or append by key, a list's are appended. `from` is left empty.
void merge(Pf &into, Pf &from);

}  // namespace pfimpl
