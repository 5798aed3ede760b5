#include "tarn/tarn_tag.h"

#include <cstdio>

#include "base/relay_exception.h"
#include "base/time_text.h"
#include "platform/tarnclient/tarnclient.h"
#include "platform/tarnclient/tarnclient_internal.h"
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
  s_tarnTags.emplace(tag->name(), tag);
  return tag;
}

void TarnTag::clearRegistriesForTests() {
  s_tarnTags.clear();
  s_autoTarnTagCount = 0;
  TarnHandle::clearRegistryForTests();
}

const std::string &TarnTag::tarnName() const { return m_tarnHandle->tarnName(); }

std::string TarnTag::getJointName() const { return "<" + m_tarntag + " ='" + tarnName() + "'>"; }

std::string TarnTag::nameAndTarn() const { return "'" + m_tarntag + "' ('" + tarnName() + "')"; }

std::string TarnTag::claimForReader(const std::string &connection) {
  if (!m_reader.empty()) return m_reader;
  m_reader = connection;
  return "";
}

void TarnTag::open(Mode mode) {
  int fd = tarnopen(tarnName().c_str(), mode == Mode::kRead ? "r&" : "w&");
  if (fd < 0)
    throw RelayTarnOpenException("TarnTag::open() failed to open tarnserver " + getJointName());
  if (mode == Mode::kWrite) tarnclient::callerSaysRefusals(fd);
  m_tarnfd.store(fd);
}

int TarnTag::select(const std::string &expression) {
  if (!isOpen()) {
    throw RelayTarnClosedException("TarnTag::select: tarntag '" + m_tarntag + "' is closed.");
  }
  return tarnselect(fd(), expression.c_str());
}

int TarnTag::reject(const std::string &expression) {
  if (!isOpen()) {
    throw RelayTarnClosedException("TarnTag::reject: tarntag '" + m_tarntag + "' is closed.");
  }
  return tarnreject(fd(), expression.c_str());
}

int TarnTag::put(const char *srcname, double pkttime, const char *packet, int nbytes,
                 PutReceipt *receipt, double windowWait, const PutIdentity *identity) {
  if (!isOpen()) throw RelayException("TarnTag::put: tarnserver " + nameAndTarn() + " is not open");
  int rc;
  tarnclient::PutReceipt taken;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    tarnclient::PutIdentity id;
    if (identity) id = tarnclient::PutIdentity{identity->origin, identity->sequence};
    rc = tarnclient::putNumbered(fd(), srcname, pkttime, packet, nbytes, windowWait, &taken,
                                 identity ? &id : nullptr);
  }
  if (rc == tarnclient::kPutWindowFull) return kWindowFull;
  if (receipt) {
    *receipt = PutReceipt{taken.number, taken.acknowledged, taken.refusals, taken.maxPacket};
  }
  if (rc >= 0) return rc;
  throw RelayException("TarnTag::put: failure putting packet on tarn " + nameAndTarn() +
                       " (Packet srcname: " + srcname + " time: " + timeText(pkttime) + ")");
}

uint64_t TarnTag::collectAcknowledgements() { return tarnclient::collectAcknowledgements(fd()); }

int TarnTag::awaitAcknowledged(uint64_t number, double seconds) {
  return tarnclient::awaitAcknowledged(fd(), number, seconds);
}

uint64_t TarnTag::acknowledgedPuts() {
  tarnclient::PutWindow w;
  return tarnclient::putWindow(fd(), w) ? w.acknowledged : 0;
}

uint64_t TarnTag::unacknowledgedPuts() {
  tarnclient::PutWindow w;
  return tarnclient::putWindow(fd(), w) ? w.accepted - w.acknowledged : 0;
}

std::vector<TarnTag::RefusedPut> TarnTag::takeRefusedPuts() {
  std::vector<RefusedPut> out;
  int fd = m_tarnfd.load();
  if (fd < 0) return out;
  for (tarnclient::RefusedPut &r : tarnclient::takeRefusedPuts(fd)) {
    out.push_back({r.number, std::move(r.srcname), r.time, static_cast<long>(r.nbytes),
                   std::move(r.why), r.limit});
  }
  return out;
}

bool TarnTag::linkLost() const {
  int fd = m_tarnfd.load();
  return fd >= 0 && tarnclient::linkLost(fd);
}

uint64_t TarnTag::reconnections() const {
  int fd = m_tarnfd.load();
  return fd >= 0 ? tarnclient::reconnections(fd) : 0;
}

uint64_t TarnTag::ringInstance() const {
  int fd = m_tarnfd.load();
  return fd >= 0 ? tarnclient::ringInstance(fd) : 0;
}

int TarnTag::reap(double timeout, int *pktid, char *srcname, double *time, char **buf, int *nbytes,
                  int *bufsize, uint64_t *origin) {
  uint64_t instance = 0;
  int rc = tarnclient::reapWithInstance(fd(), timeout, pktid, srcname, time, buf, nbytes, bufsize,
                                        &instance);
  if (instance != m_originInstance) {
    uint64_t h = 0xcbf29ce484222325ull;
    auto mix = [&h](unsigned char c) {
      h ^= c;
      h *= 0x100000001b3ull;
    };
    for (int i = 0; i < 8; ++i) mix(static_cast<unsigned char>(instance >> (8 * i)));
    mix(0);
    for (char c : m_identityName.empty() ? m_tarntag : m_identityName)
      mix(static_cast<unsigned char>(c));
    m_originInstance = instance;
    m_origin = instance != 0 ? h : 0;
  }
  *origin = m_origin;
  return rc;
}

uint32_t TarnTag::maxPacketBytes() const {
  int fd = m_tarnfd.load();
  return fd >= 0 ? tarnclient::maxPacketBytes(fd) : 0;
}

uint64_t TarnTag::unacknowledgedBytes() {
  tarnclient::PutWindow w;
  return tarnclient::putWindow(fd(), w) ? w.bytes : 0;
}
