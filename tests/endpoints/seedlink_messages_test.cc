// What the SeedLink reader says when it is pointed at the wrong thing: a
// port that is no SeedLink server (a tarn port), and stations the server
// does not have, named once, in either protocol.
#include <gtest/gtest.h>

#include <cmath>

#include "base/stop.h"
#include "endpoints/seedlink_source.h"
#include "mseed_samples.h"
#include "output_capture.h"
#include "platform/tarnclient/tarnclient.h"
#include "relay_e2e.h"
#include "tarn_test_server.h"
#include "test_context.h"

namespace {

std::vector<SeedLinkStation> stations(const std::string &text) {
  std::vector<SeedLinkStation> out;
  EXPECT_EQ(parseSeedLinkSelection(text, out), "");
  return out;
}

TEST(SeedLinkMessages, ATarnPortIsNamedAsNoSeedLinkServer) {
  tarntest::TarnTestServer tarn;
  SeedLinkLink link(tarn.name(), SeedLinkProtocol::kAuto, NAN);
  std::string why =
      link.open(stations("XX_STA"), [](const SeedLinkStation &) { return SeedLinkStart{}; }, 2);
  EXPECT_EQ(why.rfind("'" + tarn.name() + "' did not answer as a SeedLink server (to HELLO: ", 0),
            0u)
      << why;
}

TEST(SeedLinkMessages, StationsTheServerDoesNotListAreNamedOnceInEitherProtocol) {
  Stop.store(0);
  int port = e2e::freePort();
  tarntest::TarnTestServer server({"--seedlink", "127.0.0.1:" + std::to_string(port)});
  mseedtest::Stream stream;
  stream.samples = mseedtest::sine(500);
  std::vector<std::string> records = mseedtest::pack(stream);
  int fd = tarnopen(server.name().c_str(), "w&");
  ASSERT_EQ(tarnput(fd, "XX_STA_HHZ_00/MSEED", 1796601600.0, records[0].data(),
                    static_cast<int>(records[0].size())),
            0);
  ASSERT_EQ(tarnclose(fd), 0);
  const std::string where = "SeedLink '127.0.0.1:" + std::to_string(port) + "'";
  for (auto [protocol, text] : {std::pair{SeedLinkProtocol::k31, "3.1"},
                                std::pair{SeedLinkProtocol::k40, "4.0"}}) {
    SeedLinkEndpoint endpoint;
    endpoint.server = "127.0.0.1:" + std::to_string(port);
    endpoint.selection = "XX_STA XX_STX YY_*";
    endpoint.stations = stations(endpoint.selection);
    endpoint.protocol = protocol;
    SeedLinkSource source(endpoint, "in", ReaderSettings{}, testsupport::testContext(0.2));
    testcapture::OutputCapture capture;
    std::string why;
    OpenResult first = source.open(why), second = source.open(why);
    capture.stop();
    EXPECT_EQ(first, OpenResult::kOpened) << why;
    EXPECT_EQ(second, OpenResult::kOpened) << why;
    EXPECT_EQ(capture.err(),
              "Thread '': Station XX_STX is not on " + where +
                  " (INFO STATIONS does not list it): its records come once the server has some\n"
                  "Thread '': No station matching YY_* is on " +
                  where + " (INFO STATIONS lists none): their records come once the server has "
                          "some\n")
        << text;
  }
}

}  // namespace
