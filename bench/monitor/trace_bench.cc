// What `tarn monitor --trace` costs: taking miniSEED packets into its trace
// store (decoding them with libmseed), and making the /api/traces document
// the page asks for every two seconds. Prints samples taken per second, and
// for the document its time and its size per stream.
//
// The records are packed before the timing starts: ten minutes of a 100 Hz
// stream (Steim-2, 512-byte records, one record a packet), as a station
// sends them.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "mseed_samples.h"
#include "tools/network_view.h"
#include "tools/trace_store.h"

namespace {

constexpr int kSamples = 60000;  // ten minutes at 100 Hz
constexpr double kEnd = 1796601600.0 + kSamples / 100.0;

std::string streamName(int i) { return "XX_S" + std::to_string(i) + "_HHZ_00/MSEED"; }

// Ten minutes of station S<i>.
const std::vector<std::string> &tenMinutes(int i) {
  static std::vector<std::vector<std::string>> records;
  while (static_cast<int>(records.size()) <= i) {
    mseedtest::Stream s;
    s.station = "S" + std::to_string(records.size());
    s.samples = mseedtest::sine(kSamples, 3000 + 10 * static_cast<int>(records.size()), 400);
    records.push_back(mseedtest::pack(s));
  }
  return records[i];
}

void fill(tarntool::TraceStore &store, int streams) {
  for (int i = 0; i < streams; ++i) {
    for (const std::string &r : tenMinutes(i))
      store.addPacket(streamName(i), r.data(), r.size(), kEnd);
  }
}

// Ten minutes of one stream into an empty store, record by record.
void BM_TakePackets(benchmark::State &state) {
  const std::vector<std::string> &records = tenMinutes(0);
  for (auto _ : state) {
    tarntool::TraceStore store;
    fill(store, 1);
    benchmark::DoNotOptimize(store.sampleCount(streamName(0)));
  }
  state.SetItemsProcessed(state.iterations() * kSamples);
  state.counters["records"] = static_cast<double>(records.size());
  state.counters["records_per_second"] = benchmark::Counter(
      static_cast<double>(state.iterations() * records.size()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_TakePackets)->Unit(benchmark::kMillisecond);

// The document for a page 1200 pixels wide, with ten minutes of each stream.
void BM_TracesDocument(benchmark::State &state) {
  int streams = static_cast<int>(state.range(0));
  tarntool::TraceStore store;
  fill(store, streams);
  size_t bytes = 0;
  for (auto _ : state) {
    bytes = tarntool::jsonText(store.toJson(kEnd, 1200), -1).size();
    benchmark::DoNotOptimize(bytes);
  }
  state.counters["bytes_per_stream"] = static_cast<double>(bytes) / streams;
  state.counters["samples_kept_per_stream"] = static_cast<double>(store.sampleCount(streamName(0)));
}
BENCHMARK(BM_TracesDocument)->Arg(1)->Arg(10)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
