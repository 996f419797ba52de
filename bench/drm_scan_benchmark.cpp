// How long finding every process's DRM clients takes, against the floor of
// any such scan: readdir over /proc/<pid>/fd and readlink of every entry.
//
// The synthetic tree of each size (synthetic_tree.h) is written once.
// Every benchmark reports fds/s and, from a counting operator new, the heap
// allocations per fd that is not a GPU client.
#include <benchmark/benchmark.h>

#include <cstdlib>

#include "allocation_count.h"
#include "platform/linux/busy_time_ledger.h"
#include "platform/linux/drm_fdinfo_source.h"
#include "platform/linux/host_fs.h"
#include "synthetic_tree.h"

namespace {

using gpuproc::bench::SyntheticTree;

gpuproc::bench::SyntheticTrees& AllTrees() {
  static gpuproc::bench::SyntheticTrees trees;
  return trees;
}

// The tree of state.range(0) processes; null, with the benchmark skipped,
// where the folder lacks the inodes for it.
const SyntheticTree* TreeFor(benchmark::State& state) {
  const SyntheticTree* tree = AllTrees().Get(static_cast<int>(state.range(0)));
  if (tree == nullptr) state.SkipWithError("too few free inodes under TMPDIR");
  return tree;
}

void Report(benchmark::State& state, const SyntheticTree& tree, std::uint64_t allocated) {
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * tree.fds));
  state.counters["fds"] = static_cast<double>(tree.fds);
  state.counters["allocs_per_fd"] = static_cast<double>(allocated) /
                                    static_cast<double>(state.iterations()) /
                                    static_cast<double>(tree.fds);
}

// The floor: readdir of /proc, of every /proc/<pid>/fd, and readlink of every
// fd, with fixed buffers and nothing else.
void BM_FloorReaddirReadlink(benchmark::State& state) {
  const SyntheticTree* tree = TreeFor(state);
  if (tree == nullptr) return;
  std::uint64_t links = 0;
  const std::uint64_t before = gpuproc::bench::AllocationCount();
  for (auto _ : state) links += gpuproc::bench::ScanFloor(*tree);
  benchmark::DoNotOptimize(links);
  Report(state, *tree, gpuproc::bench::AllocationCount() - before);
}

// The DRM fdinfo source's collection of every process: the scan above plus
// reading and parsing each DRM client's fdinfo.
void BM_SourceFullScan(benchmark::State& state) {
  const SyntheticTree* found = TreeFor(state);
  if (found == nullptr) return;
  const SyntheticTree& tree = *found;
  const gpuproc::HostFs fs(tree.Proc(), tree.Sys());
  std::uint64_t now = 0;
  gpuproc::BusyTimeLedger ledger;
  const auto source = gpuproc::CreateDrmFdinfoSource(
      gpuproc::GpuSourceContext{fs, [&now] { return now += 1; }, ledger});
  source->Collect({});  // buffers sized once, as in a call's second collection
  std::size_t processes = 0;
  const std::uint64_t before = gpuproc::bench::AllocationCount();
  for (auto _ : state) {
    const gpuproc::GpuSnapshot snapshot = source->Collect({});
    processes = snapshot.processes.size();
  }
  const std::uint64_t allocated = gpuproc::bench::AllocationCount() - before;
  Report(state, tree, allocated);
  state.counters["gpu_processes"] = static_cast<double>(processes);
  // What is left once the GPU clients' own work is taken out.
  state.counters["allocs_per_gpu_fd"] = static_cast<double>(allocated) /
                                        static_cast<double>(state.iterations()) /
                                        static_cast<double>(tree.gpuFds);
}

BENCHMARK(BM_FloorReaddirReadlink)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);
// A large scan spreads over threads: their CPU time counts too.
BENCHMARK(BM_SourceFullScan)
    ->Arg(1000)
    ->Arg(10000)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime();

}  // namespace

BENCHMARK_MAIN();
