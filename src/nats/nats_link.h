// NatsLink: one client connection to a NATS server or cluster, for one relay
// connection.
//
// connect() makes the connection, or reports why it cannot. A link is used
// once: when its connection is lost (up() turns false, and the library's
// reason is kept) its user makes a new link, and resends or re-reads on the
// new connection what the old one left unfinished. The library is not let
// to reconnect by itself, since it would send first what it had buffered for
// the old connection, out of the order in which it was published.
//
// Lifetime: the library calls back on threads of its own until the
// connection is closed. What those callbacks use (the link's state, and a
// `keepAlive` object its user hands in) lives until the library's last
// callback for the connection, even when the link itself is gone by then.
//
// Thread-safety: connect() and the destructor from one thread; the other
// members from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include <nats/nats.h>

class NatsLink {
 public:
  // `urls` as jetstream::serverUrlsProblem takes them; `clientName` is
  // what the server shows for the connection.
  NatsLink(std::string urls, std::string clientName);
  ~NatsLink();
  NatsLink(const NatsLink &) = delete;
  NatsLink &operator=(const NatsLink &) = delete;

  // Connects, waiting at most `seconds`; "" once connected, else why not.
  // `keepAlive` is kept until the library's last callback (see above).
  std::string connect(double seconds, std::shared_ptr<void> keepAlive = nullptr);
  // The connection; null before connect() succeeded.
  natsConnection *connection() const { return m_connection; }
  // True while connected; false before connect() succeeded and for good
  // once the connection is lost.
  bool up() const;
  // Why the connection was lost, once it is.
  std::string lossReason() const;
  // The servers as log lines show them (passwords hidden).
  const std::string &shownUrls() const { return m_shown; }

  // The text of a library status, with the library's last error detail.
  static std::string statusText(natsStatus status);

  // What the library's callbacks use (nats_link.cc).
  struct State;

 private:
  const std::string m_urls;
  const std::string m_shown;
  const std::string m_clientName;
  natsConnection *m_connection = nullptr;
  std::shared_ptr<State> m_state;
};
