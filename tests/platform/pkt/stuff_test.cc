// Stuffing and unstuffing: round trips of every kind, and the refusal of
// every damaged or truncated form without reading outside the bytes given.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/elog/elog.h"
#include "platform/pkt/pkt.h"

namespace {

using Bytes = std::vector<char>;

class StuffTest : public ::testing::Test {
 protected:
  void TearDown() override {
    freePkt(in_);
    freePkt(out_);
    std::free(buf_);
    elog_flush(0, 0);
  }

  Packet *packet(const char *suffix, double time = 1765101600.25) {
    freePkt(in_);
    in_ = newPkt();
    in_->type = suffix2pkttype(suffix);
    in_->time = time;
    return in_;
  }
  void setText(const std::string &text) {
    in_->string = strdup(text.c_str());
    in_->string_size = static_cast<int>(text.size() + 1);
  }
  void setData(const Bytes &data) {
    in_->data = static_cast<char *>(std::malloc(data.size() + 1));
    std::memcpy(in_->data, data.data(), data.size());
    in_->ndata = static_cast<int>(data.size());
  }

  // Stuffs in_ and returns its bytes.
  Bytes stuff(const char *srcname = "relay1/log") {
    double time = 0;
    int rc = stuffPkt(in_, srcname, &time, &buf_, &nbytes_, &bufsize_);
    EXPECT_GE(rc, 0) << pkt_strerror(rc);
    EXPECT_EQ(time, in_->time);
    return rc < 0 ? Bytes() : Bytes(buf_, buf_ + nbytes_);
  }

  // Unstuffs a private heap copy of exactly these bytes, so that the
  // address sanitizer catches any read past them. Checking the bytes
  // without unstuffing them must say the same, whatever they are.
  int unstuff(const Bytes &bytes, const char *srcname = "relay1/log", double time = 5.5) {
    char *copy = static_cast<char *>(std::malloc(bytes.size() ? bytes.size() : 1));
    if (!bytes.empty()) std::memcpy(copy, bytes.data(), bytes.size());
    int verified = verifyPkt(srcname, copy, static_cast<int>(bytes.size()));
    int rc = unstuffPkt(srcname, time, copy, static_cast<int>(bytes.size()), &out_);
    EXPECT_EQ(verified, rc);
    std::free(copy);
    return rc;
  }

  // Recomputes the checksum after a test changed the header or body on purpose.
  static void reseal(Bytes &b) {
    uint32_t crc = crc32_ieee_update(crc32_ieee(b.data(), 12), b.data() + 16, b.size() - 16);
    for (int i = 0; i < 4; i++) b[12 + i] = static_cast<char>(crc >> (24 - 8 * i));
  }

  Packet *in_ = nullptr;
  Packet *out_ = nullptr;
  char *buf_ = nullptr;
  int nbytes_ = 0;
  int bufsize_ = 0;
};

// ---- round trips ----

TEST_F(StuffTest, LogPacketRoundTrip) {
  packet("log");
  setText("relay started: 2 connections");
  Bytes bytes = stuff();
  EXPECT_EQ(bytes.size(), PKT_HEADER_SIZE + 28u);

  ASSERT_EQ(unstuff(bytes, "relay1/log", 1765101600.25), PKT_CONTENT_LOG);
  EXPECT_EQ(out_->type, suffix2pkttype("log"));
  EXPECT_STREQ(out_->string, "relay started: 2 connections");
  EXPECT_EQ(out_->string_size, 29);
  EXPECT_EQ(out_->time, 1765101600.25);
  EXPECT_STREQ(out_->parts.net, "relay1");
  EXPECT_STREQ(out_->parts.suffix, "log");
}

TEST_F(StuffTest, ParameterFileRoundTrip) {
  packet("pf");
  in_->pf = pfnew(PFARR);
  pfput_string(in_->pf, "target", "relay1");
  pfput_string(in_->pf, "note", "  blanks and # kept  ");
  Pf *nested = nullptr;
  ASSERT_EQ(pfcompile("connections &Arr{\nr1 &Arr{\nstatus yes\n}\n}\n", &nested), 0);
  char *nestedText = pf2string(nested);
  ASSERT_EQ(pfcompile(nestedText, &in_->pf), 0);
  std::free(nestedText);
  pffree(nested);
  Bytes bytes = stuff("relay1/pf/st");

  ASSERT_EQ(unstuff(bytes, "relay1/pf/st"), PKT_CONTENT_PF);
  char *sent = pf2string(in_->pf);
  char *got = pf2string(out_->pf);
  EXPECT_STREQ(got, sent);
  EXPECT_STREQ(pfget_string(out_->pf, "note"), "  blanks and # kept  ");
  EXPECT_STREQ(pfget_string(out_->pf, "connections{r1}{status}"), "yes");
  EXPECT_STREQ(out_->parts.subcode, "st");
  std::free(sent);
  std::free(got);
}

TEST_F(StuffTest, LayoutIsTheDocumentedOne) {
  packet("log");
  setText("hello");
  const unsigned char expected[] = {0x89, 'T',  'P',  'K',  1,    7,   0,   0,   0,   0,  0,
                                    5,    0x87, 0x54, 0xe2, 0x67, 'h', 'e', 'l', 'l', 'o'};
  Bytes bytes = stuff();
  EXPECT_EQ(bytes, Bytes(expected, expected + sizeof expected));
}

TEST_F(StuffTest, EmptyBodiesRoundTripAsEmpty) {
  packet("log");
  ASSERT_EQ(unstuff(stuff()), PKT_CONTENT_LOG) << "a NULL text stuffs as empty";
  EXPECT_STREQ(out_->string, "");
  EXPECT_EQ(out_->string_size, 1);

  packet("pf");
  ASSERT_EQ(unstuff(stuff()), PKT_CONTENT_PF);
  ASSERT_NE(out_->pf, nullptr);
  EXPECT_EQ(pfmaxtbl(out_->pf), 0);

  packet("gen");
  ASSERT_EQ(unstuff(stuff()), PKT_CONTENT_DATA);
  EXPECT_EQ(out_->ndata, 0);
  EXPECT_EQ(out_->data, nullptr);
}

TEST_F(StuffTest, DataBodiesKeepEveryByte) {
  packet("gen");
  Bytes data;
  for (int i = 0; i < 1000; i++) data.push_back(static_cast<char>(i * 7));
  setData(data);
  ASSERT_EQ(unstuff(stuff("SYN_001/GEN"), "SYN_001/GEN"), PKT_CONTENT_DATA);
  ASSERT_EQ(out_->ndata, 1000);
  EXPECT_EQ(Bytes(out_->data, out_->data + 1000), data);
}

TEST_F(StuffTest, LargestBodyRoundTripsAndOneByteMoreIsRefused) {
  packet("gen");
  Bytes data(PKT_MAX_BODY, 'x');
  data.back() = 'y';
  setData(data);
  ASSERT_EQ(unstuff(stuff("SYN_001/GEN")), PKT_CONTENT_DATA);
  EXPECT_EQ(out_->ndata, PKT_MAX_BODY);
  EXPECT_EQ(out_->data[PKT_MAX_BODY - 1], 'y');

  data.push_back('z');
  packet("gen");
  setData(data);
  double time = 0;
  EXPECT_EQ(stuffPkt(in_, "SYN_001/GEN", &time, &buf_, &nbytes_, &bufsize_), PKT_ERR_TOOBIG);
}

TEST_F(StuffTest, BufferGrowsWhenNeededAndIsReusedOtherwise) {
  packet("txt");
  setText(std::string(500, 'a'));
  stuff();
  EXPECT_EQ(bufsize_, PKT_HEADER_SIZE + 500);
  char *first = buf_;
  packet("txt");
  setText("short");
  stuff();
  EXPECT_EQ(buf_, first);
  EXPECT_EQ(bufsize_, PKT_HEADER_SIZE + 500);
  EXPECT_EQ(nbytes_, PKT_HEADER_SIZE + 5);
}

TEST_F(StuffTest, UnstuffingIntoAPacketReplacesItsBody) {
  packet("log");
  setText("first");
  ASSERT_EQ(unstuff(stuff()), PKT_CONTENT_LOG);
  Packet *reused = out_;
  packet("gen");
  setData({'a', 'b'});
  ASSERT_EQ(unstuff(stuff("SYN_001/GEN"), "SYN_001/GEN", 9.0), PKT_CONTENT_DATA);
  EXPECT_EQ(out_, reused);
  EXPECT_EQ(out_->string, nullptr) << "the old text body is released";
  EXPECT_EQ(out_->ndata, 2);
  EXPECT_STREQ(out_->parts.net, "SYN");
  EXPECT_EQ(out_->time, 9.0);
}

// ---- refusals ----

TEST_F(StuffTest, EveryTruncatedPrefixIsRefused) {
  packet("log");
  setText("a log line of some length");
  Bytes bytes = stuff();
  for (size_t n = 0; n < bytes.size(); n++) {
    Bytes prefix(bytes.begin(), bytes.begin() + n);
    ASSERT_LT(unstuff(prefix), 0) << "prefix of " << n << " bytes";
    ASSERT_EQ(out_, nullptr) << "no packet is made for refused bytes";
  }
}

TEST_F(StuffTest, EverySingleBitFlipIsRefused) {
  packet("gen");
  setData({'\0', '\1', 'x', '\xff', 'y'});
  Bytes bytes = stuff("SYN_001/GEN");
  for (size_t bit = 0; bit < bytes.size() * 8; bit++) {
    Bytes damaged = bytes;
    damaged[bit / 8] ^= static_cast<char>(1 << (bit % 8));
    ASSERT_LT(unstuff(damaged), 0) << "bit " << bit;
  }
  EXPECT_EQ(unstuff(bytes), PKT_CONTENT_DATA);
}

TEST_F(StuffTest, WrongLengthsAreRefused) {
  packet("log");
  setText("text");
  Bytes bytes = stuff();
  Bytes longer = bytes;
  longer.push_back('\0');
  EXPECT_EQ(unstuff(longer), PKT_ERR_LENGTH);
  EXPECT_EQ(unstuffPkt("relay1/log", 0, bytes.data(), -1, &out_), PKT_ERR_TRUNCATED);
  EXPECT_EQ(unstuffPkt("relay1/log", 0, nullptr, 0, &out_), PKT_ERR_TRUNCATED);
  Bytes huge = bytes;
  huge[8] = '\x7f';  // announces a body of about 2 GB
  reseal(huge);
  EXPECT_EQ(unstuff(huge), PKT_ERR_TRUNCATED);
}

TEST_F(StuffTest, WellSealedButInvalidContentIsRefused) {
  packet("log");
  setText("text");
  Bytes bytes = stuff();

  Bytes version = bytes;
  version[4] = 2;
  reseal(version);
  EXPECT_EQ(unstuff(version), PKT_ERR_VERSION);

  Bytes content = bytes;
  content[5] = PKT_CONTENT_UNKNOWN;
  reseal(content);
  EXPECT_EQ(unstuff(content), PKT_ERR_CONTENT);

  Bytes nul = bytes;
  nul[PKT_HEADER_SIZE + 1] = '\0';
  reseal(nul);
  EXPECT_EQ(unstuff(nul), PKT_ERR_BODY) << "a text body holds no NUL";

  Bytes notPf = bytes;
  notPf[5] = PKT_CONTENT_PF;
  notPf.resize(PKT_HEADER_SIZE);
  for (char c : std::string("a &Arr{\n")) notPf.push_back(c);  // never closed
  notPf[11] = 8;
  reseal(notPf);
  EXPECT_EQ(unstuff(notPf), PKT_ERR_BODY);
  EXPECT_EQ(out_, nullptr);
}

TEST_F(StuffTest, FailedUnstuffLeavesAnExistingPacketAlone) {
  packet("log");
  setText("kept");
  Bytes good = stuff();
  ASSERT_EQ(unstuff(good), PKT_CONTENT_LOG);
  Packet *kept = out_;
  Bytes bad = good;
  bad.back() ^= 1;
  EXPECT_EQ(unstuff(bad), PKT_ERR_CHECKSUM);
  EXPECT_EQ(out_, kept);
  EXPECT_STREQ(out_->string, "kept");
}

TEST_F(StuffTest, StuffRefusesWhatCannotBeCarried) {
  double time = 0;
  Packet *pkt = packet("log");
  EXPECT_EQ(stuffPkt(pkt, std::string(64, 'n').c_str(), &time, &buf_, &nbytes_, &bufsize_),
            PKT_ERR_SRCNAME);
  EXPECT_EQ(stuffPkt(pkt, "", &time, &buf_, &nbytes_, &bufsize_), PKT_ERR_SRCNAME);
  pkt->time = std::nan("");
  EXPECT_EQ(stuffPkt(pkt, "r/log", &time, &buf_, &nbytes_, &bufsize_), PKT_ERR_TIME);
  pkt->type = nullptr;
  EXPECT_EQ(stuffPkt(pkt, "r/log", &time, &buf_, &nbytes_, &bufsize_), PKT_ERR_ARG);

  pkt = packet("gen");
  pkt->ndata = 4;  // no data buffer behind it
  EXPECT_EQ(stuffPkt(pkt, "r/gen", &time, &buf_, &nbytes_, &bufsize_), PKT_ERR_BODY);

  pkt = packet("pf");
  pkt->pf = pfnew(PFTBL);
  EXPECT_EQ(stuffPkt(pkt, "r/pf", &time, &buf_, &nbytes_, &bufsize_), PKT_ERR_BODY);
  EXPECT_EQ(buf_, nullptr) << "nothing allocated for a refused packet";
}

TEST_F(StuffTest, EveryResultHasAName) {
  for (int code = PKT_ERR_NOMEM; code < 0; code++) {
    EXPECT_STRNE(pkt_strerror(code), "unknown packet error") << code;
  }
  EXPECT_STREQ(pkt_strerror(PKT_ERR_CHECKSUM), "checksum mismatch");
}

}  // namespace
