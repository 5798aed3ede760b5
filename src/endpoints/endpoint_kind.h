// The kinds of server a connection can read from or write to, as one table:
// for each kind, which keys claim an entry, which keys it has, its own
// checks and the factories of its adapters (endpoint.h). The configuration
// knows no kind by name: it asks the table which kind an entry is, vets the
// entry by the table's rules and has the kind make the adapter.
//
// The rules, for an entry of direction D claimed by kind K:
//  - the entry is K's when one of K's claim keys holds a value; an entry no
//    kind claims is the first kind's (tarn), whose error then names its keys;
//  - every key of K's side D that it requires, and every key that all
//    connections of direction D have, is present;
//  - no key of the other direction is present, of any kind;
//  - another kind's keys of direction D may be present (defaults shared by
//    every writer, say), but its claim keys and the keys that need its claim
//    must be empty;
//  - exactly one claim key holds a value; K's own checks; the queue is named.
//
// Adding a kind is one adapter pair and one row here (docs/design.md).
#pragma once

#include <memory>
#include <vector>

#include "base/relay_context.h"
#include "connection/endpoint.h"
#include "connection/relay_connection.h"
#include "endpoints/connection_entry.h"

struct EndpointKind {
  struct Side {
    std::vector<const char *> claimKeys{};  // a value in one makes the entry this kind's
    std::vector<const char *> keys{};       // every key of this side, claim keys first
    std::vector<const char *> required{};   // present in every entry (perhaps empty)
    std::vector<const char *> needClaim{};  // a value in one needs a claim key's too
    void (*vet)(const ConnectionEntry &entry) = nullptr;  // its own checks, or none
  };
  const char *name;
  Side reader;
  Side writer;
  // The adapters; they read and check the entry's values of their kind.
  std::unique_ptr<PacketSource> (*makeSource)(const ConnectionEntry &entry,
                                              const ReaderSettings &settings,
                                              const RelayContext &context);
  std::unique_ptr<PacketDestination> (*makeDestination)(const ConnectionEntry &entry,
                                                        const RelayContext &context);

  const Side &side(Direction direction) const {
    return direction == Direction::kRead ? reader : writer;
  }
};

// Every kind, the default (tarn) first.
const std::vector<const EndpointKind *> &endpointKinds();

// The keys every reader has and every writer has, whatever its kind.
const std::vector<const char *> &readerKeys();
const std::vector<const char *> &writerKeys();

// The direction an entry's own keys (without defaults) ask for: the side of
// the first claim key present, in table order; false when there is none.
bool entryDirection(Pf *entry, Direction &direction);
// Every kind's claim keys of one direction, in table order: the keys one of
// which names a connection's server.
std::vector<const char *> claimKeys(Direction direction);

// The kind that claims a complete entry.
const EndpointKind &entryKind(const ConnectionEntry &entry);
// Vets a complete entry against the rules above and returns its kind; the
// first violation ends the process.
const EndpointKind &vetEntry(const ConnectionEntry &entry);

// Every key a connection entry may hold for any kind, besides run, name,
// match, reject and direction: each must be a single value.
std::vector<const char *> allEndpointKeys();
