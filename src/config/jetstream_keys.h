// The parameter-file keys of JetStream connections (docs/parameter-files.md).
#pragma once

#include <vector>

namespace jetstreamkeys {

// A reader's: its NATS servers and its stream.
inline const std::vector<const char *> kReader = {"read_from_natsurl", "read_from_natsstream"};
// A writer's: its NATS servers, its stream, the subjects' prefix and whether
// it makes the stream when there is none.
inline const std::vector<const char *> kWriter = {"write_to_natsurl", "write_to_natsstream",
                                                  "natssubject_prefix", "natsstream_create"};
// The subject prefix of a writer without natssubject_prefix.
inline const char *const kDefaultSubjectPrefix = "tarn";

}  // namespace jetstreamkeys
