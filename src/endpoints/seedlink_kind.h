// The SeedLink kind: connections that read a SeedLink server
// (read_from_seedlink HOST:PORT, seedlink_select, seedlink_protocol).
#pragma once

#include "endpoints/endpoint_kind.h"

extern const EndpointKind kSeedLinkKind;
