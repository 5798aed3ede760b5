#include "endpoints/seedlink_kind.h"

#include "base/config_values.h"
#include "endpoints/seedlink_source.h"

namespace {

SeedLinkEndpoint endpointOf(const ConnectionEntry &entry) {
  SeedLinkEndpoint endpoint;
  endpoint.server = entry.text("read_from_seedlink");
  std::string problem = configvalues::tarnNameProblem(endpoint.server);
  if (problem.empty() && endpoint.server.find(':') == std::string::npos) problem = "it has no port";
  if (!problem.empty()) {
    entry.dieInvalid(
        "read_from_seedlink", endpoint.server,
        "a SeedLink server as HOST:PORT such as seedlink.example.org:18000, but " + problem);
  }
  endpoint.selection = entry.text("seedlink_select");
  if (endpoint.selection.empty())
    entry.die("must name its stations in 'seedlink_select' (NET_STA[:SELECTORS] ...)");
  problem = parseSeedLinkSelection(endpoint.selection, endpoint.stations);
  if (!problem.empty()) {
    entry.dieInvalid("seedlink_select", endpoint.selection,
                     "stations as NET_STA[:SELECTOR,...] separated by blanks (wildcards ? and *), "
                     "but " +
                         problem);
  }
  if (entry.has("seedlink_protocol")) {
    std::string protocol = entry.text("seedlink_protocol");
    if (protocol == "3.1") {
      endpoint.protocol = SeedLinkProtocol::k31;
    } else if (protocol == "4.0") {
      endpoint.protocol = SeedLinkProtocol::k40;
    } else if (protocol != "auto") {
      entry.dieInvalid("seedlink_protocol", protocol, "3.1, 4.0 or auto");
    }
    endpoint.protocolText = protocol;
  }
  return endpoint;
}

void vetReader(const ConnectionEntry &entry) {
  endpointOf(entry);
  if (entry.text("endtime") == "last") {
    entry.die(
        "cannot stop at endtime 'last': a SeedLink server does not say which packet is its "
        "newest");
  }
}

std::unique_ptr<PacketSource> makeSource(const ConnectionEntry &entry,
                                         const ReaderSettings &settings,
                                         const RelayContext &context) {
  // The statefile knows the reader by its name; a generated name changes
  // when entries move, so it names nothing.
  std::string owner = entry.text("name") == "auto" ? "" : entry.name();
  return std::make_unique<SeedLinkSource>(endpointOf(entry), owner, settings, context);
}

}  // namespace

// A SeedLink reader names its server and its stations; the protocol is
// negotiated unless named. It has no writer side.
const EndpointKind kSeedLinkKind = {
    .name = "SeedLink",
    .reader = {.claimKeys = {"read_from_seedlink"},
               .keys = {"read_from_seedlink", "seedlink_select", "seedlink_protocol"},
               .needClaim = {"seedlink_select", "seedlink_protocol"},
               .vet = vetReader},
    .writer = {},
    .makeSource = makeSource,
    .makeDestination = nullptr,
};
