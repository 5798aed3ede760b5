// Which Host and Origin headers a web face of ours takes: the defaults
// (addresses and local names for hosts; local pages only for origins), what
// the operator adds, and headers that are not what they claim.
#include "platform/hostname/allowed_hosts.h"

#include <gtest/gtest.h>
#include <unistd.h>

namespace hostname {
namespace {

TEST(AllowedHosts, ByDefaultAddressesAndLocalNamesAreHostsButNoOtherName) {
  AllowedHosts hosts({}, "0.0.0.0");
  for (const char *h : {"127.0.0.1:6580", "10.1.2.3", "[::1]:6580", "LOCALHOST", "x.localhost:80"})
    EXPECT_TRUE(hosts.allowsHost(h)) << h;
  char name[256] = {};
  ASSERT_EQ(gethostname(name, sizeof name - 1), 0);
  EXPECT_TRUE(hosts.allowsHost(std::string(name) + ":6580"));
  for (const char *h : {"evil.example", "evil.example:6580", "", "127.0.0.1:1:2", "[::1", "a b"})
    EXPECT_FALSE(hosts.allowsHost(h)) << h;
  EXPECT_TRUE(AllowedHosts({}, "monitor.lan").allowsHost("Monitor.LAN:6580"));
  AllowedHosts added({"relay.example.org, other.example"}, "127.0.0.1");
  EXPECT_TRUE(added.allowsHost("relay.example.org:6580"));
  EXPECT_TRUE(added.allowsHost("other.example"));
  EXPECT_FALSE(added.allowsHost("evil.example"));
  EXPECT_TRUE(AllowedHosts({"*"}, "127.0.0.1").allowsHost("evil.example"));
}

TEST(AllowedHosts, ByDefaultOnlyLocalPagesAreOrigins) {
  AllowedHosts origins({}, "192.0.2.7");
  for (const char *o : {"http://localhost:8080", "https://127.0.0.1", "http://[::1]:3000",
                        "http://192.0.2.7:8000"})
    EXPECT_TRUE(origins.allowsOrigin(o)) << o;
  for (const char *o : {"https://evil.example", "http://6.6.6.6", "null", "localhost",
                        "http://localhost.evil.example", "http://user@localhost"})
    EXPECT_FALSE(origins.allowsOrigin(o)) << o;
  EXPECT_FALSE(AllowedHosts({}, "0.0.0.0").allowsOrigin("http://0.0.0.0"));
  AllowedHosts added({"https://viewer.example.org", "maps.example"}, "127.0.0.1");
  EXPECT_TRUE(added.allowsOrigin("https://viewer.example.org"));
  EXPECT_FALSE(added.allowsOrigin("http://viewer.example.org")) << "the scheme counts";
  EXPECT_FALSE(added.allowsOrigin("https://viewer.example.org:8443")) << "the port too";
  EXPECT_TRUE(added.allowsOrigin("http://maps.example:81")) << "a host alone: any";
  EXPECT_TRUE(AllowedHosts({"*"}, "127.0.0.1").allowsOrigin("null"));
}

}  // namespace
}  // namespace hostname
