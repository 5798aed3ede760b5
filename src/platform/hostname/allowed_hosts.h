// Which names a browser may have used to reach a web face of ours (the
// Host header of a request to `tarn monitor`), and which web pages may
// open a WebSocket to one (the Origin header on the SeedLink port): the
// defences against DNS rebinding (a page of another site that has its name
// point at this machine) and against cross-site WebSockets (a page of
// another site that connects from a browser on an allowed host).
//
// The defaults, when the operator names nothing:
//  - Hosts: IP addresses (a rebinding page can only reach us under its own
//    name, never under an address), "localhost" and names under
//    ".localhost", this machine's host name (as gethostname gives it, and
//    its first label), and the name the service was told to listen on.
//  - Origins: pages whose host is a loopback name or address ("localhost",
//    127.0.0.0/8, ::1), this machine's host name, or the address the
//    service listens on when it is one address (not 0.0.0.0 or ::).
//    A request without an Origin header does not come from a page and is
//    allowed.
// Names the operator adds are allowed besides those; "*" allows any. An
// origin given with its scheme ("https://example.org", with ":port" when it
// has one) must match whole; one given without ("example.org") allows that
// host under any scheme and port. Names compare without regard to case.
//
// Immutable after construction: safe from any thread.
#pragma once

#include <string>
#include <vector>

namespace hostname {

class AllowedHosts {
 public:
  // `configured`: what the operator allowed (entries may be lists separated
  // by commas); `listen`: the address or name the service listens on.
  AllowedHosts(const std::vector<std::string> &configured, const std::string &listen);

  bool allowsHost(const std::string &hostHeader) const;
  bool allowsOrigin(const std::string &origin) const;

 private:
  bool localName(const std::string &host) const;

  bool any_ = false;
  std::vector<std::string> names_;  // lower case
  std::string listen_;              // lower case, without brackets
  std::string machine_, machineShort_;
};

// The host of "host", "host:port", "[v6]" or "[v6]:port", in lower case and
// without brackets; "" when it is none of those.
std::string hostOfAuthority(const std::string &authority);

}  // namespace hostname
