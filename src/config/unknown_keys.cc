#include "config/unknown_keys.h"

#include <algorithm>

namespace {

// Edit distance with swaps of neighbours (optimal string alignment).
size_t editDistance(const std::string &a, const std::string &b) {
  std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
  for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    for (size_t j = 1; j <= b.size(); ++j) {
      size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
      }
    }
  }
  return d[a.size()][b.size()];
}

std::string inWhere(const std::string &where) {
  return where.empty() ? "at the top level" : "in " + where;
}

std::string path(const std::string &where, const std::string &key) {
  return where.empty() ? key : where + "{" + key + "}";
}

// How an entry of a list is named: "connection 'NAME'" or "LIST #N".
std::string entryName(Pf *entry, const std::string &list, int index) {
  const char *name = pfget_string(entry, "name");
  if (name && *name)
    return "connection '" + std::string(name) + "' (" + list + " #" + std::to_string(index) + ")";
  return list + " #" + std::to_string(index);
}

void collect(Pf *pf, const KeyTable &table, const std::string &where,
             std::vector<std::string> &found) {
  if (pfkind(pf) != PFARR) return;
  int count = pfmaxtbl(pf);
  for (int i = 0; i < count; ++i) {
    const char *key = pfkey_index(pf, i);
    if (!key) continue;
    if (std::find(table.keys.begin(), table.keys.end(), key) != table.keys.end()) continue;
    std::string text = "Unknown key '" + std::string(key) + "' " + inWhere(where) + " (ignored)";
    std::string near = closestKey(key, table.keys);
    found.push_back(near.empty() ? text : text + "; did you mean '" + near + "'?");
  }
  for (const KeyTable::Nested &nested : table.nested) {
    Pf *inner = nullptr;
    if (pfget(pf, nested.key.c_str(), &inner) == PFINVALID || !inner) continue;
    std::string innerWhere = path(where, nested.key);
    if (!nested.list) {
      collect(inner, *nested.table, innerWhere, found);
      continue;
    }
    if (pfkind(inner) != PFTBL) continue;
    int entries = pfmaxtbl(inner);
    for (int i = 0; i < entries; ++i) {
      Pf *entry = nullptr;
      if (pfget_index(inner, i, &entry) == PFARR) {
        collect(entry, *nested.table, entryName(entry, innerWhere, i), found);
      }
    }
  }
}

}  // namespace

std::string closestKey(const std::string &key, const std::vector<std::string> &known) {
  size_t limit = key.size() <= 4 ? 1 : 2;
  std::string best;
  size_t bestDistance = limit + 1;
  for (const std::string &candidate : known) {
    // Lengths further apart than the limit are further apart in edits too;
    // this also keeps a very long key from costing a large table.
    if (candidate.size() + limit < key.size() || key.size() + limit < candidate.size()) continue;
    size_t distance = editDistance(key, candidate);
    if (distance < bestDistance) {
      bestDistance = distance;
      best = candidate;
    }
  }
  return best;
}

std::vector<std::string> unknownKeys(Pf *pf, const KeyTable &table, const std::string &where) {
  std::vector<std::string> found;
  collect(pf, table, where, found);
  return found;
}
