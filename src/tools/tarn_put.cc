// tarn put TARN: one packet per JSON line on standard input.
#include <cstdio>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>

#include "platform/tarnclient/tarnclient.h"
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

}  // namespace

int runPut(const Args &args) {
  const char *const usage = "usage: tarn put TARN < packets.jsonl\n";
  if (showsHelp(args, usage)) return 0;
  if (args.size() != 1) {
    std::fputs(usage, stderr);
    return 2;
  }
  catchInterrupts();
  int fd = tarnopen(args[0].c_str(), "w&");
  if (fd < 0) {
    std::fprintf(stderr, "tarn put: cannot reach tarn '%s'\n", args[0].c_str());
    return 1;
  }
  std::string line;
  long lineNo = 0, put = 0, bad = 0;
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
    int rc =
        tarnput(fd, p.srcname.c_str(), p.time, p.bytes.data(), static_cast<int>(p.bytes.size()));
    if (rc < 0) {
      std::fprintf(stderr, "tarn put: line %ld: the server refused the packet (%zu bytes)\n",
                   lineNo, p.bytes.size());
      ++bad;
      if (rc == -3) break;  // interrupted while the server was away
      continue;
    }
    ++put;
  }
  bool flushed = tarnclose(fd) == 0;
  std::fprintf(stderr, "tarn put: %ld packets put%s%s\n", put, bad ? ", lines refused: " : "",
               bad ? std::to_string(bad).c_str() : "");
  if (!flushed) std::fputs("tarn put: the server did not acknowledge every packet\n", stderr);
  return bad == 0 && flushed && !interrupted() ? 0 : 1;
}

}  // namespace tarntool
