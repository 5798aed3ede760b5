#include "connection/relay_connection.h"

#include <cstdio>
#include <cstdlib>

#include "base/relay_exception.h"
#include "base/time_text.h"
#include "config/relay_config.h"
#include "managers/relay_log_mgr.h"
#include "nats/jetstream_endpoint.h"
#include "platform/time/epochtime.h"
#include "queue/relay_queue.h"
#include "tarn/tarn_tag.h"

namespace {

// A limit in seconds, fixed with six decimals.
std::string limitText(double seconds) {
  char text[64];
  std::snprintf(text, sizeof text, "%.6f", seconds);
  return text;
}

}  // namespace

int RelayConnection::directionCode(const std::string &direction) {
  if (direction == "read") return kRead;
  if (direction != "write") {
    relayLog()->die_initializing("Unexpected internal error: RelayConnection direction must be 'read' or 'write'.");
  }
  return kWrite;
}

RelayConnection::RelayConnection(std::string name, std::string direction, std::string tagname,
                                 std::string tarnname, std::string queuename)
    : name(std::move(name)),
      tagname(std::move(tagname)),
      tarnname(std::move(tarnname)),
      queuename(std::move(queuename)) {
  this->direction = directionCode(direction);
  if (this->tagname.empty()) {
    tag = TarnTag::createTarnTagFromTarnName(this->tarnname);
    this->tagname = tag->getString("tarntag");
    return;
  }
  try {
    tag = TarnTag::getTarnTag(this->tagname, "", false);
  } catch (const RelayDNEException &) {
    relayLog()->elog_die("Can't find an tarnserver specified for tarntag '" + this->tagname +
                         "' -- check command line");
  }
}

RelayConnection::RelayConnection(std::string name, std::string direction,
                                 std::shared_ptr<const JetStreamEndpoint> endpoint, std::string queuename)
    : name(std::move(name)), queuename(std::move(queuename)), jetstream(std::move(endpoint)) {
  this->direction = directionCode(direction);
}

// ---- Setters ----

void RelayConnection::set(std::string key, std::string value) {
  if (key == "match") {
    match = std::move(value);
  } else if (key == "reject") {
    reject = std::move(value);
  } else if (key == "connection_name") {
    name = std::move(value);
  } else if (key == "connection_status") {
    std::lock_guard<std::mutex> lock(stateMutex);
    status = std::move(value);
  } else {
    relayLog()->elog_complain("Unexpected internal error: unknown key '" + key +
                              "' in RelayConnection::set() (string value)");
  }
}

void RelayConnection::set(std::string key, int value) {
  if (key != "maxqueue") dieUnknownKey(key, "set() (integer value)");
  maxqueue = value;
}

void RelayConnection::set(std::string key, bool value) {
  if (key == "check_unstuff") {
    checkUnstuff = value;
  } else if (key == "suppress_unstuff_errors") {
    suppressUnstuffErrorsFlag = value;
  } else {
    dieUnknownKey(key, "set() (boolean value)");
  }
}

void RelayConnection::set(std::string key, double value) {
  if (key == "starttime") {
    starttime = value;
  } else if (key == "endtime") {
    endtime = value;
  } else if (key == "too_old") {
    tooOldLimit = value;
  } else if (key == "too_new") {
    tooNewLimit = value;
  } else {
    dieUnknownKey(key, "set() (double-precision value)");
  }
}

// ---- Getters ----

int RelayConnection::getInt(std::string key) {
  if (key == "maxqueue") return maxqueue;
  if (key != "queue_count") dieUnknownKey(key, "getInt()");
  std::shared_ptr<RelayQueue> current = getQueue();
  int count = current ? current->getQueueCount(name) : 0;
  queueCount.store(count);
  return count;
}

bool RelayConnection::getBool(std::string key) {
  if (key != "check_unstuff") dieUnknownKey(key, "getBool()");
  return checkUnstuff;
}

double RelayConnection::getDouble(std::string key) {
  if (key != "last_packet_time") dieUnknownKey(key, "getDouble()");
  return lastPacketTime.load();
}

std::string RelayConnection::getString(std::string key) {
  if (key == "match") return match;
  if (key == "reject") return reject;
  if (key == "tarntag") return tagname;
  if (key == "tarnname") return jetstream ? jetstream->description() : tag->getString("tarnname");
  if (key == "queue_name") return queuename;
  if (key == "connection_status") {
    std::lock_guard<std::mutex> lock(stateMutex);
    return status;
  }
  if (key == "connection_name") return name;
  if (key == "direction") return direction == kRead ? "read" : "write";
  dieUnknownKey(key, "getString()");
}

void RelayConnection::dieUnknownKey(const std::string &key, const std::string &where) {
  relayLog()->elog_die("Unexpected internal error: unknown key '" + key +
                       "' in RelayConnection::" + where);
}

// ---- The connection's thread ----

void RelayConnection::setQueue(std::shared_ptr<RelayQueue> newQueue) {
  std::lock_guard<std::mutex> lock(stateMutex);
  queue = std::move(newQueue);
}

std::shared_ptr<RelayQueue> RelayConnection::getQueue() {
  std::lock_guard<std::mutex> lock(stateMutex);
  return queue;
}

// ---- Description ----

void RelayConnection::verboseDescribe() {
  RelayLogMgr *log = relayLog();
  log->verbose("\t\tdlname\t\t\t" + name);
  log->verbose("\t\trun\t\t\ttrue");
  log->verbose("\t\tconnected_status\t" + getString("connection_status"));
  if (direction == kRead) {
    describeReader();
  } else {
    describeWriter();
  }
  log->verbose("\t\tmatch\t\t\t" + match);
  log->verbose("\t\treject\t\t\t" + reject);
}

void RelayConnection::describeReader() {
  RelayLogMgr *log = relayLog();
  log->verbose("\t\tdirection\t\tread");
  if (jetstream) {
    describeJetStream();
  } else {
    log->verbose("\t\tread_from_tarnname\t" + tarnname);
    log->verbose("\t\tread_from_tarntag\t" + tagname);
  }
  log->verbose("\t\twrite_to_queue\t\t" + queuename);
  log->verbose(starttime == TIME_UNSET ? "\t\tstarttime"
                                       : "\t\tstarttime\t\t" + dateText(starttime));
  if (endtime == TIME_UNSET) {
    log->verbose("\t\tendtime");
  } else if (endtime == TIME_LAST) {
    log->verbose("\t\tendtime\t\t\tlast");
  } else {
    log->verbose("\t\tendtime\t\t\t" + dateText(endtime));
  }
  log->verbose(tooOldLimit == TIME_UNSET ? "\t\ttoo_old" : "\t\ttoo_old\t\t" + limitText(tooOldLimit));
  log->verbose(tooNewLimit == TIME_UNSET ? "\t\ttoo_new" : "\t\ttoo_new\t\t" + limitText(tooNewLimit));
  log->verbose(std::string("\t\tcheck_unstuff\t\t") + (checkUnstuff ? "true" : "false"));
}

void RelayConnection::describeWriter() {
  RelayLogMgr *log = relayLog();
  log->verbose("\t\tdirection\t\twrite");
  log->verbose("\t\tread_from_queue\t\t" + queuename);
  if (jetstream) {
    describeJetStream();
  } else {
    log->verbose("\t\twrite_to_tarnname\t" + tarnname);
    log->verbose("\t\twrite_to_tarntag\t\t" + tagname);
  }
  log->verbose("\t\tmax_queue\t\t" + std::to_string(maxqueue));
  log->verbose("\t\tmax_queue_bytes\t\t" + std::to_string(maxqueuebytes));
}
