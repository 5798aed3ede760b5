#include "platform/datalink/datalink_streams.h"

#include <strings.h>

#include <algorithm>
#include <vector>

#include "platform/mseed/mseed_record.h"

namespace datalink {
namespace {

bool oneWord(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) {
    return static_cast<unsigned char>(c) > 0x20 && static_cast<unsigned char>(c) < 0x7f;
  });
}

bool endsInMseed(std::string_view name) {
  size_t slash = name.find('/');
  return slash != std::string_view::npos && name.size() - slash - 1 == 5 &&
         strncasecmp(name.data() + slash + 1, mseed::kSuffix, 5) == 0;
}

}  // namespace

std::string streamIdOf(std::string_view sourceName) {
  if (!oneWord(sourceName)) return "";
  if (!endsInMseed(sourceName)) return std::string(sourceName);
  std::string net, sta, loc, chan;
  if (!mseed::parseSourceName(std::string(sourceName), net, sta, loc, chan)) return "";
  // The type keeps the case it had, so that two names differing only
  // there still have two ids.
  return net + "_" + sta + "_" + loc + "_" + chan +
         std::string(sourceName.substr(sourceName.find('/')));
}

std::string sourceNameOf(std::string_view streamId, std::string &sourceName, StreamCodes &codes) {
  sourceName.clear();
  if (!oneWord(streamId)) return "a stream id is one word of printable characters";
  if (!endsInMseed(streamId)) return "only miniSEED streams (NET_STA_LOC_CHAN/MSEED) are written";
  std::string_view codesText = streamId.substr(0, streamId.find('/'));
  std::vector<std::string> parts;
  for (size_t start = 0;;) {
    size_t us = codesText.find('_', start);
    parts.emplace_back(codesText.substr(start, us == std::string_view::npos ? us : us - start));
    if (us == std::string_view::npos) break;
    start = us + 1;
  }
  if (parts.size() != 4 || parts[0].empty() || parts[1].empty() || parts[3].empty()) {
    return "stream id '" + std::string(streamId) +
           "' is not NET_STA_LOC_CHAN/MSEED (the location may be empty)";
  }
  codes = {parts[0], parts[1], parts[2], parts[3]};
  mseed::Record r;
  r.network = codes.network, r.station = codes.station;
  r.location = codes.location, r.channel = codes.channel;
  sourceName = mseed::sourceName(r);
  return "";
}

}  // namespace datalink
