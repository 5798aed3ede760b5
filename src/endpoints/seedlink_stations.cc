#include "endpoints/seedlink_stations.h"

#include <regex>

namespace {

// The value of `name="..."` in an XML tag's attributes, or "".
std::string attribute(const std::string &tag, const std::string &name) {
  std::smatch m;
  std::regex pattern("\\s" + name + "\\s*=\\s*\"([^\"]*)\"");
  return std::regex_search(tag, m, pattern) ? m[1].str() : "";
}

// The value of `"key": "..."` in a JSON object without nested objects, or "".
std::string member(const std::string &object, const std::string &key) {
  std::smatch m;
  std::regex pattern("\"" + key + "\"\\s*:\\s*\"([^\"\\\\]*)\"");
  return std::regex_search(object, m, pattern) ? m[1].str() : "";
}

void fromXml(const std::string &text, std::set<std::string> &ids) {
  static const std::regex station("<station(\\s[^>]*)>");
  for (std::sregex_iterator it(text.begin(), text.end(), station), end; it != end; ++it) {
    std::string tag = (*it)[1];
    std::string network = attribute(tag, "network"), code = attribute(tag, "name");
    if (!network.empty() && !code.empty()) ids.insert(network + "_" + code);
  }
}

// The station objects of a STATIONS answer hold no objects of their own
// (their streams come only with INFO STREAMS).
void fromJson(const std::string &text, std::set<std::string> &ids) {
  static const std::regex object("\\{[^{}]*\\}");
  for (std::sregex_iterator it(text.begin(), text.end(), object), end; it != end; ++it) {
    std::string body = (*it)[0];
    std::string network = member(body, "network"), code = member(body, "station");
    std::string id = member(body, "id");
    if (!network.empty() && !code.empty()) {
      ids.insert(network + "_" + code);
    } else if (id.find('_') != std::string::npos) {
      ids.insert(id);
    }
  }
}

}  // namespace

bool listedStations(const std::string &text, std::set<std::string> &ids) {
  ids.clear();
  static const std::regex xmlRoot("<seedlink[\\s>/]");
  static const std::regex jsonList("\"station\"\\s*:\\s*\\[");
  if (std::regex_search(text, xmlRoot)) {
    fromXml(text, ids);
    return true;
  }
  if (std::regex_search(text, jsonList)) {
    fromJson(text, ids);
    return true;
  }
  return false;
}

std::string unlistedText(const SeedLinkStation &station, const std::string &where) {
  if (station.hasWildcard()) {
    return "No station matching " + station.id() + " is on " + where +
           " (INFO STATIONS lists none): their records come once the server has some";
  }
  return "Station " + station.id() + " is not on " + where +
         " (INFO STATIONS does not list it): its records come once the server has some";
}

std::vector<SeedLinkStation> unlistedStations(const std::vector<SeedLinkStation> &selection,
                                              const std::set<std::string> &listed) {
  std::vector<SeedLinkStation> out;
  for (const SeedLinkStation &station : selection) {
    bool found = false;
    for (const std::string &id : listed) found = found || seedLinkGlob(station.id(), id);
    if (!found) out.push_back(station);
  }
  return out;
}
