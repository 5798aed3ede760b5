// Tarn names: host:port, :port and host alone.
#include <gtest/gtest.h>

#include "platform/tarnclient/tarn_address.h"

namespace tarnclient {
namespace {

TEST(TarnName, TheThreeFormsAndTheirDefaults) {
  TarnAddress a;
  std::string err;
  ASSERT_TRUE(parseTarnName("srv.example:7000", a, err));
  EXPECT_EQ(a.host, "srv.example");
  EXPECT_EQ(a.port, 7000);
  ASSERT_TRUE(parseTarnName(":7001", a, err));
  EXPECT_EQ(a.host, "127.0.0.1");
  EXPECT_EQ(a.port, 7001);
  ASSERT_TRUE(parseTarnName("srv", a, err));
  EXPECT_EQ(a.host, "srv");
  EXPECT_EQ(a.port, 6510);
}

TEST(TarnName, BadNamesSayWhatIsWrong) {
  TarnAddress a;
  std::string err;
  for (const char *bad : {"", "srv:", "srv:0", "srv:65536", "srv:12x", ":"}) {
    EXPECT_FALSE(parseTarnName(bad, a, err)) << bad;
    EXPECT_FALSE(err.empty());
  }
  parseTarnName("srv:port", a, err);
  EXPECT_NE(err.find("'port' is not a port number"), std::string::npos) << err;
}

// A bare number is never taken for an address (6520 would be 0.0.25.120):
// the reason shows the port with its colon. Hosts only a resolver would
// read are refused too.
TEST(TarnName, ABareNumberOrAHostNoResolverShouldSeeIsRefused) {
  TarnAddress a;
  std::string err;
  EXPECT_FALSE(parseTarnName("6520", a, err));
  EXPECT_EQ(err, "'6520' is a bare number, which names no host: for port 6520 on this machine "
                 "write ':6520'");
  for (const char *bad : {"1796600002:6510", "010.1.1.1", "a_b:1", "a b"}) {
    EXPECT_FALSE(parseTarnName(bad, a, err)) << bad;
    EXPECT_NE(err.find("is neither a dotted address"), std::string::npos) << err;
  }
  EXPECT_TRUE(parseTarnName("10.0.0.1:7", a, err)) << err;
  EXPECT_TRUE(parseTarnName("localhost", a, err)) << err;
}

}  // namespace
}  // namespace tarnclient
