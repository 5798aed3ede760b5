// The SDS kind: writers that put miniSEED records into an archive in the
// SDS layout (write_to_sds DIR). It has no readers.
#pragma once

#include "endpoints/endpoint_kind.h"

extern const EndpointKind kSdsKind;
