// TarnHandle: one tarn server name, spelled as configured, and the tag names
// configured for it.
//
// Handles live in a process-wide registry keyed by tarn name; entries are
// added during configuration and never removed. The registry is not locked:
// it is filled on the main thread before any other thread starts, and only
// read afterwards.
#pragma once

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

class TarnHandle {
 public:
  explicit TarnHandle(std::string tarnname);

  // Appends a tag name unless the handle has it already.
  void addTarnTag(std::string name);
  // The first tag name configured for this tarn name, or "" when none.
  std::string getFirstTarnTag();
  const std::string &tarnName() const { return m_tarnname; }

  // The handle registered for `name`. Unregistered: created and registered
  // when `create` is true, else RelayDNEException.
  static std::shared_ptr<TarnHandle> getTarnHandle(std::string name, bool create);
  // For tests only (through TarnTag::clearRegistriesForTests): forgets every
  // registered handle.
  static void clearRegistryForTests() { s_tarnHandles.clear(); }

 private:
  std::string m_tarnname;
  std::vector<std::string> m_tarntags;  // in the order first added, no duplicates

  static std::unordered_map<std::string, std::shared_ptr<TarnHandle>> s_tarnHandles;
};
