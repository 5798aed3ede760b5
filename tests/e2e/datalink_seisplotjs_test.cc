// The DataLink port over WebSocket, driven by a client no one here wrote:
// seisplotjs's DataLinkConnection in Node (with the `ws` package) writes
// miniSEED records with acknowledgement and streams them back; every
// record must be acknowledged with its packet id once stored, come back
// byte for byte under its stream id, and be the packet `tarn tail` shows.
#include <gtest/gtest.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "mseed_samples.h"
#include "relay_e2e.h"

namespace e2e {
namespace {

using nlohmann::json;
using std::chrono::seconds;

std::string nodeDir() {
  if (const char *dir = std::getenv("TARN_NODE_DIR")) return dir;
  return std::string(std::getenv("HOME") ? std::getenv("HOME") : "/root") +
         "/.cache/tarn2tarn_pre/node";
}

std::string unbase64(const std::string &text) {
  static const std::string digits =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  uint32_t bits = 0;
  int have = 0;
  for (char c : text) {
    size_t at = digits.find(c);
    if (at == std::string::npos) continue;  // '=' and the like
    bits = bits << 6 | static_cast<uint32_t>(at);
    if ((have += 6) >= 8) out += static_cast<char>(bits >> (have -= 8));
  }
  return out;
}

// The stream id of a record, from its fixed header.
std::string streamIdOf(const std::string &record) {
  auto field = [&](size_t at, size_t n) {
    std::string s = record.substr(at, n);
    return s.substr(0, s.find_last_not_of(' ') + 1);
  };
  return field(18, 2) + "_" + field(8, 5) + "_" + field(13, 2) + "_" + field(15, 3) + "/MSEED";
}

TEST(DatalinkSeisplotjs, RecordsWrittenWithAcknowledgementStreamBackByteForByte) {
  for (const char *package : {"seisplotjs", "ws"}) {
    ASSERT_EQ(access((nodeDir() + "/node_modules/" + package + "/package.json").c_str(), R_OK), 0)
        << package << " is not installed in " << nodeDir() << ": run make deps";
  }
  tarntest::TarnTestServer server({"--datalink", "0"});
  ASSERT_FALSE(server.datalinkName().empty()) << server.log();
  // The test set: 512- and 4096-byte records, empty locations, a gap.
  std::vector<std::string> records;
  for (const mseedtest::Stream &s : mseedtest::standardSet()) {
    for (const std::string &r : mseedtest::pack(s)) records.push_back(r);
  }
  testsupport::TempDir dir;
  testsupport::writeFile(dir.file("records.mseed"), mseedtest::joined(records));

  const std::string url = "ws://" + server.datalinkName();
  auto r = testsupport::runProgram(
      {"/usr/bin/env", "TARN_NODE_DIR=" + nodeDir(), "node",
       std::string(RELAY_SOURCE_DIR) + "/tests/e2e/js/datalink_client.mjs", "--url", url, "--write",
       dir.file("records.mseed"), "--read", std::to_string(records.size()), "--seconds", "90"},
      seconds(120));
  ASSERT_EQ(r.exitStatus, 0) << r.err << server.log();

  std::vector<json> acks, packets;
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);) {
    json j = json::parse(line, nullptr, false);
    if (j.is_discarded()) continue;
    (j.contains("ack") ? acks : packets).push_back(j);
  }
  ASSERT_EQ(acks.size(), records.size());
  ASSERT_EQ(packets.size(), records.size());
  for (size_t i = 0; i < records.size(); ++i) {
    EXPECT_EQ(acks[i]["type"], "OK") << i << ": " << acks[i].dump();
    EXPECT_EQ(acks[i]["ack"], std::to_string(i));  // acknowledged with its packet id
    EXPECT_EQ(packets[i]["pktid"], i);
    EXPECT_EQ(packets[i]["stream"], streamIdOf(records[i])) << i;
    EXPECT_TRUE(unbase64(packets[i]["data"].get<std::string>()) == records[i]) << i;
  }
  // The ring holds them under the project's names, in order.
  std::vector<Packet> held = packetsOn(server.name());
  ASSERT_EQ(held.size(), records.size());
  EXPECT_EQ(held.front().srcname, "XT_S1A_HHZ_00/MSEED");
}

}  // namespace
}  // namespace e2e
