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

}  // namespace
}  // namespace tarnclient
