// tarn put TARN: one packet per JSON line on standard input.
#include <algorithm>
#include <cstdio>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>

#include "platform/tarnclient/tarnclient.h"
#include "platform/tarnclient/tarnclient_internal.h"
#include "tools/tarn_commands.h"
#include "tools/tool_support.h"

namespace tarntool {
namespace {

struct LinePacket {
  std::string srcname;
  double time = 0.0;
  std::string bytes;
};

// Reads one line's packet; false with the reason in err.
bool decodeLine(const std::string &line, LinePacket &p, std::string &err) {
  nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
  if (j.is_discarded() || !j.is_object()) {
    err = "not a JSON object";
    return false;
  }
  auto src = j.find("srcname");
  if (src == j.end() || !src->is_string()) {
    err = "\"srcname\" (a string) is missing";
    return false;
  }
  p.srcname = src->get<std::string>();
  if (p.srcname.empty() || p.srcname.size() > 63) {
    err = "\"srcname\" must have 1 to 63 characters";
    return false;
  }
  auto t = j.find("time");
  if (t != j.end() && t->is_number()) {
    p.time = t->get<double>();
  } else if (t == j.end() || !t->is_string() || !parseTime(t->get<std::string>(), p.time)) {
    err = "\"time\" (epoch seconds or a time text) is missing or unreadable";
    return false;
  }
  auto text = j.find("text");
  auto data = j.find("data");
  if ((text != j.end()) == (data != j.end())) {
    err = "give exactly one of \"text\" and \"data\"";
    return false;
  }
  if (text != j.end()) {
    if (!text->is_string()) {
      err = "\"text\" must be a string";
      return false;
    }
    p.bytes = text->get<std::string>();
  } else if (!data->is_string() || !base64Decode(data->get<std::string>(), p.bytes)) {
    err = "\"data\" must be base64";
    return false;
  }
  return true;
}

// Waits until the server acknowledged `sent` puts: at most ten seconds, and
// less once reconnecting has failed five times meanwhile (about three
// seconds of back-off: the server is gone, or refuses this writer
// altogether).
bool awaitStored(int fd, uint64_t sent) {
  constexpr int kSlices = 40;  // of a quarter second
  uint64_t failuresBefore = tarnclient::reconnectFailures(fd);
  for (int i = 0; i < kSlices && !interrupted(); ++i) {
    if (tarnclient::awaitAcknowledged(fd, sent, 0.25) == 0) return true;
    if (tarnclient::reconnectFailures(fd) >= failuresBefore + 5) break;
  }
  return tarnclient::awaitAcknowledged(fd, sent, 0) == 0;
}

}  // namespace

int runPut(const Args &args) {
  const char *const usage = "usage: tarn put TARN < packets.jsonl\n";
  if (showsHelp(args, usage)) return 0;
  if (args.size() != 1) {
    std::fputs(usage, stderr);
    return 2;
  }
  if (std::string bad = tarnNameError(args[0]); !bad.empty()) {
    std::fprintf(stderr, "tarn put: %s\n%s", bad.c_str(), usage);
    return 2;
  }
  catchInterrupts();
  int fd = tarnopen(args[0].c_str(), "w&");
  if (fd < 0) {
    std::fprintf(stderr, "tarn put: cannot reach tarn '%s'\n", args[0].c_str());
    return 1;
  }
  tarnclient::callerSaysRefusals(fd);  // said here, once, at the end
  std::string line;
  long lineNo = 0, sent = 0, bad = 0;
  while (!interrupted() && std::getline(std::cin, line)) {
    ++lineNo;
    if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
    LinePacket p;
    std::string err;
    if (!decodeLine(line, p, err)) {
      std::fprintf(stderr, "tarn put: line %ld: %s\n", lineNo, err.c_str());
      ++bad;
      continue;
    }
    uint32_t most = tarnclient::maxPacketBytes(fd);
    if (most != 0 && p.bytes.size() > most) {
      std::fprintf(
          stderr, "tarn put: line %ld: %s\n", lineNo,
          tarnclient::tooLargeText(p.bytes.size(), most, "tarn '" + args[0] + "'").c_str());
      ++bad;
      continue;
    }
    int rc =
        tarnput(fd, p.srcname.c_str(), p.time, p.bytes.data(), static_cast<int>(p.bytes.size()));
    if (rc < 0) {
      std::fprintf(stderr, "tarn put: line %ld: not put\n", lineNo);
      ++bad;
      if (rc == -3) break;  // interrupted while the server was away
      continue;
    }
    ++sent;
  }
  // What the server stored: the puts it acknowledged, less those it refused
  // (a refused put counts as acknowledged, and is never sent again).
  bool flushed = awaitStored(fd, static_cast<uint64_t>(sent));
  bool wasInterrupted = interrupted();
  if (!flushed) stopWaiting();  // tarnclose need not wait again
  tarnclient::PutWindow window;
  tarnclient::putWindow(fd, window);
  std::vector<tarnclient::RefusedPut> refused = tarnclient::takeRefusedPuts(fd);
  uint64_t stored = window.acknowledged - std::min<uint64_t>(refused.size(), window.acknowledged);
  tarnclose(fd);
  std::string text = std::to_string(stored) +
                     (stored == static_cast<uint64_t>(sent) ? "" : " of " + std::to_string(sent)) +
                     " packets put";
  if (!refused.empty())
    text += "; " + std::to_string(refused.size()) + " refused: " + refused.front().why;
  if (!flushed) text += "; " + std::to_string(sent - window.acknowledged) + " not acknowledged";
  if (bad) text += "; lines not put: " + std::to_string(bad);
  std::fprintf(stderr, "tarn put: %s\n", text.c_str());
  return bad == 0 && refused.empty() && flushed && !wasInterrupted ? 0 : 1;
}

}  // namespace tarntool
