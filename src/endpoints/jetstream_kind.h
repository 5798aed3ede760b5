// The JetStream kind: connections that read a NATS JetStream stream through
// a durable consumer (read_from_natsurl, read_from_natsstream) or publish
// onto one (write_to_natsurl, write_to_natsstream, natssubject_prefix,
// natsstream_create).
#pragma once

#include "endpoints/endpoint_kind.h"

extern const EndpointKind kJetStreamKind;
