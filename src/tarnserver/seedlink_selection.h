// What a SeedLink client selects: stations (STATION) and, per station,
// streams (SELECT), as both protocol versions write them, plus the times
// their commands carry.
//
// Patterns take '?' (one character) and '*' (any run). Stream selectors:
//  - the 3.1 form LLCCC[.T]: a channel pattern of up to three characters,
//    optionally after a location pattern ("BHZ", "00BH?", "??HH*.D"); an
//    empty location is written "--" (or matched by "??");
//  - the 4.0 form LOC_B_S_SS[.T]: location, then the channel's band, source
//    and subsource ("00_B_H_Z", "*_H_H_?"); "*" selects every stream;
//  - a leading '!' excludes what it matches; .T names the packet type (D
//    data, L log).
// A station without positive selectors takes all its streams but the
// excluded ones.
// Not thread-safe (plain values).
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

namespace tarnserver {

bool wildcardMatch(std::string_view pattern, std::string_view text);

// One stream of the ring as SeedLink names it.
struct StreamId {
  std::string network, station, location, channel;
  char type = 'D';  // 'L' for a LOG channel
  std::string stationId() const { return network + "_" + station; }
  // LOC_B_S_SS ("_B_H_Z" with an empty location)
  std::string v4StreamId() const;
};

struct StreamSelector {
  bool exclude = false;
  bool v4 = false;       // LOC_B_S_SS form
  std::string location;  // 3.1 form; "" for any
  std::string channel;   // 3.1 form
  std::string stream;    // 4.0 form
  char type = 0;         // 0: any
};

// Parses a SELECT argument; false with the reason in `err`.
bool parseSelector(std::string_view text, StreamSelector &out, std::string &err);
bool selectorMatches(const StreamSelector &sel, const StreamId &id);
// Whether the selectors (all of one station) take the stream.
bool selectorsTake(const std::vector<StreamSelector> &sels, const StreamId &id);

// "YYYY,MM,DD,hh,mm,ss[,ffffff]" (3.1) or ISO 8601 "YYYY-MM-DDThh:mm:ss[.f][Z]"
// (4.0, an offset such as +02:00 allowed) into epoch seconds; false when it
// is neither.
bool parseSeedlinkTime(std::string_view text, double &out);
// "YYYY-MM-DDThh:mm:ss.ffffffZ" and "YYYY/MM/DD hh:mm:ss.ffff".
std::string isoTime(double t);
std::string v3InfoTime(double t);

}  // namespace tarnserver
