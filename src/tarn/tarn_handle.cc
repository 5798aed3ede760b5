#include "tarn/tarn_handle.h"

#include <algorithm>

#include "base/relay_exception.h"

std::unordered_map<std::string, std::shared_ptr<TarnHandle>> TarnHandle::s_tarnHandles;

TarnHandle::TarnHandle(std::string tarnname) : m_tarnname(std::move(tarnname)) {}

void TarnHandle::addTarnTag(std::string name) {
  if (std::find(m_tarntags.begin(), m_tarntags.end(), name) == m_tarntags.end()) {
    m_tarntags.push_back(std::move(name));
  }
}

std::string TarnHandle::getFirstTarnTag() {
  return m_tarntags.empty() ? std::string() : m_tarntags.front();
}

std::shared_ptr<TarnHandle> TarnHandle::getTarnHandle(std::string name, bool create) {
  auto found = s_tarnHandles.find(name);
  if (found != s_tarnHandles.end()) return found->second;
  if (!create) {
    throw RelayDNEException("TarnHandle::getTarnHandle: No configured record of tarnname '" + name +
                            "'");
  }
  auto handle = std::make_shared<TarnHandle>(name);
  s_tarnHandles.emplace(name, handle);
  return handle;
}
