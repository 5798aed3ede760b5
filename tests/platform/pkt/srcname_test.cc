#include <gtest/gtest.h>

#include <string>

#include "platform/pkt/pkt.h"

namespace {

class SrcnameTest : public ::testing::Test {
 protected:
  void SetUp() override { pkt_ = newPkt(); }
  void TearDown() override { freePkt(pkt_); }
  // The parts as "net|sta|chan|loc|suffix|subcode".
  std::string parts(const char *srcname) {
    EXPECT_EQ(split_srcname(srcname, pkt_), 0) << srcname;
    const Srcname &s = pkt_->parts;
    return std::string(s.net) + "|" + s.sta + "|" + s.chan + "|" + s.loc + "|" + s.suffix + "|" +
           s.subcode;
  }
  Packet *pkt_ = nullptr;
};

TEST_F(SrcnameTest, SplitsTheFormsInUse) {
  EXPECT_EQ(parts("AK_ANM_BHZ_00/MGENC/M40"), "AK|ANM|BHZ|00|MGENC|M40");
  EXPECT_EQ(parts("relay1/log"), "relay1||||log|");
  EXPECT_EQ(parts("relay1/pf/st"), "relay1||||pf|st");
  EXPECT_EQ(parts("SYN_001/GEN"), "SYN|001|||GEN|");
  EXPECT_EQ(parts("plain"), "plain|||||");
}

TEST_F(SrcnameTest, ExtraSeparatorsStayInTheLastParts) {
  EXPECT_EQ(parts("a_b_c_d_e/x/y/z"), "a|b|c|d_e|x|y/z");
  EXPECT_EQ(parts("/log"), "||||log|");
  EXPECT_EQ(parts("net_/"), "net|||||");
  EXPECT_EQ(parts("a__b"), "a||b|||");
}

TEST_F(SrcnameTest, AcceptsSixtyThreeCharactersAndNoMore) {
  std::string longest(63, 'x');
  EXPECT_EQ(split_srcname(longest.c_str(), pkt_), 0);
  EXPECT_EQ(std::string(pkt_->parts.net), longest);
  std::string tooLong(64, 'x');
  EXPECT_EQ(split_srcname(tooLong.c_str(), pkt_), PKT_ERR_SRCNAME);
  EXPECT_STREQ(pkt_->parts.net, "") << "a refused name leaves no parts behind";
}

TEST_F(SrcnameTest, RefusesEmptyAndMissingArguments) {
  EXPECT_EQ(split_srcname("", pkt_), PKT_ERR_SRCNAME);
  EXPECT_EQ(split_srcname(nullptr, pkt_), PKT_ERR_ARG);
  EXPECT_EQ(split_srcname("a/b", nullptr), PKT_ERR_ARG);
}

TEST(PktTypeTest, SuffixesNameKindsWithoutRegardToCase) {
  ASSERT_NE(suffix2pkttype("log"), nullptr);
  EXPECT_EQ(suffix2pkttype("log")->content, PKT_CONTENT_LOG);
  EXPECT_EQ(suffix2pkttype("pf")->content, PKT_CONTENT_PF);
  EXPECT_EQ(suffix2pkttype("GEN")->content, PKT_CONTENT_DATA);
  EXPECT_EQ(suffix2pkttype("Txt")->content, PKT_CONTENT_TEXT);
  EXPECT_EQ(suffix2pkttype("logx"), nullptr);
  EXPECT_EQ(suffix2pkttype(""), nullptr);
  EXPECT_EQ(suffix2pkttype(nullptr), nullptr);
  EXPECT_EQ(content2pkttype(PKT_CONTENT_PF), suffix2pkttype("pf"));
  EXPECT_EQ(content2pkttype(PKT_CONTENT_UNKNOWN), nullptr);
}

}  // namespace
