// What reading the library's snapshot document costs, by the reader every
// program shares: streamed one entry at a time (the exporter) and into a
// whole document (top, gpuproc -n), over a document of N processes each on
// one of two GPUs with three engine types, as the library writes it.
#include <benchmark/benchmark.h>

#include <nlohmann/json.hpp>
#include <string>

#include "read_snapshot.h"

namespace {

std::string Document(int processes) {
  nlohmann::json adapters = nlohmann::json::array();
  for (int gpu = 0; gpu < 2; ++gpu) {
    adapters.push_back({{"Adapter", "luid_0x00000000_0x0000030" + std::to_string(gpu) + "_phys_0"},
                        {"AdapterName", "Advanced Micro Devices, Inc. [AMD/ATI] Navi 21"},
                        {"PciAddress", "0000:03:00." + std::to_string(gpu)},
                        {"Kind", "GPU"},
                        {"GPUMemoryTotal", 4096.0},
                        {"GPUMemoryFree", 12288.0}});
  }
  nlohmann::json list = nlohmann::json::array();
  for (int i = 0; i < processes; ++i) {
    list.push_back({{"ProcessID", 5000 + i},
                    {"Name", "worker-" + std::to_string(i)},
                    {"Adapter", adapters[i % 2]["Adapter"]},
                    {"Time", 81234.5 + i * 1e-5},
                    {"GPUProcessMemoryDedicatedUsage", 64.0 * (i % 13)},
                    {"GPUProcessMemorySharedUsage", 8.0},
                    {"GPUProcessMemoryLocalUsage", 64.0},
                    {"GPUProcessMemoryTotalCommitted", 72.0},
                    {"EngineBusySeconds",
                     {{"3D", 12.25 * i},
                      {"Compute", i % 3 ? nlohmann::json(0.5) : nullptr},
                      {"Copy", 0.125}}}});
  }
  return nlohmann::json{
      {"Time", 81234.75}, {"UnreadableProcesses", 0}, {"Adapters", adapters}, {"Processes", list}}
      .dump();
}

void BM_ReadSnapshotStreamed(benchmark::State& state) {
  const std::string text = Document(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    std::size_t entries = 0;
    const auto header = gpuproc::ReadSnapshot(
        text, [&](gpuproc::SnapshotProcess&) { ++entries; },
        [&](gpuproc::SnapshotAdapter&) { ++entries; });
    if (!header) state.SkipWithError("not read");
    benchmark::DoNotOptimize(entries);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_ReadSnapshotStreamed)->Arg(200)->Arg(10000)->Unit(benchmark::kMillisecond);

void BM_ReadSnapshotDocument(benchmark::State& state) {
  const std::string text = Document(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    auto document = gpuproc::ReadSnapshotDocument(text);
    if (!document) state.SkipWithError("not read");
    benchmark::DoNotOptimize(document);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_ReadSnapshotDocument)->Arg(200)->Arg(10000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
