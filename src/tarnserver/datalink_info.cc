#include "tarnserver/datalink_info.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <utility>
#include <vector>

#include "platform/datalink/datalink_streams.h"
#include "platform/tarnclient/tarn_wire.h"
#include "tarnserver/datalink_times.h"

namespace tarnserver {

namespace {

constexpr uint64_t kMaxPacketId = 2147483647;

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
        if (static_cast<unsigned char>(c) >= 0x20 && static_cast<unsigned char>(c) < 0x7f) out += c;
    }
  }
  return out;
}

std::string attr(const char *name, std::string_view value) {
  return std::string(" ") + name + "=\"" + escaped(value) + "\"";
}

std::string attr(const char *name, long long value) { return attr(name, std::to_string(value)); }

std::string decimal(double v) {
  char text[64];
  std::snprintf(text, sizeof text, "%.1f", v);
  return text;
}

double nowSeconds() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// Id, arrival, data start and end of one packet, under a prefix
// ("EarliestPacket", "LatestPacket").
std::string packetAttrs(const Ring &ring, const char *prefix, uint64_t seq) {
  std::string p = prefix;
  if (seq == kNoSeq) {
    return attr((p + "ID").c_str(), -1) + attr((p + "CreationTime").c_str(), hptimeText(0)) +
           attr((p + "DataStartTime").c_str(), hptimeText(0)) +
           attr((p + "DataEndTime").c_str(), hptimeText(0));
  }
  PacketTimes t = packetTimes(ring, seq);
  return attr((p + "ID").c_str(), tarnwire::idOfSeq(seq)) +
         attr((p + "CreationTime").c_str(), hptimeText(t.packetTime)) +
         attr((p + "DataStartTime").c_str(), hptimeText(t.dataStart)) +
         attr((p + "DataEndTime").c_str(), hptimeText(t.dataEnd));
}

std::string status(const DatalinkInfoContext &ctx) {
  const Ring &ring = ctx.ring;
  TrafficRates r = ctx.server.rates();
  int64_t started = hptimeOf(ctx.server.startTime());
  // DataLink rings hold packets of one size; this one holds any, so the
  // count given is how many 512-byte records it holds at most.
  uint64_t most = ring.dataSize() / Ring::recordSize(21, 512);
  return "<Status" + attr("StartTime", hptimeText(started)) + attr("RingVersion", "1") +
         attr("RingSize", static_cast<long long>(ring.dataSize())) +
         attr("PacketSize", ctx.maxPacket) +
         attr("MaximumPacketID", static_cast<long long>(kMaxPacketId)) +
         attr("MaximumPackets", static_cast<long long>(most)) +
         attr("MemoryMappedRing", ring.inFile() ? "TRUE" : "FALSE") +
         attr("VolatileRing", ring.inFile() ? "FALSE" : "TRUE") +
         attr("TotalConnections", ctx.server.clientCount()) +
         attr("TotalStreams", static_cast<long long>(ring.sources().liveCount())) +
         attr("TXPacketRate", decimal(r.txPackets)) + attr("TXByteRate", decimal(r.txBytes)) +
         attr("RXPacketRate", decimal(r.rxPackets)) + attr("RXByteRate", decimal(r.rxBytes)) +
         packetAttrs(ring, "EarliestPacket", ring.empty() ? kNoSeq : ring.oldestSeq()) +
         packetAttrs(ring, "LatestPacket", ring.empty() ? kNoSeq : ring.newestSeq()) + " />";
}

std::string document(const DatalinkInfoContext &ctx, const std::string &inner) {
  return "<DataLink" + attr("Version", TARN2TARN_VERSION) +
         attr("ServerID", ctx.server.serverId()) + attr("Capabilities", ctx.capabilities) + ">" +
         status(ctx) + inner + "</DataLink>";
}

bool found(const regex_t *match, const std::string &text) {
  return !match || regexec(match, text.c_str(), 0, nullptr, 0) == 0;
}

std::string streamEntry(const Ring &ring, const std::string &id, const Source &s) {
  PacketTimes newest = packetTimes(ring, s.newestSeq);
  return "<Stream" + attr("Name", id) + packetAttrs(ring, "EarliestPacket", s.oldestSeq) +
         packetAttrs(ring, "LatestPacket", s.newestSeq) +
         attr("DataLatency", decimal(nowSeconds() - static_cast<double>(newest.dataEnd) / 1e6)) +
         " />";
}

}  // namespace

std::string datalinkStatusXml(const DatalinkInfoContext &ctx) { return document(ctx, ""); }

std::string datalinkStreamsXml(const DatalinkInfoContext &ctx, const regex_t *match,
                               uint64_t &work) {
  const SourceTable &sources = ctx.ring.sources();
  std::vector<std::pair<std::string, uint32_t>> chosen;
  size_t total = 0;
  for (uint32_t i = 0; i < sources.slotCount(); ++i) {
    ++work;
    if (!sources.live(i)) continue;
    std::string id = datalink::streamIdOf(sources.at(i).name);
    if (id.empty()) continue;
    ++total;
    if (found(match, id)) chosen.emplace_back(std::move(id), i);
  }
  std::sort(chosen.begin(), chosen.end());
  std::string list;
  for (size_t k = 0; k < chosen.size() && k < ctx.maxListed; ++k) {
    list += streamEntry(ctx.ring, chosen[k].first, sources.at(chosen[k].second));
  }
  work += std::min(chosen.size(), ctx.maxListed);
  return document(ctx, "<StreamList" + attr("TotalStreams", static_cast<long long>(total)) +
                           attr("SelectedStreams", static_cast<long long>(chosen.size())) + ">" +
                           list + "</StreamList>");
}

std::string datalinkConnectionsXml(const DatalinkInfoContext &ctx, const regex_t *match,
                                   uint64_t &work) {
  std::vector<ClientListing> all = ctx.server.connections();
  std::string list;
  size_t selected = 0;
  for (const ClientListing &c : all) {
    ++work;
    if (!found(match, c.peer) && !found(match, c.info.identity)) continue;
    if (++selected > ctx.maxListed) continue;
    list += "<Connection" + attr("Type", c.port) + attr("Host", c.peer) +
            attr("ClientID", c.info.identity) + attr("ConnectionTime", hptimeText(hptimeOf(c.since))) +
            attr("Mode", c.streaming ? "STREAM" : "QUERY") +
            attr("RXPacketCount", static_cast<long long>(c.packetsIn)) +
            attr("TXPacketCount", static_cast<long long>(c.packetsOut)) +
            attr("QueuedBytes", static_cast<long long>(c.queuedBytes)) + " />";
  }
  return document(ctx, "<ConnectionList" +
                           attr("TotalConnections", static_cast<long long>(all.size())) +
                           attr("SelectedConnections", static_cast<long long>(selected)) + ">" +
                           list + "</ConnectionList>");
}

}  // namespace tarnserver
