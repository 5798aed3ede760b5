// TarnTag's positioning: where the next reap starts.
#include <cstdint>

#include "base/relay_exception.h"
#include "platform/statefile/statefile.h"
#include "platform/tarnclient/tarnclient.h"
#include "tarn/tarn_tag.h"

namespace {

// The seek code of the newest packet the tag would deliver.
constexpr int kSeekNewest = -14;

}  // namespace

bool pktidAfter(int a, int b) {
  constexpr int64_t kIds = int64_t{1} << 31;  // 0 .. 2147483647
  int64_t distance = (int64_t{a} - b) % kIds;
  if (distance < 0) distance += kIds;
  return distance > 0 && distance < kIds / 2;
}

int TarnTag::after(double time) {
  if (!isOpen()) {
    throw RelayTarnClosedException("TarnTag::after: tarntag '" + m_tarntag + "' is closed.");
  }
  int rc = tarnafter(fd(), time);
  if (rc >= 0) return rc;
  throw RelayTarnPositioningException("TarnTag::after: failed to reposition tarntag '" + m_tarntag +
                                      "' (tarnafter failure, rc=" + std::to_string(rc) + ")");
}

int TarnTag::getNewestPktid() {
  if (!isOpen()) {
    throw RelayTarnClosedException("TarnTag::getNewestPktid: tarntag '" + m_tarntag +
                                   "' is closed.");
  }
  int current = tarntell(fd());
  int newest = tarnseek(fd(), kSeekNewest);
  int back = tarnseek(fd(), current);
  if (back != current) {
    throw RelayTarnPositioningException("TarnTag::getNewestPktid: failed to reposition tarntag '" +
                                        m_tarntag + "' back to current pktid " +
                                        std::to_string(current));
  }
  return newest;
}

int TarnTag::positionNewest() { return tarnposition(fd(), "newest"); }

int TarnTag::nextPktid() { return tarntell(fd()); }

int TarnTag::resurrect(const std::string &owner, std::string &identity) {
  int rc = tarnresurrect(fd(), m_readPosition, owner, m_tarntag, &identity);
  setIdentityName(identity);
  return rc;
}

void TarnTag::setIdentityName(const std::string &name) {
  m_identityName = name;
  m_originInstance = 0;  // worked out again at the next reap
  m_origin = 0;
}
