// Tarn names and connecting to them.
#pragma once

#include <string>

namespace tarnclient {

struct TarnAddress {
  std::string host;  // as given; "127.0.0.1" for ":port"
  int port = 0;
};

// "host:port", ":port" (127.0.0.1) or "host" (port 6510); false with the
// reason in err for anything else.
bool parseTarnName(const std::string &name, TarnAddress &out, std::string &err);

// Connects a non-blocking TCP socket within `timeoutMs`; the socket, or -1
// with the reason in err.
int connectTo(const TarnAddress &addr, int timeoutMs, std::string &err);

}  // namespace tarnclient
