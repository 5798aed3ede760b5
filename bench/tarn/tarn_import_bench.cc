// tarn_import_bench: `tarn import` of a miniSEED file onto a local tarnserver.
//
// Packs RECORDS 512-byte Steim-2 records of 10 streams (interleaved, as a
// multi-station file holds them) into a file, starts `tarnserver -p 0` with
// a ring that holds them all, runs `tarn import` on the file and prints
// records/s and MB/s over the whole run (start, reading, checking, puts and
// the wait for the last acknowledgement), with the CPU time of both
// programs. For scale, it also times the record check alone in this process.
// Then `tarn import --follow`: a second server and an importer following an
// empty folder, into which the same records are appended, one file per
// stream, in cuts of 64 KiB taken from the files in turn as fast as they go;
// it prints records/s and MB/s from the first append until the server holds
// the last record, with the CPU time of the importer.
// Usage: tarn_import_bench [RECORDS]   (default 200000)
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include <sys/stat.h>

#include "mseed_samples.h"
#include "platform/mseed/mseed_record.h"
#include "platform/tarnclient/tarnclient.h"
#include "platform/tarnclient/tarnclient_internal.h"
#include "process.h"

namespace {

using Clock = std::chrono::steady_clock;

double since(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

const int kStreams = 10;

// RECORDS records of 10 streams, taken from each in turn.
std::vector<std::string> makeRecords(long count) {
  std::vector<std::vector<std::string>> streams;
  for (int s = 0; s < kStreams; ++s) {
    mseedtest::Stream stream;
    stream.station = "ST" + std::to_string(s);
    // About 320 Steim-2 samples of this signal fill a 512-byte record.
    stream.samples = mseedtest::sine(static_cast<int>(count / kStreams + 1) * 330);
    streams.push_back(mseedtest::pack(stream));
  }
  std::vector<std::string> records;
  for (size_t i = 0; static_cast<long>(records.size()) < count; ++i) {
    for (auto &s : streams) {
      if (i < s.size() && static_cast<long>(records.size()) < count) records.push_back(s[i]);
    }
  }
  return records;
}

// Starts a tarnserver whose ring holds every record; its tarn name, or "".
std::string startServer(const testsupport::TempDir &dir, const std::string &ready,
                        std::unique_ptr<testsupport::ChildProcess> &server) {
  server = std::make_unique<testsupport::ChildProcess>(
      std::vector<std::string>{testsupport::programPath("tarnserver"), "-p", "0", "-s", "512M",
                               "-R", dir.file(ready)},
      testsupport::SpawnOptions{});
  std::string name;
  for (int i = 0; i < 1000 && name.empty() && server->running(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::ifstream in(dir.file(ready));
    std::getline(in, name);
  }
  return name;
}

uint64_t packetsHeld(const std::string &tarn) {
  int fd = tarnopen(tarn.c_str(), "r&");
  tarnclient::RingFigures f;
  bool ok = fd >= 0 && tarnclient::stat(fd, f);
  if (fd >= 0) tarnclose(fd);
  return ok ? f.packets : 0;
}

// The records appended to a followed folder, a file per stream, in cuts of
// 64 KiB from the files in turn; seconds until the server held them all
// (negative on failure) and the importer's CPU seconds.
std::pair<double, double> follow(const testsupport::TempDir &dir,
                                 const std::vector<std::string> &records) {
  std::unique_ptr<testsupport::ChildProcess> server;
  std::string name = startServer(dir, "follow.ready", server);
  std::string folder = dir.file("followed");
  ::mkdir(folder.c_str(), 0755);
  testsupport::SpawnOptions out;
  out.output = dir.file("follow.out");
  out.error = dir.file("follow.err");
  testsupport::ChildProcess importer(
      {testsupport::programPath("tarn"), "import", "--follow", folder, name}, out);
  for (int i = 0; i < 1000 && testsupport::readFile(out.output).empty(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::vector<std::string> files(kStreams);
  for (size_t i = 0; i < records.size(); ++i) files[i % kStreams] += records[i];
  std::vector<std::unique_ptr<std::ofstream>> outs;
  for (int s = 0; s < kStreams; ++s) {
    outs.push_back(std::make_unique<std::ofstream>(folder + "/st" + std::to_string(s) + ".mseed",
                                                   std::ios::binary));
  }
  auto start = Clock::now();
  const size_t kCut = 64 << 10;
  for (size_t at = 0; at < files[0].size(); at += kCut) {
    for (int s = 0; s < kStreams; ++s) {
      if (at < files[s].size())
        outs[s]->write(files[s].data() + at, std::min(kCut, files[s].size() - at));
      outs[s]->flush();
    }
  }
  double secs = -1;
  for (int i = 0; i < 60000; ++i) {
    if (packetsHeld(name) >= records.size()) {
      secs = since(start);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  testsupport::Ending end = importer.stop(SIGTERM, std::chrono::seconds(30));
  if (secs < 0 || end.exitStatus != 0) {
    std::fprintf(stderr, "tarn_import_bench: --follow ended with %d\n%s", end.exitStatus,
                 testsupport::readFile(out.error).c_str());
    return {-1, 0};
  }
  return {secs, end.cpuSeconds};
}

}  // namespace

int main(int argc, char **argv) {
  long count = argc > 1 ? std::atol(argv[1]) : 200000;
  if (count <= 0) count = 200000;
  std::vector<std::string> records = makeRecords(count);
  testsupport::TempDir dir;
  std::string path = dir.file("records.mseed");
  {
    std::ofstream out(path, std::ios::binary);
    for (const std::string &r : records) out << r;
  }
  double mb = static_cast<double>(records.size()) * 512 / 1e6;

  auto start = Clock::now();
  for (const std::string &r : records) mseed::check(r.data(), r.size());
  double checkSecs = since(start);

  std::unique_ptr<testsupport::ChildProcess> server;
  std::string name = startServer(dir, "ready", server);
  if (name.empty()) {
    std::fprintf(stderr, "tarn_import_bench: cannot start tarnserver\n");
    return 1;
  }
  testsupport::SpawnOptions importOut;
  importOut.output = dir.file("import.out");
  importOut.error = dir.file("import.err");
  start = Clock::now();
  testsupport::ChildProcess import({testsupport::programPath("tarn"), "import", name, path},
                                   importOut);
  int status = import.wait(std::chrono::minutes(10));
  double secs = since(start);
  testsupport::Ending serverEnd = server->stop(SIGTERM, std::chrono::seconds(30));
  std::string summary = testsupport::readFile(importOut.output);
  if (status != 0) {
    std::fprintf(stderr, "tarn_import_bench: tarn import ended with %d\n%s%s", status,
                 summary.c_str(), testsupport::readFile(importOut.error).c_str());
    return 1;
  }
  std::printf("tarn_import_bench: %zu records of 512 bytes (%.1f MB), 10 streams, tarnserver %s\n",
              records.size(), mb, name.c_str());
  std::printf("  %s", summary.c_str());
  std::printf(
      "  import   %10.0f records/s  %6.1f MB/s  (%.2f s; tarn CPU %.2f s, server CPU %.2f s)\n",
      records.size() / secs, mb / secs, secs, import.cpuSeconds(), serverEnd.cpuSeconds);
  std::printf("  check    %10.0f records/s  (the record check alone, in this process)\n",
              records.size() / checkSecs);
  auto [followSecs, followCpu] = follow(dir, records);
  if (followSecs < 0) return 1;
  std::printf(
      "  follow   %10.0f records/s  %6.1f MB/s  (%.2f s from the first append to the last record "
      "stored; tarn CPU %.2f s)\n",
      records.size() / followSecs, mb / followSecs, followSecs, followCpu);
  return 0;
}
