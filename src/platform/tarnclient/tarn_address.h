// Tarn names and connecting to them.
#pragma once

#include <string>
#include <vector>

namespace tarnclient {

struct TarnAddress {
  std::string host;  // as given; "127.0.0.1" for ":port"
  int port = 0;
};

// "host:port", ":port" (127.0.0.1) or "host" (port 6510); false with the
// reason in err for anything else. The host must be a dotted address or a
// host name (hostname::namesAHost); a bare number ("6520", the colon
// forgotten) is refused with a reason that shows ":6520".
bool parseTarnName(const std::string &name, TarnAddress &out, std::string &err);

// Why `name` is a bare number that is no tarn name ("'6520' is a bare
// number, which names no host: for port 6520 on this machine write
// ':6520'"); "" for any other text.
std::string bareNumberProblem(const std::string &name);

// Connects a non-blocking TCP socket within `timeoutMs` (less once the
// program's stop flag is set); the socket, or -1 with the reason in err.
int connectTo(const TarnAddress &addr, int timeoutMs, std::string &err);

// The address a connected socket's server has, as "127.0.0.1:6510" or
// "[::1]:6510": one server, however its tarn name was written. "" when the
// socket has none.
std::string peerAddress(int sock);

// Every address the tarn name resolves to, in peerAddress's form; false
// with the reason in err when the name is bad or does not resolve.
bool resolveAddresses(const std::string &name, std::vector<std::string> &addresses,
                      std::string &err);

}  // namespace tarnclient
