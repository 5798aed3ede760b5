#include "tarnserver/seedlink_session.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>

#include "platform/mseed/mseed_record.h"
#include "platform/seedlink/seedlink_wire.h"
#include "tarnserver/packet_finder.h"
#include "tarnserver/seedlink_info.h"

namespace tarnserver {

namespace {
constexpr uint64_t kScanBudget = 65536;  // packets examined by one pump call
constexpr size_t kKeptOutput = 4 << 20;  // output capacity kept once it is sent
constexpr size_t kKeptInput = 64 << 10;  // input capacity kept once it is handled
constexpr double kNoStart = -std::numeric_limits<double>::infinity();
constexpr double kNoEnd = std::numeric_limits<double>::infinity();

const char *const kCapabilities[] = {"SLPROTO:3.1",   "SLPROTO:4.0", "CAP",     "EXTREPLY",
                                     "NSWILDCARD",    "TIME",        "INFO:ID", "INFO:CAPABILITIES",
                                     "INFO:STATIONS", "INFO:STREAMS", "INFO:CONNECTIONS"};

std::vector<std::string> words(std::string_view line) {
  std::vector<std::string> out;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && line[i] == ' ') ++i;
    size_t j = i;
    while (j < line.size() && line[j] != ' ') ++j;
    if (j > i) out.emplace_back(line.substr(i, j - i));
    i = j;
  }
  return out;
}

std::string upper(std::string s) {
  for (char &c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

bool printable(std::string_view line) {
  return std::all_of(line.begin(), line.end(), [](char c) {
    return static_cast<unsigned char>(c) >= 0x20 && static_cast<unsigned char>(c) < 0x7f;
  });
}

// Station, network and location patterns: letters, digits and wildcards.
bool codePattern(std::string_view s) {
  if (s.empty() || s.size() > 16) return false;
  return std::all_of(s.begin(), s.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '?' || c == '*' || c == '-';
  });
}

bool parseHexSequence(const std::string &s, uint64_t &out) {
  if (s.empty() || s.size() > 6) return false;
  char *end = nullptr;
  out = std::strtoull(s.c_str(), &end, 16);
  return *end == '\0' && std::isxdigit(static_cast<unsigned char>(s[0]));
}

bool parseDecimalSequence(const std::string &s, uint64_t &out) {
  if (s.empty() || s.size() > 20 || !std::all_of(s.begin(), s.end(), ::isdigit)) return false;
  errno = 0;
  out = std::strtoull(s.c_str(), nullptr, 10);
  return errno == 0;
}
}  // namespace

SeedlinkSession::SeedlinkSession(Ring &ring, const SessionLimits &limits, ClientAccess access,
                                 std::unique_ptr<SeedlinkTransport> transport,
                                 const ServerFigures *figures)
    : ring_(ring),
      limits_(limits),
      access_(std::move(access)),
      transport_(transport ? std::move(transport) : std::make_unique<PlainTransport>()),
      figures_(figures) {}

SessionInfo SeedlinkSession::info() const {
  SessionInfo i{version_ == 4 ? "seedlink 4.0" : "seedlink 3.1", userAgent_, ""};
  for (const Selection &sel : selections_) {
    if (i.activity.size() > 200) {
      i.activity += " ...";
      break;
    }
    i.activity += (i.activity.empty() ? "" : " ") + sel.network + "_" + sel.station;
    for (const StreamSelector &st : sel.selectors)
      i.activity += std::string(":") + (st.exclude ? "!" : "") +
                    (st.v4 ? st.stream : st.location + st.channel);
  }
  if (i.activity.empty()) i.activity = greeted_ ? "asks" : "greets";
  if (streaming_) i.activity += fetch_ ? ", fetching" : ", streaming";
  return i;
}

void SeedlinkSession::consumed(size_t n) {
  outHead_ += n;
  if (outHead_ == out_.size()) {
    out_.clear();
    if (out_.capacity() > kKeptOutput) std::vector<char>().swap(out_);
    outHead_ = 0;
  } else if (outHead_ > (1u << 20) && outHead_ * 2 > out_.size()) {
    out_.erase(out_.begin(), out_.begin() + static_cast<std::ptrdiff_t>(outHead_));
    outHead_ = 0;
  }
}

void SeedlinkSession::message(std::string_view bytes) { transport_->wrap(bytes, out_); }

void SeedlinkSession::ok() { message("OK\r\n"); }

bool SeedlinkSession::answerError(const char *code, const std::string &text) {
  ++errors_;
  if (streaming_) return true;  // no room for text among the packets
  message(version_ == 4 ? "ERROR " + std::string(code) + " " + text + "\r\n"
                        : "ERROR " + text + "\r\n");
  return true;
}

bool SeedlinkSession::fatal(const char *code, const std::string &text) {
  answerError(code, text);
  error_ = text;
  errorCode_ = tarnwire::kErrFrame;
  finished_ = true;
  return false;
}

void SeedlinkSession::refuse(int32_t code, const std::string &text) {
  if (!streaming_) {
    message(version_ == 4 ? "ERROR LIMIT " + text + "\r\n" : "ERROR " + text + "\r\n");
  }
  error_ = text;
  errorCode_ = code;
  finished_ = true;
  transport_->close(out_);
}

bool SeedlinkSession::backlog(const char *, size_t) const {
  return !finished_ && input_.find_first_of("\r\n") != std::string::npos;
}

ssize_t SeedlinkSession::consume(const char *data, size_t n) {
  if (finished_) return static_cast<ssize_t>(n);
  std::string err;
  if (n > 0 && !transport_->unwrap(data, n, input_, out_, err)) {
    error_ = err;
    errorCode_ = tarnwire::kErrFrame;
    return -1;
  }
  if (int fixed = transport_->protocolVersion()) version_ = fixed;
  size_t pos = 0;
  bool alive = true;
  work_ = 0;
  for (int lines = 0; alive && lines < kLinesPerTurn && outSize() < limits_.outputLimit &&
                      work_ < limits_.workBudget && !finished_;
       ++lines) {
    size_t eol = input_.find_first_of("\r\n", pos);
    if (eol == std::string::npos) break;
    std::string_view line(input_.data() + pos, eol - pos);
    pos = eol + 1;
    if (line.size() > kMaxLine) {
      alive = fatal("LIMIT", "command line longer than " + std::to_string(kMaxLine) + " bytes");
    } else if (!line.empty()) {
      alive = handleLine(line);
    }
  }
  input_.erase(0, pos);
  if (alive && input_.find_first_of("\r\n") == std::string::npos && input_.size() > kMaxLine) {
    alive = fatal("LIMIT", "command line longer than " + std::to_string(kMaxLine) + " bytes");
  }
  if (input_.empty() && input_.capacity() > kKeptInput) std::string().swap(input_);
  if (alive && errors_ >= kMaxErrors) {
    error_ = std::to_string(errors_) + " commands refused";
    errorCode_ = tarnwire::kErrFrame;
    alive = false;
  }
  if (!alive) transport_->close(out_);
  return alive ? static_cast<ssize_t>(n) : -1;
}

bool SeedlinkSession::handleLine(std::string_view line) {
  ++work_;
  if (!access_.mayConnect) {
    return fatal("UNAUTHORIZED",
                 "connecting to " + access_.tarn + " is not allowed from " + access_.host);
  }
  greeted_ = true;
  if (!printable(line)) return answerError("UNSUPPORTED", "command is not printable text");
  std::vector<std::string> args = words(line);
  if (args.empty()) return true;
  std::string verb = upper(args.front());
  args.erase(args.begin());
  return command(verb, args);
}

bool SeedlinkSession::command(const std::string &verb, const std::vector<std::string> &args) {
  if (verb == "BYE") {
    error_ = "said BYE";
    return false;
  }
  if (verb == "INFO") return onInfo(args);
  if (streaming_) return true;  // the transfer has begun: nothing else is taken
  if (verb == "HELLO") return onHello();
  if (verb == "SLPROTO") return onSlproto(args);
  if (verb == "USERAGENT" || verb == "CAPABILITIES") {
    if (verb == "USERAGENT") {
      userAgent_.clear();
      for (const std::string &a : args) userAgent_ += (userAgent_.empty() ? "" : " ") + a;
      userAgent_ = userAgent_.substr(0, 128);
    }
    ok();
    return true;
  }
  if (verb == "STATION") return onStation(args);
  if (verb == "SELECT") return onSelect(args);
  if (verb == "DATA") return onStart(Start::kData, args);
  if (verb == "FETCH") return onStart(Start::kFetch, args);
  if (verb == "TIME") return onStart(Start::kTime, args);
  if (verb == "END") return onEnd(false);
  if (verb == "ENDFETCH" && version_ == 4) return onEnd(true);
  return answerError("UNSUPPORTED", "command '" + verb.substr(0, 32) + "' is not served");
}

// What the server offers this client: a transport that fixes the version
// (a WebSocket's subprotocol) offers only that one.
std::vector<std::string> SeedlinkSession::capabilities() const {
  std::vector<std::string> caps;
  int fixed = transport_->protocolVersion();
  for (const char *cap : kCapabilities) {
    if (fixed == 3 && std::strcmp(cap, "SLPROTO:4.0") == 0) continue;
    if (fixed == 4 && std::strcmp(cap, "SLPROTO:3.1") == 0) continue;
    caps.emplace_back(cap);
  }
  return caps;
}

bool SeedlinkSession::onHello() {
  std::string caps;
  for (const std::string &cap : capabilities()) caps += " " + cap;
  message("SeedLink v4.0 (tarnserver) ::" + caps + "\r\ntarn server " + access_.tarn + "\r\n");
  return true;
}

bool SeedlinkSession::onSlproto(const std::vector<std::string> &args) {
  if (args.size() != 1) return answerError("ARGUMENTS", "SLPROTO takes one version");
  if (committed_) return answerError("UNEXPECTED", "SLPROTO comes before STATION and SELECT");
  int asked = 0;
  if (args[0] == "4.0" || args[0] == "4") {
    asked = 4;
  } else if (args[0] == "3.1" || args[0] == "3.0" || args[0] == "3") {
    asked = 3;
  } else {
    return answerError("UNSUPPORTED",
                       "protocol " + args[0].substr(0, 16) + " is not served (3.1 and 4.0 are)");
  }
  if (int fixed = transport_->protocolVersion(); fixed != 0 && asked != fixed) {
    return answerError("UNSUPPORTED", std::string("the WebSocket subprotocol fixes protocol ") +
                                          (fixed == 4 ? "4.0" : "3.1"));
  }
  version_ = asked;
  ok();
  return true;
}

SeedlinkSession::Selection &SeedlinkSession::current() {
  if (current_ < 0) {
    selections_.push_back(Selection{"*", "*", {}, false, 0, kNoStart, kNoEnd});
    current_ = static_cast<int>(selections_.size()) - 1;
    implicit_ = true;
  }
  return selections_[static_cast<size_t>(current_)];
}

bool SeedlinkSession::onStation(const std::vector<std::string> &args) {
  if (args.empty() || args.size() > 2) {
    return answerError("ARGUMENTS", "STATION takes a station and a network, or NET_STA");
  }
  if (selections_.size() >= kMaxStations) {
    return answerError("LIMIT", "at most " + std::to_string(kMaxStations) + " stations");
  }
  std::string network = args.size() == 2 ? args[1] : "*", station = args[0];
  size_t us = station.find('_');
  if (args.size() == 1 && us != std::string::npos) {
    network = station.substr(0, us);
    station = station.substr(us + 1);
  }
  if (!codePattern(network) || !codePattern(station)) {
    return answerError("ARGUMENTS", "STATION '" + args[0].substr(0, 32) + "' is not a pattern");
  }
  committed_ = true;
  selections_.push_back(Selection{network, station, {}, false, 0, kNoStart, kNoEnd});
  current_ = static_cast<int>(selections_.size()) - 1;
  implicit_ = false;
  ok();
  return true;
}

bool SeedlinkSession::onSelect(const std::vector<std::string> &args) {
  committed_ = true;
  Selection &sel = current();
  if (args.empty()) {  // every stream again
    selectorCount_ -= sel.selectors.size();
    sel.selectors.clear();
    ok();
    return true;
  }
  if (selectorCount_ + args.size() > kMaxAllSelectors) {
    return answerError("LIMIT",
                       "at most " + std::to_string(kMaxAllSelectors) + " selectors in all");
  }
  if (sel.selectors.size() + args.size() > kMaxSelectors) {
    return answerError("LIMIT",
                       "at most " + std::to_string(kMaxSelectors) + " selectors per station");
  }
  std::vector<StreamSelector> parsed;
  for (const std::string &arg : args) {
    StreamSelector s;
    std::string err;
    if (!parseSelector(arg, s, err)) return answerError("ARGUMENTS", err.substr(0, 96));
    parsed.push_back(s);
  }
  sel.selectors.insert(sel.selectors.end(), parsed.begin(), parsed.end());
  selectorCount_ += parsed.size();
  ok();
  return true;
}

bool SeedlinkSession::takes(const Selection &sel, const StreamId &id) const {
  return wildcardMatch(sel.network, id.network) && wildcardMatch(sel.station, id.station) &&
         selectorsTake(sel.selectors, id);
}

// The streams of the ring the selection takes whose records are larger
// than 3.1 carries ("" when there are none).
std::string SeedlinkSession::tooLargeForV3(const Selection &sel) {
  const SourceTable &sources = ring_.sources();
  std::string names;
  int found = 0;
  for (uint32_t i = 0; i < sources.slotCount(); ++i) {
    ++work_;
    if (!sources.live(i) || sources.at(i).newestSeq == kNoSeq) continue;
    StreamId id;
    if (!streamOfSource(sources.at(i).name, id) || !takes(sel, id)) continue;
    PacketRef p = ring_.packet(sources.at(i).newestSeq);
    int length = mseed::recordLength(p.data, p.nbytes);
    if (length <= static_cast<int>(seedlink::kV3RecordLength)) continue;
    if (found++ < 3) {
      names += (names.empty() ? "" : ", ") + id.stationId() + "_" + id.location + "_" + id.channel +
               " (" + std::to_string(length) + " bytes)";
    }
  }
  if (found > 3) names += " and " + std::to_string(found - 3) + " more";
  return names;
}

bool SeedlinkSession::onStart(Start kind, const std::vector<std::string> &args) {
  committed_ = true;
  Selection &sel = current();
  if (!arm(sel, kind, args)) return true;  // answered
  if (version_ == 3) {
    std::string large = tooLargeForV3(sel);
    if (!large.empty()) {
      sel.armed = false;
      return answerError("LIMIT",
                         "records larger than 512 bytes go through protocol 4.0 only "
                         "(SLPROTO 4.0): " +
                             large);
    }
  }
  if (version_ == 3 && implicit_) {  // uni-station mode: the transfer starts at once
    beginTransfer(kind == Start::kFetch);
    return true;
  }
  ok();
  return true;
}

// Arms the selection; false when the arguments were refused (answered).
bool SeedlinkSession::arm(Selection &sel, Start kind, const std::vector<std::string> &args) {
  double start = kNoStart, end = kNoEnd;
  bool seqGiven = false;
  uint64_t seq = 0;
  size_t timeArg = 0;
  if (kind == Start::kTime) {
    if (args.empty() || args.size() > 2) {
      answerError("ARGUMENTS", "TIME takes a start time and an optional end time");
      return false;
    }
  } else {
    if (args.size() > (version_ == 4 ? 3u : 2u)) {
      answerError("ARGUMENTS", "too many arguments");
      return false;
    }
    if (!args.empty() && upper(args[0]) != "ALL") {
      bool good =
          version_ == 4 ? parseDecimalSequence(args[0], seq) : parseHexSequence(args[0], seq);
      if (!good) {
        answerError("ARGUMENTS", "'" + args[0].substr(0, 24) + "' is not a sequence number");
        return false;
      }
      seqGiven = true;
    }
    timeArg = 1;
  }
  if (args.size() > timeArg && !parseSeedlinkTime(args[timeArg], start)) {
    answerError("ARGUMENTS", "'" + args[timeArg].substr(0, 40) + "' is not a time");
    return false;
  }
  if (args.size() > timeArg + 1 && !parseSeedlinkTime(args[timeArg + 1], end)) {
    answerError("ARGUMENTS", "'" + args[timeArg + 1].substr(0, 40) + "' is not a time");
    return false;
  }
  // 4.0 calls a window that ends before it starts an error; 3.1 clients
  // get the empty transfer (END) they have always had.
  if (version_ == 4 && end < start) {
    answerError("ARGUMENTS", "the end time " + args[timeArg + 1].substr(0, 40) +
                                 " is before the start time " + args[timeArg].substr(0, 40));
    return false;
  }
  const uint64_t next = ring_.nextSeq(), oldest = ring_.oldestSeq();
  uint64_t at = next;
  bool found = false;
  if (seqGiven && version_ == 4) {
    found = seq >= oldest && seq <= next;
    if (found) at = seq;
  } else if (seqGiven && !ring_.empty()) {
    // The next packet the client wants (3.1 clients send the last number
    // received plus one): the one to come, or the newest held, whose low
    // 24 bits are the client's number.
    uint64_t back = (next - seq) % seedlink::kV3SequenceModulo;
    found = back <= next - oldest;
    if (found) at = next - back;
  }
  if (!found && std::isfinite(start)) {
    PacketFilter all;
    PacketFinder finder(ring_, all);
    uint64_t first = finder.firstAtOrAfter(start);
    work_ += finder.work();
    at = first == kNoSeq ? next : first;
  } else if (!found && seqGiven) {
    at = oldest;
  }
  sel.armed = true;
  sel.startSeq = at;
  // v3 DATA's time only says where to start when the number is not held.
  sel.start = kind == Start::kData && version_ == 3 ? kNoStart : start;
  sel.end = end;
  if (kind == Start::kFetch) fetch_ = true;
  return true;
}

bool SeedlinkSession::onEnd(bool fetch) {
  committed_ = true;
  if (selections_.empty()) current();
  for (Selection &sel : selections_) {
    if (!sel.armed) arm(sel, Start::kData, {});
  }
  beginTransfer(fetch);
  return true;
}

void SeedlinkSession::beginTransfer(bool fetch) {
  fetch_ = fetch_ || fetch;
  streaming_ = true;
  cursor_ = ring_.nextSeq();
  windowed_ = true;
  for (const Selection &sel : selections_) {
    if (!sel.armed) continue;
    cursor_ = std::min(cursor_, sel.startSeq);
    windowed_ = windowed_ && std::isfinite(sel.end);
  }
  verdictGeneration_ = UINT64_MAX;
  checkEnd();
}

bool SeedlinkSession::onInfo(const std::vector<std::string> &args) {
  if (args.empty() || args.size() > 3) {
    return answerError("ARGUMENTS", "INFO takes a level and optional station and stream patterns");
  }
  InfoContext ctx{ring_, "tarn server " + access_.tarn, {}, {}};
  ctx.capabilities = capabilities();
  if (upper(args[0]) == "CONNECTIONS" && figures_ && figures_->listClients)
    ctx.connections = figures_->listClients();
  std::string text, err;
  std::string stations = args.size() > 1 ? args[1] : "", streams = args.size() > 2 ? args[2] : "";
  if (!infoText(ctx, version_, upper(args[0]), stations, streams, text, err, work_)) {
    return answerError("ARGUMENTS", err.substr(0, 120));
  }
  if (version_ == 4) {
    scratch_.clear();
    seedlink::appendV4Header(scratch_, seedlink::kFormatJson, seedlink::kSubformatInfo,
                             static_cast<uint32_t>(text.size()), seedlink::kNoSequence, "");
    scratch_ += text;
    message(scratch_);
    return true;
  }
  std::vector<std::string> records = infoRecords(text);
  for (size_t i = 0; i < records.size(); ++i) {
    scratch_.clear();
    seedlink::appendV3InfoHeader(scratch_, i + 1 < records.size());
    scratch_ += records[i];
    message(scratch_);
  }
  return true;
}

const SeedlinkSession::Verdict &SeedlinkSession::verdictOf(uint32_t sourceIdx) {
  const SourceTable &sources = ring_.sources();
  if (verdictGeneration_ != sources.generation()) {
    verdicts_.assign(sources.slotCount(), Verdict{});
    verdictGeneration_ = sources.generation();
  }
  if (verdicts_.size() < sources.slotCount()) verdicts_.resize(sources.slotCount());
  Verdict &v = verdicts_[sourceIdx];
  if (v.selection != -2) return v;
  v.selection = -1;
  StreamId id;
  if (!streamOfSource(sources.at(sourceIdx).name, id)) return v;
  for (size_t i = 0; i < selections_.size(); ++i) {
    if (selections_[i].armed && takes(selections_[i], id)) {
      v.selection = static_cast<int32_t>(i);
      v.type = id.type;
      v.stationId = id.stationId();
      break;
    }
  }
  return v;
}

// One SeedLink packet per record of the ring's packet.
void SeedlinkSession::sendPacket(uint64_t seq) {
  PacketRef p = ring_.packet(seq);
  const Verdict &v = verdictOf(ring_.sourceOf(seq));
  for (uint32_t off = 0; off < p.nbytes;) {
    uint32_t rest = p.nbytes - off;
    int found = rest == seedlink::kV3RecordLength ? static_cast<int>(rest)
                                                  : mseed::recordLength(p.data + off, rest);
    uint32_t length =
        found > 0 && static_cast<uint32_t>(found) <= rest ? static_cast<uint32_t>(found) : rest;
    scratch_.clear();
    if (version_ == 4) {
      seedlink::appendV4Header(scratch_, seedlink::kFormatMseed2, v.type, length, seq, v.stationId);
    } else if (length == seedlink::kV3RecordLength) {
      seedlink::appendV3DataHeader(scratch_, seq);
    }
    if (!scratch_.empty()) {
      scratch_.append(p.data + off, length);
      message(scratch_);
      ++packetsSent_;
    }
    off += length;
  }
}

bool SeedlinkSession::pump(size_t limit) {
  if (!streaming_ || finished()) return false;
  if (cursor_ < ring_.oldestSeq()) cursor_ = ring_.oldestSeq();
  uint64_t scanned = 0;
  while (cursor_ < ring_.nextSeq() && outSize() < limit && scanned < kScanBudget) {
    ++scanned;
    uint64_t seq = cursor_++;
    if (ring_.isHole(seq)) continue;
    const Verdict &v = verdictOf(ring_.sourceOf(seq));
    if (v.selection < 0) continue;
    const Selection &sel = selections_[static_cast<size_t>(v.selection)];
    if (seq < sel.startSeq) continue;
    if (std::isfinite(sel.start) || std::isfinite(sel.end)) {
      double t = ring_.timeOf(seq);
      if (!(t >= sel.start && t < sel.end)) continue;
    }
    sendPacket(seq);
  }
  checkEnd();
  return !finished_ && cursor_ < ring_.nextSeq();
}

// A FETCH transfer ends at the ring's end; so does one whose every window
// closed before the ring's newest packet.
void SeedlinkSession::checkEnd() {
  if (finished_ || cursor_ < ring_.nextSeq()) return;
  bool done = fetch_;
  if (!done && windowed_ && !ring_.empty()) {
    double newest = ring_.timeOf(ring_.newestSeq());
    done = true;
    for (const Selection &sel : selections_) {
      if (sel.armed && !(newest >= sel.end)) done = false;
    }
  }
  if (!done) return;
  if (version_ == 3) message("END");
  finished_ = true;
  transport_->close(out_);
}

}  // namespace tarnserver
