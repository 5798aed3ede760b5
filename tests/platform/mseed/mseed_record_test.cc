// miniSEED records: what the check accepts and refuses (every encoding and
// record length the tests pack, several records of one stream; damaged
// headers, times, lengths and Steim frames, mixed streams), the samples it
// decodes, the source names, and the packet library's view of them.
#include "platform/mseed/mseed_record.h"

#include <gtest/gtest.h>

#include "mseed_samples.h"
#include "platform/pkt/pkt.h"

namespace {

using mseedtest::Stream;

Stream stream(int encoding, int recordLength, int samples = 3000) {
  Stream s;
  s.encoding = encoding;
  s.recordLength = recordLength;
  s.samples = mseedtest::sine(samples);
  return s;
}

constexpr int kSteim1 = 10, kSteim2 = 11, kInt32 = 3, kInt16 = 1;

TEST(MseedRecords, EveryEncodingAndLengthChecksAndDecodesToWhatWasPacked) {
  for (int encoding : {kSteim1, kSteim2, kInt32, kInt16}) {
    for (int length : {512, 4096}) {
      Stream s = stream(encoding, length);
      auto records = mseedtest::pack(s);
      ASSERT_GT(records.size(), 1u);
      std::string all = mseedtest::joined(records);
      std::vector<mseed::Record> headers;
      std::vector<double> samples;
      EXPECT_EQ(mseed::decode(all.data(), all.size(), samples, &headers), "")
          << encoding << " " << length;
      ASSERT_EQ(samples.size(), s.samples.size());
      for (size_t i = 0; i < samples.size(); ++i) ASSERT_EQ(samples[i], s.samples[i]) << i;
      ASSERT_EQ(headers.size(), records.size());
      EXPECT_EQ(headers[0].length, length);
      EXPECT_EQ(headers[0].encoding, encoding);
      EXPECT_EQ(headers[0].start, s.start);
      EXPECT_EQ(headers[0].sampleRate, 100.0);
      EXPECT_EQ(headers.back().end, s.start + (s.samples.size() - 1) / 100.0);
      EXPECT_EQ(mseed::check(records[1].data(), records[1].size()), "");
    }
  }
}

TEST(MseedRecords, DamageIsRefusedAndSaysWhatAndWhere) {
  auto records = mseedtest::pack(stream(kSteim2, 512));
  const std::string &good = records[0];
  auto refused = [](const std::string &bytes) { return mseed::check(bytes.data(), bytes.size()); };
  EXPECT_NE(
      refused(mseedtest::withBadHeader(good)).find("record at byte 0: no miniSEED record header"),
      std::string::npos);
  EXPECT_NE(refused(mseedtest::withBadStartTime(good)).find("start time out of range"),
            std::string::npos)
      << refused(mseedtest::withBadStartTime(good));
  EXPECT_NE(refused(mseedtest::truncated(good)).find("truncated: 412 of 512 bytes"),
            std::string::npos);
  EXPECT_NE(refused(mseedtest::withBrokenSteim(good)).find("Steim frames do not decode"),
            std::string::npos)
      << refused(mseedtest::withBrokenSteim(good));
  // A good record followed by a damaged one: the second is named.
  EXPECT_NE(refused(good + mseedtest::withBrokenSteim(records[1])).find("record at byte 512: "),
            std::string::npos);
  EXPECT_NE(refused(mseedtest::truncated(good) + records[1])
                .find("record at byte 0: cut short after 412 of 512 bytes"),
            std::string::npos)
      << refused(mseedtest::truncated(good) + records[1]);
  EXPECT_EQ(refused(""), "no bytes");
  EXPECT_NE(refused(std::string(512, 'x')).find("no miniSEED record header"), std::string::npos);
}

TEST(MseedRecords, APacketHoldsOneStreamOnly) {
  Stream other = stream(kSteim2, 512, 200);
  other.channel = "HHN";
  std::string mixed = mseedtest::pack(stream(kSteim2, 512, 200))[0] + mseedtest::pack(other)[0];
  EXPECT_NE(
      mseed::check(mixed.data(), mixed.size()).find("stream XX.STA.00.HHN after XX.STA.00.HHZ"),
      std::string::npos);
}

TEST(MseedRecords, SourceNamesReadBackIntoTheSameCodes) {
  mseed::Record r;
  r.network = "IU";
  r.station = "ANMO";
  r.location = "00";
  r.channel = "BHZ";
  EXPECT_EQ(mseed::sourceName(r), "IU_ANMO_BHZ_00/MSEED");
  r.location = "";
  EXPECT_EQ(mseed::sourceName(r), "IU_ANMO_BHZ/MSEED");
  std::string net, sta, loc, cha;
  ASSERT_TRUE(mseed::parseSourceName("IU_ANMO_BHZ/MSEED", net, sta, loc, cha));
  EXPECT_EQ(net + "." + sta + "." + loc + "." + cha, "IU.ANMO..BHZ");
  ASSERT_TRUE(mseed::parseSourceName("IU_ANMO_BHZ_10/mseed", net, sta, loc, cha));
  EXPECT_EQ(loc, "10");
  EXPECT_FALSE(mseed::parseSourceName("IU_ANMO/MSEED", net, sta, loc, cha));
  EXPECT_FALSE(mseed::parseSourceName("IU_ANMO_BHZ_/MSEED", net, sta, loc, cha));
  EXPECT_FALSE(mseed::parseSourceName("IU_ANMO_BHZ/log", net, sta, loc, cha));
  EXPECT_TRUE(mseed::isMseedSourceName("A_B_C/MSEED"));
  EXPECT_FALSE(mseed::isMseedSourceName("A_B_C/MSEEDX"));
  // The longest SEED codes fit a source name with room to spare.
  EXPECT_LT(std::string("NN_SSSSS_CCC_LL/MSEED").size(), 63u);
}

TEST(MseedPackets, ThePacketLibraryChecksAndCarriesRecordsAsTheyAre) {
  auto records = mseedtest::pack(stream(kSteim1, 512));
  std::string two = records[0] + records[1];
  EXPECT_EQ(verifyPkt("XX_STA_HHZ_00/MSEED", two.data(), static_cast<int>(two.size())),
            PKT_CONTENT_MSEED);
  std::string bad = mseedtest::withBrokenSteim(records[0]);
  EXPECT_EQ(verifyPkt("XX_STA_HHZ_00/MSEED", bad.data(), static_cast<int>(bad.size())),
            PKT_ERR_RECORD);
  // The same bytes under a name of another kind are not a stuffed packet.
  EXPECT_EQ(verifyPkt("XX_STA_HHZ_00/gen", two.data(), static_cast<int>(two.size())),
            PKT_ERR_MAGIC);

  Packet *pkt = nullptr;
  ASSERT_EQ(unstuffPkt("XX_STA_HHZ_00/MSEED", 5.0, two.data(), static_cast<int>(two.size()), &pkt),
            PKT_CONTENT_MSEED);
  EXPECT_EQ(std::string(pkt->data, static_cast<size_t>(pkt->ndata)), two);
  EXPECT_STREQ(pkt->parts.loc, "00");
  char *buf = nullptr;
  int nbytes = 0, bufsize = 0;
  double time = 0;
  EXPECT_EQ(stuffPkt(pkt, "XX_STA_HHZ_00/MSEED", &time, &buf, &nbytes, &bufsize),
            PKT_CONTENT_MSEED);
  EXPECT_EQ(std::string(buf, static_cast<size_t>(nbytes)), two);
  std::free(buf);
  freePkt(pkt);
  EXPECT_STREQ(pkt_strerror(PKT_ERR_RECORD), "not valid miniSEED records");
}

}  // namespace
