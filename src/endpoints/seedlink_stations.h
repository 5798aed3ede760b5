// What a SeedLink server's answer to INFO STATIONS says of a reader's
// selection: which of its stations the server does not have, so that a
// station misspelt in seedlink_select, or one the server has not heard of
// yet, is named instead of giving nothing without a word.
//
// Pure functions: safe from any thread.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "endpoints/seedlink_link.h"

// The stations an INFO STATIONS answer lists, as NET_STA: the XML of
// protocol 3.1 (<station name="STA" network="NET" .../>) or the JSON of 4.0
// (station objects with "network" and "station", or an "id" NET_STA).
// False when the text holds no station list at all (an answer of a form
// this reader does not know, which says nothing either way).
bool listedStations(const std::string &text, std::set<std::string> &ids);

// The complaint that a station of the selection is not on the server
// `where` names: "Station XT_STX is not on SeedLink 'h:18000' (INFO
// STATIONS does not list it): ...", or for a wildcard "No station matching
// XT_* is on ...".
std::string unlistedText(const SeedLinkStation &station, const std::string &where);

// The stations of the selection that nothing in `listed` matches (a
// wildcard station: when none of them matches it).
std::vector<SeedLinkStation> unlistedStations(const std::vector<SeedLinkStation> &selection,
                                              const std::set<std::string> &listed);
