#include "tarnserver/seedlink_info.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>

#include "platform/mseed/mseed_record.h"
#include "platform/seedlink/seedlink_wire.h"

namespace tarnserver {

bool streamOfSource(std::string_view sourceName, StreamId &id) {
  std::string name(sourceName);
  if (!mseed::isMseedSourceName(name.c_str())) return false;
  if (!mseed::parseSourceName(name, id.network, id.station, id.location, id.channel)) return false;
  id.type = id.channel == "LOG" ? 'L' : 'D';
  return true;
}

namespace {

struct Listed {
  StreamId id;
  const Source *source;
};

std::string escaped(std::string_view s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '"':
        out += "&quot;";
        break;
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      default:
        if (static_cast<unsigned char>(c) >= 0x20) out += c;
    }
  }
  return out;
}

// Source names hold letters, digits and '_' only (parseSourceName), so the
// texts below need escaping only for the organization's name.
std::string json(std::string_view s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    if (static_cast<unsigned char>(c) >= 0x20) out += c;
  }
  return out + "\"";
}

std::map<std::string, std::vector<Listed>> liveStations(const Ring &ring,
                                                        const std::string &stationPattern,
                                                        const std::string &streamPattern,
                                                        uint64_t &work) {
  std::map<std::string, std::vector<Listed>> stations;
  const SourceTable &sources = ring.sources();
  size_t listed = 0;
  StreamSelector sel;
  std::string err;
  bool bySelector = !streamPattern.empty() && parseSelector(streamPattern, sel, err);
  for (uint32_t i = 0; i < sources.slotCount() && listed < kMaxInfoStreams; ++i) {
    ++work;
    if (!sources.live(i)) continue;
    Listed l{{}, &sources.at(i)};
    if (!streamOfSource(l.source->name, l.id)) continue;
    if (!stationPattern.empty() && !wildcardMatch(stationPattern, l.id.stationId())) continue;
    if (bySelector && !selectorMatches(sel, l.id)) continue;
    stations[l.id.stationId()].push_back(l);
    ++listed;
  }
  return stations;
}

uint64_t firstSeq(const std::vector<Listed> &streams) {
  uint64_t seq = kNoSeq;
  for (const Listed &l : streams) seq = std::min(seq, l.source->oldestSeq);
  return seq;
}
uint64_t lastSeq(const std::vector<Listed> &streams) {
  uint64_t seq = 0;
  for (const Listed &l : streams) seq = std::max(seq, l.source->newestSeq);
  return seq;
}

char hexDigits[] = "0123456789ABCDEF";
std::string hex24(uint64_t seq) {
  std::string s(6, '0');
  for (int i = 5; i >= 0; --i, seq >>= 4) s[static_cast<size_t>(i)] = hexDigits[seq & 0xf];
  return s;
}

// host and port of "host:port".
std::pair<std::string, std::string> hostPort(const std::string &peer) {
  size_t colon = peer.rfind(':');
  if (colon == std::string::npos) return {peer, ""};
  return {peer.substr(0, colon), peer.substr(colon + 1)};
}

std::string xmlConnections(const InfoContext &ctx) {
  std::string x;
  for (const ClientListing &c : ctx.connections) {
    auto [host, port] = hostPort(c.peer);
    x += " <connection host=\"" + escaped(host) + "\" port=\"" + escaped(port) + "\" ctime=\"" +
         v3InfoTime(c.since) + "\" protocol=\"" + escaped(c.info.protocol) + "\" useragent=\"" +
         escaped(c.info.identity) + "\" selection=\"" + escaped(c.info.activity) +
         "\" txcount=\"" + std::to_string(c.packetsOut) + "\" totBytes=\"" +
         std::to_string(c.bytesOut) + "\"/>\n";
  }
  return x + "</seedlink>\n";
}

std::string jsonConnections(const InfoContext &ctx) {
  std::string j = ",\"connection\":[";
  for (size_t i = 0; i < ctx.connections.size(); ++i) {
    const ClientListing &c = ctx.connections[i];
    auto [host, port] = hostPort(c.peer);
    j += std::string(i ? "," : "") + "{\"address\":" + json(host) + ",\"port\":" + json(port) +
         ",\"protocol\":" + json(c.info.protocol) + ",\"useragent\":" + json(c.info.identity) +
         ",\"selection\":" + json(c.info.activity) + ",\"connected\":\"" + isoTime(c.since) +
         "\",\"packets_sent\":" + std::to_string(c.packetsOut) +
         ",\"bytes_sent\":" + std::to_string(c.bytesOut) +
         ",\"bytes_received\":" + std::to_string(c.bytesIn) + "}";
  }
  return j + "]}";
}

std::string xmlAnswer(const InfoContext &ctx, const std::string &level,
                      const std::map<std::string, std::vector<Listed>> &stations) {
  std::string x = "<?xml version=\"1.0\"?>\n<seedlink software=\"tarnserver\" organization=\"" +
                  escaped(ctx.organization) + "\"";
  if (level == "ID") return x + "/>\n";
  x += ">\n";
  if (level == "CAPABILITIES") {
    for (const std::string &cap : ctx.capabilities)
      x += " <capability name=\"" + escaped(cap) + "\"/>\n";
    return x + "</seedlink>\n";
  }
  if (level == "CONNECTIONS") return x + xmlConnections(ctx);
  for (const auto &[name, streams] : stations) {
    const StreamId &first = streams.front().id;
    x += " <station name=\"" + first.station + "\" network=\"" + first.network +
         "\" description=\"\" begin_seq=\"" + hex24(firstSeq(streams)) + "\" end_seq=\"" +
         hex24(lastSeq(streams) + 1) + "\" stream_check=\"enabled\"";
    if (level != "STREAMS") {
      x += "/>\n";
      continue;
    }
    x += ">\n";
    for (const Listed &l : streams) {
      x += "  <stream location=\"" + l.id.location + "\" seedname=\"" + l.id.channel +
           "\" type=\"" + std::string(1, l.id.type) + "\" begin_time=\"" +
           v3InfoTime(ctx.ring.timeOf(l.source->oldestSeq)) + "\" end_time=\"" +
           v3InfoTime(l.source->newestTime) + "\" begin_recno=\"" + hex24(l.source->oldestSeq) +
           "\" end_recno=\"" + hex24(l.source->newestSeq) + "\" gap_check=\"disabled\"/>\n";
    }
    x += " </station>\n";
  }
  return x + "</seedlink>\n";
}

std::string jsonAnswer(const InfoContext &ctx, const std::string &level,
                       const std::map<std::string, std::vector<Listed>> &stations) {
  std::string j = "{\"software\":\"tarnserver\",\"organization\":" + json(ctx.organization);
  if (level == "ID") return j + "}";
  if (level == "CAPABILITIES") {
    j += ",\"capability\":[";
    for (size_t i = 0; i < ctx.capabilities.size(); ++i)
      j += (i ? "," : "") + json(ctx.capabilities[i]);
    return j + "]}";
  }
  if (level == "CONNECTIONS") return j + jsonConnections(ctx);
  j += ",\"station\":[";
  bool firstStation = true;
  for (const auto &[name, streams] : stations) {
    const StreamId &first = streams.front().id;
    j += std::string(firstStation ? "" : ",") + "{\"id\":\"" + name + "\",\"network\":\"" +
         first.network + "\",\"station\":\"" + first.station +
         "\",\"description\":\"\",\"start_seq\":" + std::to_string(firstSeq(streams)) +
         ",\"end_seq\":" + std::to_string(lastSeq(streams) + 1);
    firstStation = false;
    if (level == "STREAMS") {
      j += ",\"stream\":[";
      for (size_t i = 0; i < streams.size(); ++i) {
        const Listed &l = streams[i];
        j += std::string(i ? "," : "") + "{\"id\":\"" + l.id.v4StreamId() + "\",\"location\":\"" +
             l.id.location + "\",\"channel\":\"" + l.id.channel +
             "\",\"format\":\"2\",\"subformat\":\"" + std::string(1, l.id.type) +
             "\",\"start_time\":\"" + isoTime(ctx.ring.timeOf(l.source->oldestSeq)) +
             "\",\"end_time\":\"" + isoTime(l.source->newestTime) + "\"}";
      }
      j += "]";
    }
    j += "}";
  }
  return j + "]}";
}

void put16(std::string &r, size_t at, unsigned v) {
  r[at] = static_cast<char>(v >> 8);
  r[at + 1] = static_cast<char>(v & 0xff);
}

}  // namespace

bool infoText(const InfoContext &ctx, int version, const std::string &level,
              const std::string &stationPattern, const std::string &streamPattern,
              std::string &text, std::string &err, uint64_t &work) {
  if (level != "ID" && level != "CAPABILITIES" && level != "STATIONS" && level != "STREAMS" &&
      level != "CONNECTIONS") {
    err = "INFO level '" + level +
          "' is not served (ID, CAPABILITIES, STATIONS, STREAMS, CONNECTIONS are)";
    return false;
  }
  std::map<std::string, std::vector<Listed>> stations;
  if (level == "STATIONS" || level == "STREAMS") {
    std::string stationPat = stationPattern == "*" ? "" : stationPattern;
    std::string streamPat = streamPattern == "*" ? "" : streamPattern;
    stations = liveStations(ctx.ring, stationPat, streamPat, work);
  }
  work += ctx.connections.size();
  text = version == 4 ? jsonAnswer(ctx, level, stations) : xmlAnswer(ctx, level, stations);
  return true;
}

std::vector<std::string> infoRecords(std::string_view text) {
  constexpr size_t kDataStart = 56, kRoom = seedlink::kV3RecordLength - kDataStart;
  std::vector<std::string> records;
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&now, &tm);
  for (size_t at = 0, n = 1; at < text.size() || records.empty(); at += kRoom, ++n) {
    std::string r(seedlink::kV3RecordLength, '\0');
    size_t len = std::min(kRoom, text.size() - std::min(at, text.size()));
    char head[21];
    std::snprintf(head, sizeof head, "%06zuD INFO   LOGSL", n % 1000000);
    std::memcpy(r.data(), head, 20);
    put16(r, 20, static_cast<unsigned>(tm.tm_year + 1900));
    put16(r, 22, static_cast<unsigned>(tm.tm_yday + 1));
    r[24] = static_cast<char>(tm.tm_hour);
    r[25] = static_cast<char>(tm.tm_min);
    r[26] = static_cast<char>(tm.tm_sec);
    put16(r, 30, static_cast<unsigned>(len));  // samples: the characters
    r[39] = 1;                                 // one blockette
    put16(r, 44, kDataStart);
    put16(r, 46, 48);
    put16(r, 48, 1000);  // blockette 1000: ASCII, big-endian, 2^9 bytes
    r[52] = 0;
    r[53] = 1;
    r[54] = 9;
    std::memcpy(r.data() + kDataStart, text.data() + at, len);
    records.push_back(std::move(r));
  }
  return records;
}

}  // namespace tarnserver
