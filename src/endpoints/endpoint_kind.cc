#include "endpoints/endpoint_kind.h"

#include <string>

#include "base/relay_log.h"
#include "endpoints/jetstream_kind.h"
#include "endpoints/sds_kind.h"
#include "endpoints/seedlink_kind.h"
#include "endpoints/tarn_kind.h"

namespace {

Direction opposite(Direction d) {
  return d == Direction::kRead ? Direction::kWrite : Direction::kRead;
}

const std::vector<const char *> &commonKeys(Direction d) {
  return d == Direction::kRead ? readerKeys() : writerKeys();
}

const char *queueKey(Direction d) {
  return d == Direction::kRead ? "write_to_queue" : "read_from_queue";
}

}  // namespace

// The kind whose claim key holds a value (a kind after the first before the
// first, which also takes the entries nobody claims).
const EndpointKind &entryKind(const ConnectionEntry &entry) {
  const auto &kinds = endpointKinds();
  for (size_t i = 1; i < kinds.size(); ++i) {
    for (const char *key : kinds[i]->side(entry.direction()).claimKeys) {
      if (!entry.text(key).empty()) return *kinds[i];
    }
  }
  return *kinds.front();
}

namespace {

void checkRequired(const ConnectionEntry &entry, const EndpointKind &kind) {
  std::vector<const char *> keys = kind.side(entry.direction()).required;
  const auto &common = commonKeys(entry.direction());
  keys.insert(keys.end(), common.begin(), common.end());
  for (const char *key : keys) {
    if (!entry.has(key)) {
      entry.log().die_initializing("Configuration error: connection '" + entry.name() +
                                   "' is missing parameter '" + key + "'");
    }
  }
}

// The other direction's keys, of every kind: the first kind's, the keys
// every connection of that direction has, then the other kinds'.
void refuseOtherDirection(const ConnectionEntry &entry) {
  Direction other = opposite(entry.direction());
  std::vector<const char *> keys;
  const auto &kinds = endpointKinds();
  for (size_t i = 0; i < kinds.size(); ++i) {
    const auto &own = kinds[i]->side(other).keys;
    keys.insert(keys.end(), own.begin(), own.end());
    if (i == 0) keys.insert(keys.end(), commonKeys(other).begin(), commonKeys(other).end());
  }
  for (const char *key : keys) {
    if (entry.has(key)) entry.die(std::string("cannot have parameter '") + key + "'");
  }
}

// A key that only means something with another kind's claim: a stream
// without its servers is surely a server key forgotten.
void refuseUnclaimedKeys(const ConnectionEntry &entry, const EndpointKind &kind) {
  for (const EndpointKind *other : endpointKinds()) {
    if (other == &kind) continue;
    const EndpointKind::Side &side = other->side(entry.direction());
    for (const char *key : side.needClaim) {
      if (entry.text(key).empty()) continue;
      entry.die(std::string("has '") + key + "' but no '" + side.claimKeys.front() + "'");
    }
  }
}

// Exactly one claim key of the direction holds a value.
void checkClaims(const ConnectionEntry &entry) {
  std::vector<const char *> given;
  for (const EndpointKind *kind : endpointKinds()) {
    for (const char *key : kind->side(entry.direction()).claimKeys) {
      if (!entry.text(key).empty()) given.push_back(key);
    }
  }
  if (given.size() >= 2) {
    entry.die(std::string("may not specify both '") + given[0] + "' and '" + given[1] + "'");
  }
  if (!given.empty()) return;
  std::string either;
  for (const char *key : endpointKinds().front()->side(entry.direction()).claimKeys) {
    either += either.empty() ? "either '" : "' or '";
    either += key;
  }
  entry.die("must specify " + either + "'");
}

}  // namespace

const std::vector<const EndpointKind *> &endpointKinds() {
  static const std::vector<const EndpointKind *> kinds = {&kTarnKind, &kJetStreamKind, &kSdsKind,
                                                          &kSeedLinkKind};
  return kinds;
}

const std::vector<const char *> &readerKeys() {
  static const std::vector<const char *> keys = {
      "write_to_queue",         "starttime", "endtime", "too_old", "too_new", "check_unstuff",
      "suppress_unstuff_errors"};
  return keys;
}

const std::vector<const char *> &writerKeys() {
  static const std::vector<const char *> keys = {"read_from_queue"};
  return keys;
}

bool entryDirection(Pf *entry, Direction &direction) {
  for (const EndpointKind *kind : endpointKinds()) {
    for (Direction d : {Direction::kRead, Direction::kWrite}) {
      for (const char *key : kind->side(d).claimKeys) {
        if (pfget_string(entry, key)) {
          direction = d;
          return true;
        }
      }
    }
  }
  return false;
}

std::vector<const char *> claimKeys(Direction direction) {
  std::vector<const char *> keys;
  for (const EndpointKind *kind : endpointKinds()) {
    const auto &own = kind->side(direction).claimKeys;
    keys.insert(keys.end(), own.begin(), own.end());
  }
  return keys;
}

const EndpointKind &vetEntry(const ConnectionEntry &entry) {
  const EndpointKind &kind = entryKind(entry);
  checkRequired(entry, kind);
  refuseOtherDirection(entry);
  refuseUnclaimedKeys(entry, kind);
  checkClaims(entry);
  if (const auto vet = kind.side(entry.direction()).vet) vet(entry);
  // A connection without a queue would only fail once its thread starts.
  const char *queue = queueKey(entry.direction());
  if (entry.text(queue).empty()) entry.die(std::string("must name its queue in '") + queue + "'");
  return kind;
}

std::vector<const char *> allEndpointKeys() {
  std::vector<const char *> keys;
  for (Direction d : {Direction::kRead, Direction::kWrite}) {
    keys.insert(keys.end(), commonKeys(d).begin(), commonKeys(d).end());
    for (const EndpointKind *kind : endpointKinds()) {
      const auto &own = kind->side(d).keys;
      keys.insert(keys.end(), own.begin(), own.end());
    }
  }
  return keys;
}
