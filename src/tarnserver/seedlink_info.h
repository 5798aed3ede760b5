// The answers to a SeedLink INFO request, built from the ring's sources:
// levels ID, CAPABILITIES, STATIONS, STREAMS and CONNECTIONS. Protocol 3.1 gets XML
// carried in miniSEED log records (one SLINFO packet each); 4.0 gets one
// JSON object (format 'J', subformat 'I').
// Not thread-safe: built on the server's event thread from its ring.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "tarnserver/ring.h"
#include "tarnserver/seedlink_selection.h"
#include "tarnserver/session.h"

namespace tarnserver {

inline constexpr size_t kMaxInfoStreams = 20000;  // streams one answer lists

struct InfoContext {
  const Ring &ring;
  std::string organization;  // the server's name as clients reach it
  std::vector<std::string> capabilities;
  std::vector<ClientListing> connections;  // for level CONNECTIONS
};

// The stream a miniSEED source name stands for; false for any other source.
bool streamOfSource(std::string_view sourceName, StreamId &id);

// The answer text for `level` (upper case) to a client of `version`,
// restricted to stations and streams matching the patterns ("" or "*":
// all). False with the reason in `err` for an unknown level. `work` grows
// by the sources looked at.
bool infoText(const InfoContext &ctx, int version, const std::string &level,
              const std::string &stationPattern, const std::string &streamPattern,
              std::string &text, std::string &err, uint64_t &work);

// 512-byte miniSEED 2 log records (ASCII, channel LOG of station INFO)
// carrying `text` in order, at most 456 bytes each.
std::vector<std::string> infoRecords(std::string_view text);

}  // namespace tarnserver
