// The SDS archive and its destination: where records go, a record already
// at the end of its day file, a write the disk cuts short, codes that make
// no file name, packets that are not miniSEED, and an archive removed while
// records go to it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <filesystem>

#include "connection/dropped_packets.h"
#include "endpoints/sds_archive.h"
#include "endpoints/sds_destination.h"
#include "mseed_samples.h"
#include "output_capture.h"
#include "platform/statefile/read_position.h"
#include "process.h"
#include "tarn/tarn_packet.h"
#include "test_context.h"

namespace {

using testsupport::readFile;

int countOf(const std::string &text, const std::string &needle) {
  int n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

struct Records {
  std::vector<std::string> bytes;
  std::vector<mseed::Record> headers;
};

Records records(mseedtest::Stream s) {
  Records r;
  r.bytes = mseedtest::pack(s);
  for (const std::string &b : r.bytes) mseed::headers(b.data(), b.size(), &r.headers);
  return r;
}

mseedtest::Stream stream(double start, int samples, std::string location = "00") {
  mseedtest::Stream s;
  s.start = start;
  s.location = std::move(location);
  s.samples = mseedtest::sine(samples);
  return s;
}

std::string appendAll(SdsArchive &archive, const Records &r, size_t from = 0) {
  for (size_t i = from; i < r.bytes.size(); ++i) {
    SdsArchive::Appended result;
    std::string problem =
        archive.append(r.headers[i], r.bytes[i].data(), r.bytes[i].size(), result);
    if (!problem.empty()) return problem;
  }
  return archive.sync();
}

class Sds : public testing::Test {
 protected:
  std::string root() const { return dir.file("archive"); }
  testsupport::TempDir dir;
};

TEST_F(Sds, RecordsGoToTheDayFileOfTheirStartInTheSdsLayout) {
  EXPECT_EQ(SdsArchive::dayFile(records(stream(1796601600.0, 10)).headers[0]),
            "2026/XX/STA/HHZ.D/XX.STA.00.HHZ.D.2026.341");
  EXPECT_EQ(SdsArchive::dayFile(records(stream(1796601600.0, 10, "")).headers[0]),
            "2026/XX/STA/HHZ.D/XX.STA..HHZ.D.2026.341");
  // Starting 10 s before midnight at 100 Hz: one record spans it and stays
  // in the day it starts; the next ones go to the next day's file.
  const double midnight = 1796601600.0;
  Records r = records(stream(midnight - 10, 3000));
  size_t spanning = 0;
  while (spanning < r.headers.size() && r.headers[spanning].end < midnight) ++spanning;
  ASSERT_LT(spanning, r.headers.size());
  ASSERT_LT(r.headers[spanning].start, midnight);
  SdsArchive archive(root());
  ASSERT_EQ(archive.prepare(), "");
  ASSERT_EQ(appendAll(archive, r), "");
  std::string day1 = readFile(root() + "/2026/XX/STA/HHZ.D/XX.STA.00.HHZ.D.2026.340");
  std::string day2 = readFile(root() + "/2026/XX/STA/HHZ.D/XX.STA.00.HHZ.D.2026.341");
  EXPECT_EQ(day1, mseedtest::joined({r.bytes.begin(), r.bytes.begin() + spanning + 1}));
  EXPECT_EQ(day2, mseedtest::joined({r.bytes.begin() + spanning + 1, r.bytes.end()}));
}

// Started again after a crash, a writer may read again from far back in a
// file: every record the file holds is found there, however far back, and
// the ones after it are written.
TEST_F(Sds, RecordsAlreadyInTheirFileAreNotWrittenAgainHoweverFarBack) {
  Records r = records(stream(1796601600.0, 400000));
  ASSERT_GT(r.bytes.size(), 1000u);
  const size_t held = 700, from = 3;
  {
    SdsArchive first(root());
    ASSERT_EQ(first.prepare(), "");
    Records part{{r.bytes.begin(), r.bytes.begin() + held},
                 {r.headers.begin(), r.headers.begin() + held}};
    ASSERT_EQ(appendAll(first, part), "");
  }
  SdsArchive again(root());
  ASSERT_EQ(again.prepare(), "");
  size_t repeats = 0;
  for (size_t i = from; i < r.bytes.size(); ++i) {
    SdsArchive::Appended result;
    ASSERT_EQ(again.append(r.headers[i], r.bytes[i].data(), r.bytes[i].size(), result), "");
    repeats += result == SdsArchive::Appended::kAlreadyThere;
  }
  ASSERT_EQ(again.sync(), "");
  EXPECT_EQ(repeats, held - from);
  EXPECT_EQ(readFile(root() + "/2026/XX/STA/HHZ.D/XX.STA.00.HHZ.D.2026.341"),
            mseedtest::joined(r.bytes));
}

// A disk that fills up part-way through a record (here a file-size limit):
// the write fails and the file still ends on a whole record.
TEST_F(Sds, AWriteCutShortLeavesNoPartOfTheRecord) {
  Records r = records(stream(1796601600.0, 20000));
  std::string path = root() + "/2026/XX/STA/HHZ.D/XX.STA.00.HHZ.D.2026.341";
  auto result = testcapture::runInChild([&] {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit {
      5 * 512 + 100, RLIM_INFINITY
    };
    setrlimit(RLIMIT_FSIZE, &limit);
    SdsArchive archive(root());
    if (!archive.prepare().empty()) _exit(3);
    std::printf("%s\n", appendAll(archive, r).c_str());
  });
  EXPECT_NE(result.out.find(path + "': File too large"), std::string::npos) << result.out;
  EXPECT_EQ(readFile(path), mseedtest::joined({r.bytes.begin(), r.bytes.begin() + 5}));
}

TEST_F(Sds, CodesThatWouldMakeAPathOfTheirOwnMakeNoFileName) {
  mseed::Record r = records(stream(1796601600.0, 10)).headers[0];
  r.station = "..";
  EXPECT_EQ(SdsArchive::dayFile(r), "");
  r.station = "A/B";
  EXPECT_EQ(SdsArchive::dayFile(r), "");
}

TEST_F(Sds, AFileWhereAFolderShouldBeIsNamed) {
  testsupport::writeFile(dir.file("archive"), "");
  SdsArchive archive(root());
  EXPECT_NE(archive.prepare().find(root() + "': Not a directory"), std::string::npos)
      << archive.prepare();
}

// Packets the archive cannot hold are done at once and dropped: named once
// per source name and cause, and counted by cause.
TEST_F(Sds, PacketsThatAreNotMiniSeedAreDroppedNamedOncePerSourceAndCounted) {
  testsupport::testLog().nameThread("tester");
  SdsDestination destination(root(), "w", testsupport::testContext());
  ConnectionCounters counters;
  DroppedPackets drops("w", testsupport::testLog(), counters);
  destination.reportDropsTo(&drops);
  std::string why;
  ASSERT_EQ(destination.open(why), OpenResult::kOpened) << why;
  ReadPosition position;
  std::string bad = mseedtest::withBadHeader(records(stream(1796601600.0, 10)).bytes[0]);
  testcapture::OutputCapture output;
  for (int i = 0; i < 3; ++i) {
    auto text = std::make_shared<TarnPacket>("test", 2 * i, "XX_STA/txt", 1.0, "hello", 5,
                                             position.reaped(2 * i, 1.0));
    EXPECT_EQ(destination.put(text, 1.0), PutResult::kDropped);
    auto broken =
        std::make_shared<TarnPacket>("test", 2 * i + 1, "XX_STA_HHZ_00/MSEED", 1.0, bad.data(),
                                     static_cast<int>(bad.size()), position.reaped(2 * i + 1, 1.0));
    EXPECT_EQ(destination.put(broken, 1.0), PutResult::kDropped);
  }
  LeftBehind left = destination.finish(false);
  output.stop();
  EXPECT_EQ(left.unacknowledged, 0u);
  EXPECT_EQ(position.resumePoint().id, 5) << "every packet dropped is done";
  std::string err = output.err();
  EXPECT_EQ(countOf(err, "dropped packet 'XX_STA/txt' of "), 1) << err;
  EXPECT_EQ(countOf(err, ", 5 bytes: not miniSEED, which SDS archive"), 1) << err;
  EXPECT_EQ(countOf(err, "dropped packet 'XX_STA_HHZ_00/MSEED'"), 1) << err;
  EXPECT_EQ(drops.total(), 6u);
  EXPECT_NE(drops.summary().find("3 not miniSEED"), std::string::npos) << drops.summary();
  EXPECT_NE(drops.summary().find("3 with records that do not parse"), std::string::npos)
      << drops.summary();
  EXPECT_EQ(counters.drops(),
            (std::map<std::string, uint64_t>{{"bad_records", 3}, {"not_miniseed", 3}}));
  EXPECT_EQ(counters.packets(), 0u);
}

// The archive removed (rm -rf) while records flow: the records not yet on
// disk go into the day file made anew, each once, and it is said once. What
// was synced before the removal may be gone with it, so the file holds the
// records from some point on, that point at or before the removal.
TEST_F(Sds, RecordsNotYetOnDiskWhenTheArchiveIsRemovedAreWrittenAgainIntoANewFile) {
  testsupport::testLog().nameThread("tester");
  SdsDestination destination(root(), "w", testsupport::testContext());
  std::string why;
  ASSERT_EQ(destination.open(why), OpenResult::kOpened) << why;
  Records r = records(stream(1796601600.0, 40000));
  const size_t half = r.bytes.size() / 2;
  ReadPosition position;
  testcapture::OutputCapture output;
  for (size_t i = 0; i < r.bytes.size(); ++i) {
    if (i == half) std::filesystem::remove_all(root());
    auto packet = std::make_shared<TarnPacket>(
        "test", i, "XX_STA_HHZ_00/MSEED", r.headers[i].start, r.bytes[i].data(),
        static_cast<int>(r.bytes[i].size()), position.reaped(static_cast<int32_t>(i), 1.0));
    ASSERT_EQ(destination.put(packet, 1.0), PutResult::kTaken);
  }
  EXPECT_EQ(destination.finish(false).unacknowledged, 0u);
  output.stop();
  EXPECT_EQ(position.resumePoint().id, static_cast<int32_t>(r.bytes.size() - 1));
  EXPECT_EQ(countOf(output.err(), "was removed or replaced while records went to it"), 1)
      << output.err();
  std::string held = readFile(root() + "/2026/XX/STA/HHZ.D/XX.STA.00.HHZ.D.2026.341");
  size_t from = r.bytes.size() - held.size() / r.bytes[0].size();
  ASSERT_LE(from, half);
  EXPECT_EQ(held, mseedtest::joined({r.bytes.begin() + from, r.bytes.end()}));
}

}  // namespace
