#include "endpoints/jetstream_kind.h"

#include "endpoints/jetstream_destination.h"
#include "endpoints/jetstream_source.h"
#include "nats/jetstream_names.h"

namespace {

// The subject prefix of a writer without natssubject_prefix.
const char *const kDefaultSubjectPrefix = "tarn";

void vetStream(const ConnectionEntry &entry, const char *streamKey) {
  if (entry.text(streamKey).empty())
    entry.die(std::string("must name its stream in '") + streamKey + "'");
}

void vetReader(const ConnectionEntry &entry) {
  vetStream(entry, "read_from_natsstream");
  if (entry.name() == "auto") {
    entry.die(
        "needs a name of its own: its place in the stream is kept in a durable consumer named "
        "after it, "
        "and a generated name changes when entries move");
  }
}

void vetWriter(const ConnectionEntry &entry) { vetStream(entry, "write_to_natsstream"); }

JetStreamEndpoint endpointOf(const ConnectionEntry &entry, const char *urlKey,
                             const char *streamKey) {
  JetStreamEndpoint endpoint;
  endpoint.urls = entry.text(urlKey);
  endpoint.stream = entry.text(streamKey);
  std::string problem = jetstream::serverUrlsProblem(endpoint.urls);
  if (!problem.empty()) {
    entry.dieInvalid(
        urlKey, jetstream::displayUrls(endpoint.urls),
        "NATS servers such as nats://host:4222 (several separated by commas), but " + problem);
  }
  problem = jetstream::streamNameProblem(endpoint.stream);
  if (!problem.empty())
    entry.dieInvalid(streamKey, endpoint.stream, "a stream name, but " + problem);
  return endpoint;
}

std::unique_ptr<PacketSource> makeSource(const ConnectionEntry &entry,
                                         const ReaderSettings &settings,
                                         const RelayContext &context) {
  JetStreamEndpoint endpoint = endpointOf(entry, "read_from_natsurl", "read_from_natsstream");
  return std::make_unique<JetStreamSource>(endpoint, entry.name(), settings, context);
}

std::unique_ptr<PacketDestination> makeDestination(const ConnectionEntry &entry,
                                                   const RelayContext &context) {
  JetStreamEndpoint endpoint = endpointOf(entry, "write_to_natsurl", "write_to_natsstream");
  endpoint.subjectPrefix = kDefaultSubjectPrefix;
  std::string prefix = entry.text("natssubject_prefix");
  if (!prefix.empty()) endpoint.subjectPrefix = prefix;
  std::string problem = jetstream::subjectPrefixProblem(endpoint.subjectPrefix);
  if (!problem.empty()) {
    entry.dieInvalid("natssubject_prefix", endpoint.subjectPrefix,
                     "a subject prefix such as tarn or site.a, but " + problem);
  }
  endpoint.createStream = entry.boolean("natsstream_create");
  return std::make_unique<JetStreamDestination>(endpoint, entry.name(), context);
}

}  // namespace

// A JetStream connection names its servers and its stream; a stream
// without servers is a server key forgotten. A writer's subject prefix and
// natsstream_create may stand in the writer defaults of tarn writers too.
const EndpointKind kJetStreamKind = {
    .name = "JetStream",
    .reader = {.claimKeys = {"read_from_natsurl"},
               .keys = {"read_from_natsurl", "read_from_natsstream"},
               .needClaim = {"read_from_natsstream"},
               .vet = vetReader},
    .writer = {.claimKeys = {"write_to_natsurl"},
               .keys = {"write_to_natsurl", "write_to_natsstream", "natssubject_prefix",
                        "natsstream_create"},
               .needClaim = {"write_to_natsstream"},
               .vet = vetWriter},
    .makeSource = makeSource,
    .makeDestination = makeDestination,
};
