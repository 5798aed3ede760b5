#include "tarn/tarn_tag.h"

#include <cstdio>
#include <cstdlib>

#include "base/relay_exception.h"
#include "base/time_text.h"
#include "config/relay_config.h"
#include "managers/relay_log_mgr.h"
#include "platform/tarnclient/tarnclient.h"
#include "platform/tarnclient/tarnclient_internal.h"
#include "platform/time/epochtime.h"
#include "tarn/tarn_handle.h"

std::unordered_map<std::string, std::shared_ptr<TarnTag>> TarnTag::s_tarnTags;
int TarnTag::s_autoTarnTagCount = 0;

TarnTag::TarnTag(std::string tagname, std::string tarnname) : m_tarntag(std::move(tagname)) {
  m_tarnHandle = TarnHandle::getTarnHandle(std::move(tarnname), true);
  m_tarnHandle->addTarnTag(m_tarntag);
}

TarnTag::TarnTag(std::string tarnname) {
  try {
    m_tarnHandle = TarnHandle::getTarnHandle(tarnname, false);
    m_tarntag = m_tarnHandle->getFirstTarnTag();
  } catch (const RelayDNEException &) {
    m_tarnHandle = TarnHandle::getTarnHandle(tarnname, true);
    char name[32];
    std::snprintf(name, sizeof name, "tarntag%04d", ++s_autoTarnTagCount);
    m_tarntag = name;
    m_tarnHandle->addTarnTag(m_tarntag);
  }
}

std::shared_ptr<TarnTag> TarnTag::getTarnTag(std::string tagname, std::string tarnname,
                                             bool create) {
  auto found = s_tarnTags.find(tagname);
  if (found != s_tarnTags.end()) return found->second;
  if (!create) {
    throw RelayDNEException("TarnTag::getTarnTag: No configured record of tarntag '" + tagname +
                            "'");
  }
  auto tag = std::make_shared<TarnTag>(tagname, std::move(tarnname));
  s_tarnTags.emplace(tagname, tag);
  return tag;
}

std::shared_ptr<TarnTag> TarnTag::createTarnTagFromTarnName(std::string tarnname) {
  auto tag = std::make_shared<TarnTag>(std::move(tarnname));
  s_tarnTags.emplace(tag->getString("tarntag"), tag);
  return tag;
}

void TarnTag::clearRegistriesForTests() {
  s_tarnTags.clear();
  s_autoTarnTagCount = 0;
  TarnHandle::clearRegistryForTests();
}

void TarnTag::open(std::string direction) {
  const char *mode = nullptr;
  if (direction == "read") {
    mode = "r&";
  } else if (direction == "write") {
    mode = "w&";
  } else {
    relayLog()->die_initializing("Unexpected internal error: TarnTag::open direction must be 'read' or 'write'.");
  }
  std::string tarnname = m_tarnHandle->getString("tarnname");
  m_tarnfd = tarnopen(tarnname.c_str(), mode);
  if (m_tarnfd < 0) {
    throw RelayTarnOpenException("TarnTag::open() failed to open tarnserver " + getJointName());
  }
  relayLog()->verbose("Connected to tarn " + getJointName() +
                 (direction == "read" ? " for reading" : " for writing"));
}

bool TarnTag::isOpen() { return m_tarnfd >= 0; }

int TarnTag::select(std::string expression) {
  if (!isOpen()) {
    throw RelayTarnClosedException("TarnTag::select: tarntag '" + m_tarntag + "' is closed.");
  }
  m_select = std::move(expression);
  return tarnselect(m_tarnfd, m_select.c_str());
}

int TarnTag::reject(std::string expression) {
  if (!isOpen()) {
    throw RelayTarnClosedException("TarnTag::reject: tarntag '" + m_tarntag + "' is closed.");
  }
  m_reject = std::move(expression);
  return tarnreject(m_tarnfd, m_reject.c_str());
}

int TarnTag::put(char *srcname, double pkttime, char *packet, int nbytes, PutReceipt *receipt,
                 double windowWait) {
  if (!isOpen()) {
    throw RelayException("TarnTag::put: tarnserver " + getString("tarntagandname") +
                         " is not open");
  }
  int rc;
  tarnclient::PutReceipt taken;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    rc = tarnclient::putNumbered(m_tarnfd, srcname, pkttime, packet, nbytes, windowWait, &taken);
  }
  if (rc == tarnclient::kPutWindowFull) return kWindowFull;
  if (receipt) *receipt = PutReceipt{taken.number, taken.acknowledged};
  if (rc >= 0) return rc;
  throw RelayException("TarnTag::put: failure putting packet on tarn " +
                       getString("tarntagandname") + " (Packet srcname: " + srcname +
                       " time: " + timeText(pkttime) + ")");
}

uint64_t TarnTag::collectAcknowledgements() {
  return tarnclient::collectAcknowledgements(m_tarnfd);
}

int TarnTag::awaitAcknowledged(uint64_t number, double seconds) {
  return tarnclient::awaitAcknowledged(m_tarnfd, number, seconds);
}

uint64_t TarnTag::unacknowledgedPuts() {
  tarnclient::PutWindow w;
  return tarnclient::putWindow(m_tarnfd, w) ? w.accepted - w.acknowledged : 0;
}

uint64_t TarnTag::unacknowledgedBytes() {
  tarnclient::PutWindow w;
  return tarnclient::putWindow(m_tarnfd, w) ? w.bytes : 0;
}

std::string TarnTag::getJointName() {
  return "<" + m_tarntag + " ='" + m_tarnHandle->getString("tarnname") + "'>";
}

int TarnTag::getInt(std::string key) {
  if (key == "tarnfd") return m_tarnfd;
  if (key == "pktid") return m_pktid.load();
  relayLog()->dieNoKey(key, "TarnTag::getInt");
}

void TarnTag::setInt(std::string key, int value) {
  if (key != "pktid") {
    relayLog()->dieNoKey(key, "TarnTag::setInt");
  }
  m_pktid.store(value);
}

double TarnTag::getDouble(std::string key) {
  if (key == "pkttime") return m_pkttime.load();
  relayLog()->dieNoKey(key, "TarnTag::getDouble");
}

void TarnTag::setDouble(std::string key, double value) {
  if (key != "pkttime") {
    relayLog()->dieNoKey(key, "TarnTag::setDouble");
  }
  m_pkttime.store(value);
}

std::string TarnTag::getString(std::string key) {
  if (key == "tarntag") return m_tarntag;
  if (key == "tarnname") return m_tarnHandle->getString("tarnname");
  if (key == "tarntagandname") {
    return "'" + m_tarntag + "' ('" + m_tarnHandle->getString("tarnname") + "')";
  }
  relayLog()->dieNoKey(key, "TarnTag::getString");
}
