// SeedLinkLink: one client connection to a SeedLink server (protocol 3.1 or
// 4.0), used once: when it is lost, its user makes a new one.
//
// open() connects, says HELLO, moves to protocol 4.0 when asked for and
// offered (seedlink_protocol auto or 4.0), asks INFO STATIONS when the
// server offers it (its HELLO names INFO:STATIONS), selects each station of
// the reader's selection with its selectors and where it resumes, and ends
// the handshake; read() then hands out whole packets. A server whose answer
// to HELLO is not a SeedLink server's (a tarn port, say) is named as such. Every answer awaited and
// every packet is bounded: an answer line of at most 4 KiB, a payload of at
// most 1 MiB; a server that sends anything else, or stays silent past a
// keep-alive question, ends the link with a reason.
//
// The selection's text (seedlink_select) is a list of NET_STA[:SELECTORS]
// separated by blanks; SELECTORS are separated by commas and go to the
// server as written, in the form of the protocol it speaks (3.1 "BH?.D",
// 4.0 "00_B_H_?"). Network and station may hold the wildcards ? and *.
//
// Thread-safety: one thread at a time (its reader's).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/seedlink/seedlink_wire.h"

struct SeedLinkStation {
  std::string network, station;
  std::vector<std::string> selectors;
  std::string id() const { return network + "_" + station; }
  bool hasWildcard() const;
};

enum class SeedLinkProtocol { kAuto, k31, k40 };

// Reads a selection's text; "" and the stations, or why it is not one.
std::string parseSeedLinkSelection(const std::string &text, std::vector<SeedLinkStation> &out);
// Whether `name` matches `pattern` (? one character, * any run).
bool seedLinkGlob(const std::string &pattern, const std::string &name);

// Where a station starts: from a sequence number (the record of that
// number when the server holds it), else from the first record at or after
// a time, else at the reader's start time when there is one, else with the
// next new packet.
struct SeedLinkStart {
  std::optional<uint64_t> sequence;
  std::optional<double> time;
};
using SeedLinkResume = std::function<SeedLinkStart(const SeedLinkStation &)>;

class SeedLinkLink {
 public:
  // `server` is HOST:PORT as configured; `starttime` epoch seconds or NaN.
  SeedLinkLink(std::string server, SeedLinkProtocol protocol, double starttime);
  ~SeedLinkLink();
  SeedLinkLink(const SeedLinkLink &) = delete;
  SeedLinkLink &operator=(const SeedLinkLink &) = delete;

  // Connects and selects, waiting at most `timeout` seconds for the
  // connection and for each answer; "" or why not.
  std::string open(const std::vector<SeedLinkStation> &stations, const SeedLinkResume &resume,
                   double timeout);
  // The protocol spoken (3 or 4), once open.
  int version() const { return m_version; }
  // What the server said it is (HELLO's first line).
  const std::string &serverId() const { return m_serverId; }
  // The stations the server listed when asked INFO STATIONS during open();
  // empty when it was not asked or its answer listed none that this reader
  // could read (then listed() is false).
  const std::set<std::string> &listedStations() const { return m_listed; }
  bool listed() const { return m_hasList; }

  enum class Read { kPacket, kNothing, kLost };
  // Waits at most `timeout` seconds for a packet. kLost with `why`: the link
  // is closed.
  Read read(double timeout, seedlink::Packet &packet, std::string &why);

 private:
  bool send(const std::string &command, std::string &why);
  // Receives what is there within `timeout` seconds; false, closed, with
  // `why` when the link failed.
  bool receive(double timeout, std::string &why);
  // Receives more bytes, or fails (closed, with why) past the deadline.
  bool waitForBytes(double deadline, std::string &why);
  bool answer(double deadline, std::string &line, std::string &why);
  bool command(const std::string &text, double timeout, std::string &why);
  // HELLO's two lines; why names a server that answers otherwise.
  bool hello(double deadline, std::string &why);
  // Asks INFO STATIONS and reads the answer; an ERROR, or an answer of a
  // form not known, leaves listed() false.
  bool askStations(double timeout, std::string &why);
  bool infoText(double deadline, std::string &text, bool &answered, std::string &why);
  void close();

  const std::string m_server;
  const SeedLinkProtocol m_protocol;
  const double m_starttime;
  int m_socket = -1;
  int m_version = 0;
  std::string m_serverId;
  std::set<std::string> m_listed;
  bool m_hasList = false;
  seedlink::PacketReader m_reader;
  double m_lastByte = 0;  // monotonic seconds when bytes last came
  bool m_asked = false;   // a keep-alive question is waiting for its answer
};
