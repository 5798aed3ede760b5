// JetStreamEndpoint: where a JetStream connection of the relay reads or
// writes, as its parameter-file entry configures it. Set during
// configuration, read-only afterwards.
#pragma once

#include <string>

#include "nats/jetstream_names.h"

struct JetStreamEndpoint {
  std::string urls;           // read_from_natsurl / write_to_natsurl
  std::string stream;         // read_from_natsstream / write_to_natsstream
  std::string subjectPrefix;  // a writer's natssubject_prefix
  bool createStream = false;  // a writer's natsstream_create

  // "nats://host:4222 stream NAME" (passwords hidden): what descriptions,
  // log lines and status packets show for the connection's server.
  std::string description() const { return jetstream::displayUrls(urls) + " stream " + stream; }
};
