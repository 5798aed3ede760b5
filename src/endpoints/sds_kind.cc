#include "endpoints/sds_kind.h"

#include "endpoints/sds_destination.h"

namespace {

std::unique_ptr<PacketDestination> makeDestination(const ConnectionEntry &entry,
                                                   const RelayContext &context) {
  return std::make_unique<SdsDestination>(entry.text("write_to_sds"), entry.name(), context);
}

}  // namespace

// An SDS writer names the archive's root folder; it reads no other key.
const EndpointKind kSdsKind = {
    .name = "SDS",
    .reader = {},
    .writer = {.claimKeys = {"write_to_sds"}, .keys = {"write_to_sds"}},
    .makeSource = nullptr,
    .makeDestination = makeDestination,
};
