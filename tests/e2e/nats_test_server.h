// A NATS server with JetStream for one test: nats-server -js on 127.0.0.1
// with a free port and its store in a temporary folder, waited for until it
// is ready, stopped at the end. restart() starts it again on the same port
// and store, as an operator's restart would.
//
// Also what the tests ask JetStream directly: a stream's messages and a
// durable consumer's acknowledged floor, through the NATS C client.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "process.h"

namespace e2e {

class NatsTestServer {
 public:
  NatsTestServer();
  ~NatsTestServer();

  // "nats://127.0.0.1:PORT".
  std::string url() const;
  // Ends the server with SIGTERM and waits; its exit status.
  int stop();
  // Starts it again with the same port and store.
  void restart();
  std::string log() const { return proc_ ? proc_->err() : ""; }
  int pid() const { return proc_ ? proc_->pid() : -1; }

 private:
  void start();
  testsupport::TempDir dir_;
  int port_ = -1;
  std::unique_ptr<testsupport::ChildProcess> proc_;
};

// One message of a stream as JetStream holds it.
struct StoredMessage {
  uint64_t sequence = 0;
  std::string subject;
  std::map<std::string, std::string> headers;  // Tarn-Srcname, Tarn-Time, Nats-Msg-Id
  std::string data;
};

// Message `sequence` of `stream`; sequence 0 in the result when there is none.
StoredMessage storedMessage(const std::string &url, const std::string &stream, uint64_t sequence);
// Deletes `stream` and makes it again, empty, for the subjects "tarn.>"
// (as an operator who starts the stream over would); true when both worked.
bool remakeStream(const std::string &url, const std::string &stream);
// Makes `stream` for the subjects "tarn.>", taking messages of at most
// `maxMsgSize` bytes; true when it worked.
bool makeStream(const std::string &url, const std::string &stream, int32_t maxMsgSize);
// Removes the messages of `stream` before `keepFrom`; true when it worked.
bool purgeStreamBefore(const std::string &url, const std::string &stream, uint64_t keepFrom);
// Publishes each packet (source name, time, bytes) onto `stream`, making
// the stream for the subjects "tarn.>" when there is none, as the relay's
// writer names its messages; true once JetStream acknowledged them all.
struct PublishedPacket {
  std::string srcname;
  double time = 0;
  std::string bytes;
};
bool publishPackets(const std::string &url, const std::string &stream,
                    const std::vector<PublishedPacket> &packets);
// The stream's last sequence number (0: empty or missing).
uint64_t lastSequence(const std::string &url, const std::string &stream);
// The stream sequence up to which the durable consumer is acknowledged, and
// how many it has delivered without acknowledgement (-1, -1: no consumer).
std::pair<int64_t, int64_t> consumerFloor(const std::string &url, const std::string &stream,
                                          const std::string &consumer);

}  // namespace e2e
