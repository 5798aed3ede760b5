// How DataLink stream ids and tarn source names name each other.
//
// A miniSEED packet's source name is NET_STA_CHAN/MSEED, or
// NET_STA_CHAN_LOC/MSEED when the location is not empty (the packet
// library's order, docs/packets.md); DataLink names the same stream
// NET_STA_LOC_CHAN/MSEED, with an empty location left empty
// (XX_STA__HHZ/MSEED). So:
//   IU_ANMO_BHZ_00/MSEED  <->  IU_ANMO_00_BHZ/MSEED
//   XX_STA_HHZ/MSEED      <->  XX_STA__HHZ/MSEED
// Any other source name is its own stream id (relay1/log stays relay1/log),
// except names that end in /MSEED without being a miniSEED name and names
// that could not stand as one word of a header (a space, a control
// character): those have no stream id. Every stream id thus names one
// source name and back.
//
// Thread-safety: every function may be called from any thread.
#pragma once

#include <string>
#include <string_view>

namespace datalink {

// The stream id of a source name; "" when the source has none.
std::string streamIdOf(std::string_view sourceName);

// The codes of a miniSEED stream id.
struct StreamCodes {
  std::string network, station, location, channel;
};

// The source name that a miniSEED stream id (NET_STA_LOC_CHAN/MSEED, type
// MSEED in any case) names, with its codes; "" in `why` when it is one,
// else why not (and `sourceName` is left empty).
std::string sourceNameOf(std::string_view streamId, std::string &sourceName, StreamCodes &codes);

}  // namespace datalink
