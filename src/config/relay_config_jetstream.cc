// RelayConfig: vetting JetStream connections and creating them.
//
// A JetStream reader names its NATS servers in read_from_natsurl and its
// stream in read_from_natsstream, instead of a tarn name or tag; a writer
// names them in write_to_natsurl and write_to_natsstream, and may give
// natssubject_prefix and natsstream_create. A connection has exactly one
// source or destination: a JetStream connection's tarn keys may be present
// (inherited from the defaults) but must be empty, and a tarn connection's
// JetStream server key likewise.
#include "config/config_values.h"
#include "config/jetstream_keys.h"
#include "config/relay_config.h"
#include "connection/relay_connection.h"
#include "managers/relay_log_mgr.h"
#include "nats/jetstream_endpoint.h"
#include "nats/jetstream_names.h"

namespace {

std::string valueOf(Pf *pf, const char *key) {
  const char *value = pfget_string(pf, key);
  return value ? value : "";
}

struct Side {
  const char *urlKey, *streamKey, *queueKey, *tarnKey, *tagKey;
  std::vector<const char *> required;      // besides name, run, match and reject
  std::vector<const char *> refused;
};

const Side &sideOf(const std::string &direction) {
  static const Side reader{"read_from_natsurl", "read_from_natsstream", "write_to_queue", "read_from_tarnname",
                           "read_from_tarntag",
                           {"write_to_queue", "starttime", "endtime", "too_old", "too_new", "check_unstuff",
                            "suppress_unstuff_errors"},
                           {"write_to_tarnname", "write_to_tarntag", "read_from_queue", "write_to_natsurl",
                            "write_to_natsstream", "natssubject_prefix", "natsstream_create"}};
  static const Side writer{"write_to_natsurl", "write_to_natsstream", "read_from_queue", "write_to_tarnname",
                           "write_to_tarntag",
                           {"read_from_queue"},
                           {"read_from_tarnname", "read_from_tarntag", "write_to_queue", "starttime", "endtime",
                            "too_old", "too_new", "check_unstuff", "suppress_unstuff_errors",
                            "read_from_natsurl", "read_from_natsstream"}};
  return direction == "read" ? reader : writer;
}

}  // namespace

bool RelayConfig::isJetStreamEntry(Pf *connection, const std::string &direction) {
  return !valueOf(connection, sideOf(direction).urlKey).empty();
}

void RelayConfig::vetJetStreamKeys(Pf *connection, const std::string &direction, const std::string &name) {
  const Side &side = sideOf(direction);
  for (const char *key : side.required) {
    if (!pfhas_key(connection, key)) {
      logMgr->die_initializing("Configuration error: connection '" + name + "' is missing parameter '" + key + "'");
    }
  }
  std::string opening = "Configuration error: " + direction + " connection '" + name + "' ";
  for (const char *key : side.refused) {
    if (pfhas_key(connection, key)) logMgr->die_initializing(opening + "cannot have parameter '" + key + "'");
  }
  for (const char *key : {side.tarnKey, side.tagKey}) {
    if (!valueOf(connection, key).empty()) {
      logMgr->die_initializing(opening + "may not specify both '" + key + "' and '" + side.urlKey + "'");
    }
  }
  if (valueOf(connection, side.streamKey).empty()) {
    logMgr->die_initializing(opening + "must name its stream in '" + side.streamKey + "'");
  }
  if (valueOf(connection, side.queueKey).empty()) {
    logMgr->die_initializing(opening + "must name its queue in '" + side.queueKey + "'");
  }
  if (direction == "read" && name == "auto") {
    logMgr->die_initializing(opening + "needs a name of its own: its place in the stream is kept in a durable "
                                       "consumer named after it, and a generated name changes when entries move");
  }
}

void RelayConfig::refuseJetStreamKeys(Pf *connection, const std::string &direction, const std::string &name) {
  std::string opening = "Configuration error: " + direction + " connection '" + name + "' ";
  const auto &other = direction == "read" ? jetstreamkeys::kWriter : jetstreamkeys::kReader;
  for (const char *key : other) {
    if (pfhas_key(connection, key)) logMgr->die_initializing(opening + "cannot have parameter '" + key + "'");
  }
  // A stream without servers is surely a server key forgotten. A writer's
  // subject prefix and natsstream_create mean nothing to a tarn writer and
  // are left alone, so that writer defaults may hold them.
  const Side &side = sideOf(direction);
  if (!valueOf(connection, side.streamKey).empty()) {
    logMgr->die_initializing(opening + "has '" + side.streamKey + "' but no '" + side.urlKey + "'");
  }
}

std::shared_ptr<RelayConnection> RelayConfig::makeJetStreamConnection(Pf *pf, const std::string &name,
                                                                      const std::string &direction,
                                                                      const std::string &queue) {
  const Side &side = sideOf(direction);
  auto endpoint = std::make_shared<JetStreamEndpoint>();
  endpoint->urls = valueOf(pf, side.urlKey);
  endpoint->stream = valueOf(pf, side.streamKey);
  std::string problem = jetstream::serverUrlsProblem(endpoint->urls);
  if (!problem.empty()) {
    dieInvalidValue(name, side.urlKey, jetstream::displayUrls(endpoint->urls),
                    "NATS servers such as nats://host:4222 (several separated by commas), but " + problem);
  }
  problem = jetstream::streamNameProblem(endpoint->stream);
  if (!problem.empty()) dieInvalidValue(name, side.streamKey, endpoint->stream, "a stream name, but " + problem);
  if (direction == "write") {
    endpoint->subjectPrefix = jetstreamkeys::kDefaultSubjectPrefix;
    std::string prefix = valueOf(pf, "natssubject_prefix");
    if (!prefix.empty()) endpoint->subjectPrefix = prefix;
    problem = jetstream::subjectPrefixProblem(endpoint->subjectPrefix);
    if (!problem.empty()) {
      dieInvalidValue(name, "natssubject_prefix", endpoint->subjectPrefix,
                      "a subject prefix such as tarn or site.a, but " + problem);
    }
    endpoint->createStream = readConnectionBoolean(pf, name, "natsstream_create");
  }
  return std::make_shared<RelayConnection>(name, direction, endpoint, queue);
}
