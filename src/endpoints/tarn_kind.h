// The tarn kind: connections that read from or write to a tarn server,
// named by its tarn name or through a tag of the command line.
#pragma once

#include "endpoints/endpoint_kind.h"

extern const EndpointKind kTarnKind;
