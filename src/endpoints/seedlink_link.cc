#include "endpoints/seedlink_link.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "base/stop.h"
#include "endpoints/seedlink_stations.h"
#include "platform/mseed/mseed_record.h"
#include "platform/tarnclient/tarn_address.h"

namespace {

// A link this long without a byte asks the server a question (INFO ID); as
// long again without an answer, it is taken for dead.
constexpr double kQuietSeconds = 30.0;
// The longest a selector, network or station may be: far more than any
// protocol allows, short enough to keep commands small.
constexpr size_t kMaxCode = 32;
// The most text of an INFO answer looked at.
constexpr size_t kMaxInfoText = size_t{4} << 20;

double monotonicSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

bool codeCharacter(char c, bool selector) {
  if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) return true;
  if (c == '?' || c == '*' || c == '-') return true;
  return selector && (c == '.' || c == '_' || c == '!');
}

std::string codeProblem(const std::string &code, const char *what, bool selector) {
  if (code.empty()) return std::string("its ") + what + " is empty";
  if (code.size() > kMaxCode)
    return std::string("its ") + what + " '" + code + "' is longer than " +
           std::to_string(kMaxCode) + " characters";
  for (char c : code) {
    if (!codeCharacter(c, selector))
      return std::string("its ") + what + " '" + code + "' holds '" + std::string(1, c) +
             "', which is not a letter, a digit, " + (selector ? "'-', '.', '_', '!', " : "'-', ") +
             "'?' or '*'";
  }
  return "";
}

// The time forms of the two protocols: "2026,12,07,09,30,00" (3.1) and
// "2026-12-07T09:30:00Z" (4.0).
std::string timeText(double epoch, int version) {
  time_t seconds = static_cast<time_t>(std::floor(epoch));
  struct tm parts;
  if (!gmtime_r(&seconds, &parts)) return "";
  char text[64];
  std::strftime(text, sizeof text, version == 3 ? "%Y,%m,%d,%H,%M,%S" : "%Y-%m-%dT%H:%M:%SZ",
                &parts);
  return text;
}

}  // namespace

bool SeedLinkStation::hasWildcard() const { return id().find_first_of("?*") != std::string::npos; }

std::string parseSeedLinkSelection(const std::string &text, std::vector<SeedLinkStation> &out) {
  out.clear();
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] == ' ' || text[i] == '\t' || text[i] == '\n' || text[i] == '\r') {
      ++i;
      continue;
    }
    size_t end = text.find_first_of(" \t\r\n", i);
    std::string word = text.substr(i, end == std::string::npos ? std::string::npos : end - i);
    i = end == std::string::npos ? text.size() : end;
    SeedLinkStation s;
    size_t colon = word.find(':');
    std::string id = word.substr(0, colon);
    size_t underscore = id.find('_');
    if (underscore == std::string::npos)
      return "'" + word + "' does not start with NET_STA (network, '_', station)";
    s.network = id.substr(0, underscore);
    s.station = id.substr(underscore + 1);
    std::string problem = codeProblem(s.network, "network", false);
    if (problem.empty()) problem = codeProblem(s.station, "station", false);
    if (!problem.empty()) return "'" + word + "': " + problem;
    if (colon != std::string::npos) {
      std::string list = word.substr(colon + 1);
      size_t from = 0;
      for (;;) {
        size_t comma = list.find(',', from);
        std::string selector = list.substr(from, comma == std::string::npos ? comma : comma - from);
        problem = codeProblem(selector, "selector", true);
        if (!problem.empty()) return "'" + word + "': " + problem;
        s.selectors.push_back(selector);
        if (comma == std::string::npos) break;
        from = comma + 1;
      }
    }
    for (const SeedLinkStation &other : out) {
      if (other.id() == s.id()) return "'" + s.id() + "' is named twice";
    }
    out.push_back(s);
  }
  if (out.empty()) return "it names no station";
  return "";
}

bool seedLinkGlob(const std::string &pattern, const std::string &name) {
  size_t p = 0, n = 0, starP = std::string::npos, starN = 0;
  while (n < name.size()) {
    if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == name[n])) {
      ++p, ++n;
    } else if (p < pattern.size() && pattern[p] == '*') {
      starP = p++;
      starN = n;
    } else if (starP != std::string::npos) {
      p = starP + 1;
      n = ++starN;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

SeedLinkLink::SeedLinkLink(std::string server, SeedLinkProtocol protocol, double starttime)
    : m_server(std::move(server)), m_protocol(protocol), m_starttime(starttime) {}

SeedLinkLink::~SeedLinkLink() { close(); }

void SeedLinkLink::close() {
  if (m_socket >= 0) ::close(m_socket);
  m_socket = -1;
}

bool SeedLinkLink::send(const std::string &command, std::string &why) {
  std::string line = command + "\r\n";
  size_t done = 0;
  while (done < line.size()) {
    pollfd p{m_socket, POLLOUT, 0};
    if (poll(&p, 1, 5000) <= 0) {
      why = "cannot send '" + command + "': the server takes nothing";
      close();
      return false;
    }
    ssize_t n = ::send(m_socket, line.data() + done, line.size() - done, MSG_NOSIGNAL);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (n <= 0) {
      why = "cannot send '" + command + "': " + std::strerror(errno);
      close();
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

bool SeedLinkLink::receive(double timeout, std::string &why) {
  pollfd p{m_socket, POLLIN, 0};
  int ms = static_cast<int>(std::ceil(std::max(0.0, timeout) * 1000));
  int ready = poll(&p, 1, ms);
  if (ready < 0 && errno != EINTR) {
    why = std::string("cannot wait for the server: ") + std::strerror(errno);
    close();
    return false;
  }
  if (ready <= 0) return true;
  char buffer[65536];
  ssize_t n = recv(m_socket, buffer, sizeof buffer, 0);
  if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) return true;
  if (n <= 0) {
    why = n == 0 ? "the server closed the connection"
                 : std::string("cannot read from the server: ") + std::strerror(errno);
    close();
    return false;
  }
  m_reader.feed(buffer, static_cast<size_t>(n));
  m_lastByte = monotonicSeconds();
  m_asked = false;
  return true;
}

bool SeedLinkLink::waitForBytes(double deadline, std::string &why) {
  double left = deadline - monotonicSeconds();
  if (left <= 0 || Stop.load() != 0) {
    why = "no answer from the server in time";
    close();
    return false;
  }
  return receive(std::min(left, 0.25), why);
}

bool SeedLinkLink::answer(double deadline, std::string &line, std::string &why) {
  for (;;) {
    seedlink::PacketReader::Status status = m_reader.nextLine(line);
    if (status == seedlink::PacketReader::Status::kReady) return true;
    if (status == seedlink::PacketReader::Status::kBad) {
      why = "the server's answer is not a line: " + m_reader.error();
      close();
      return false;
    }
    if (!waitForBytes(deadline, why)) return false;
  }
}

// A SeedLink server answers HELLO with two lines, the first naming it
// ("SeedLink v4.0 (...) :: ..."); anything else (a tarn server's error
// frame, a web server's page, silence) is no SeedLink server.
bool SeedLinkLink::hello(double deadline, std::string &why) {
  std::string first, second;
  const std::string notSeedLink = "'" + m_server + "' did not answer as a SeedLink server";
  if (!answer(deadline, first, why) || !answer(deadline, second, why)) {
    why = notSeedLink + " (to HELLO: " + why + ")";
    return false;
  }
  std::string lower = first;
  for (char &c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (lower.find("seedlink") == std::string::npos) {
    std::string said = first.substr(0, 80);
    for (char &c : said) c = c >= ' ' && c < 0x7f ? c : '?';
    why = notSeedLink + " (to HELLO it said '" + said + "')";
    close();
    return false;
  }
  m_serverId = first.substr(0, 200);
  return true;
}

bool SeedLinkLink::askStations(double timeout, std::string &why) {
  std::string text;
  bool answered = false;
  if (!send("INFO STATIONS", why) ||
      !infoText(monotonicSeconds() + timeout, text, answered, why)) {
    return false;
  }
  m_hasList = answered && ::listedStations(text, m_listed);
  return true;
}

// Reads the answer to an INFO request: 4.0's one JSON packet, or 3.1's
// SLINFO packets up to the last, whose records carry the text. An ERROR
// line or packet leaves `answered` false; so does a record that does not
// read, or a text past kMaxInfoText (the packets are still read to the
// last, so that the handshake goes on in step).
bool SeedLinkLink::infoText(double deadline, std::string &text, bool &answered, std::string &why) {
  using Next = seedlink::PacketReader::Next;
  using Status = seedlink::PacketReader::Status;
  answered = false;
  bool unread = false;
  for (;;) {
    Next next = m_reader.peek();
    if (next == Next::kLine) {
      std::string line;
      return answer(deadline, line, why);  // ERROR ...: nothing listed
    }
    seedlink::Packet packet;
    Status status = next == Next::kPacket ? m_reader.nextPacket(packet) : Status::kNeedMore;
    if (status == Status::kNeedMore) {
      if (!waitForBytes(deadline, why)) return false;
      continue;
    }
    if (status != Status::kReady || !packet.info) {
      why = "the server's answer to INFO STATIONS is not an INFO packet" +
            (status == Status::kBad ? ": " + m_reader.error() : std::string());
      close();
      return false;
    }
    if (packet.version == 4) {
      answered = packet.format == seedlink::kFormatJson &&
                 packet.subformat == seedlink::kSubformatInfo;
      text = packet.payload;
      return true;
    }
    std::string piece;
    unread = unread || !mseed::text(packet.payload.data(), packet.payload.size(), piece).empty() ||
             text.size() + piece.size() > kMaxInfoText;
    if (!unread) text += piece;
    if (!packet.infoMore) {
      answered = !unread;
      return true;
    }
  }
}

// Sends a command that the server answers OK or ERROR.
bool SeedLinkLink::command(const std::string &text, double timeout, std::string &why) {
  std::string line;
  if (!send(text, why) || !answer(monotonicSeconds() + timeout, line, why)) return false;
  if (line == "OK") return true;
  why = "the server answered '" + text + "' with '" + line.substr(0, 200) + "'";
  close();
  return false;
}

std::string SeedLinkLink::open(const std::vector<SeedLinkStation> &stations,
                               const SeedLinkResume &resume, double timeout) {
  close();
  m_reader = seedlink::PacketReader();
  std::string why;
  tarnclient::TarnAddress address;
  if (!tarnclient::parseTarnName(m_server, address, why)) return why;
  m_socket = tarnclient::connectTo(address, static_cast<int>(timeout * 1000), why);
  if (m_socket < 0) return why;
  m_lastByte = monotonicSeconds();
  m_asked = false;
  double deadline = monotonicSeconds() + timeout;
  if (!send("HELLO", why) || !hello(deadline, why)) return why;
  bool offers4 = m_serverId.find("SLPROTO:4.0") != std::string::npos;
  m_version = 3;
  if (m_protocol == SeedLinkProtocol::k40 && !offers4) {
    close();
    return "the server does not offer protocol 4.0 (it says '" + m_serverId + "')";
  }
  if (m_protocol != SeedLinkProtocol::k31 && offers4) {
    if (!command("SLPROTO 4.0", timeout, why)) return why;
    m_version = 4;
  }
  if (m_serverId.find("INFO:STATIONS") != std::string::npos && !askStations(timeout, why))
    return why;
  for (const SeedLinkStation &s : stations) {
    std::string select =
        m_version == 3 ? "STATION " + s.station + " " + s.network : "STATION " + s.id();
    if (!command(select, timeout, why)) return why;
    for (const std::string &selector : s.selectors) {
      if (!command("SELECT " + selector, timeout, why)) return why;
    }
    SeedLinkStart start = resume(s);
    const double from = start.time ? *start.time : m_starttime;
    char data[64];
    if (start.sequence) {
      if (m_version == 3) {
        std::snprintf(data, sizeof data, "DATA %06" PRIX64, seedlink::v3Sequence(*start.sequence));
      } else {
        std::snprintf(data, sizeof data, "DATA %" PRIu64, *start.sequence);
      }
    } else if (!std::isnan(from)) {
      std::string when = timeText(from, m_version);
      std::snprintf(data, sizeof data, "%s %s", m_version == 3 ? "TIME" : "DATA ALL", when.c_str());
    } else {
      std::snprintf(data, sizeof data, "DATA");
    }
    if (!command(data, timeout, why)) return why;
  }
  if (!send("END", why)) return why;
  return "";
}

SeedLinkLink::Read SeedLinkLink::read(double timeout, seedlink::Packet &packet, std::string &why) {
  if (m_socket < 0) {
    why = "not connected";
    return Read::kLost;
  }
  double deadline = monotonicSeconds() + timeout;
  for (;;) {
    seedlink::PacketReader::Status status = m_reader.nextPacket(packet);
    if (status == seedlink::PacketReader::Status::kReady) return Read::kPacket;
    if (status == seedlink::PacketReader::Status::kBad) {
      why = "the server sent what is not a SeedLink packet: " + m_reader.error();
      close();
      return Read::kLost;
    }
    double now = monotonicSeconds();
    if (now - m_lastByte >= 2 * kQuietSeconds) {
      why = "nothing came from the server for " + std::to_string(int(2 * kQuietSeconds)) +
            " seconds, not even the answer to INFO ID";
      close();
      return Read::kLost;
    }
    if (now - m_lastByte >= kQuietSeconds && !m_asked) {
      if (!send("INFO ID", why)) return Read::kLost;
      m_asked = true;
    }
    if (now >= deadline) return Read::kNothing;
    if (!receive(std::min(deadline - now, 0.5), why)) return Read::kLost;
  }
}
