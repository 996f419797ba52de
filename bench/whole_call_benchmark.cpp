// What one whole call of the exported function costs on machines of 1,000,
// 10,000 and 30,000 processes (synthetic_tree.h, through HOST_PROC and
// HOST_SYS), for a process that is a client of one GPU, of two and of none,
// each paired in the same run with the floor of a scan of every process's fds
// over the same tree.
//
// The call pauses 100 ms per GPU the process uses; pauses are sleeps, so the
// CPU column is what a call costs. Each benchmark also reports the heap
// allocations per call, from a counting operator new.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

#include "allocation_count.h"
#include "gpuproc/gpuproc.h"
#include "synthetic_tree.h"

namespace {

using gpuproc::bench::SyntheticTree;

gpuproc::bench::SyntheticTrees& AllTrees() {
  static gpuproc::bench::SyntheticTrees trees;
  return trees;
}

// One size's tree at a time, so that the largest has the folder's inodes to
// itself; the sizes run in ascending order.
const SyntheticTree* TreeFor(benchmark::State& state) {
  const int processes = static_cast<int>(state.range(0));
  AllTrees().KeepOnly(processes);
  const SyntheticTree* tree = AllTrees().Get(processes);
  if (tree == nullptr) state.SkipWithError("too few free inodes under TMPDIR");
  return tree;
}

void BM_Floor(benchmark::State& state) {
  const SyntheticTree* tree = TreeFor(state);
  if (tree == nullptr) return;
  std::uint64_t links = 0;
  for (auto _ : state) links += gpuproc::bench::ScanFloor(*tree);
  benchmark::DoNotOptimize(links);
}

// Standard output, where each call echoes its report, goes to /dev/null
// while it lives.
class SilencedOutput {
 public:
  SilencedOutput() {
    std::fflush(stdout);
    saved_ = ::dup(STDOUT_FILENO);
    const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    ::dup2(devNull, STDOUT_FILENO);
    ::close(devNull);
  }
  ~SilencedOutput() {
    std::fflush(stdout);
    ::dup2(saved_, STDOUT_FILENO);
    ::close(saved_);
  }
  SilencedOutput(const SilencedOutput&) = delete;
  SilencedOutput& operator=(const SilencedOutput&) = delete;

 private:
  int saved_ = -1;
};

std::size_t CountRecords(const std::string& report) {
  std::size_t records = 0;
  for (std::size_t at = report.find("\"ProcessID\""); at != std::string::npos;
       at = report.find("\"ProcessID\"", at + 1)) {
    ++records;
  }
  return records;
}

// state.range(1): how many GPUs the asked process uses.
void BM_WholeCall(benchmark::State& state) {
  const SyntheticTree* tree = TreeFor(state);
  if (tree == nullptr) return;
  const auto gpus = static_cast<std::size_t>(state.range(1));
  const std::uint32_t processId = gpus == 0   ? tree->NoGpuProcess()
                                  : gpus == 1 ? tree->OneGpuProcess()
                                              : tree->TwoGpuProcess();
  ::setenv("HOST_PROC", tree->Proc().c_str(), 1);
  ::setenv("HOST_SYS", tree->Sys().c_str(), 1);
  std::string report;
  std::uint64_t allocated = 0;
  {
    const SilencedOutput silenced;
    report = GetGPUDataForProcess(processId);  // the first call loads what calls keep
    const std::uint64_t before = gpuproc::bench::AllocationCount();
    for (auto _ : state) benchmark::DoNotOptimize(GetGPUDataForProcess(processId));
    allocated = gpuproc::bench::AllocationCount() - before;
  }
  ::unsetenv("HOST_PROC");
  ::unsetenv("HOST_SYS");
  if (CountRecords(report) != gpus || (gpus == 0 && report != "null")) {
    state.SkipWithError(("unexpected report: " + report).c_str());
    return;
  }
  state.counters["allocs_per_call"] =
      static_cast<double>(allocated) / static_cast<double>(state.iterations());
}

// A whole call on a tree where one process holds `range(0)` distinct DRM
// clients, for that process (range(1) = 1) or an unrelated one (0): both must
// stay linear in the number of clients.
void BM_WholeCallManyClients(benchmark::State& state) {
  // Removed at exit, like the other trees.
  static struct LeakTrees {
    std::map<int, std::string> roots;
    ~LeakTrees() {
      for (const auto& [clients, root] : roots) std::filesystem::remove_all(root);
    }
  } trees;
  const int clients = static_cast<int>(state.range(0));
  if (trees.roots.count(clients) == 0) {
    trees.roots[clients] = gpuproc::bench::MakeManyClientsTree(clients);
  }
  const std::string& root = trees.roots[clients];
  ::setenv("HOST_PROC", (root + "/proc").c_str(), 1);
  ::setenv("HOST_SYS", (root + "/sys").c_str(), 1);
  const bool leaking = state.range(1) != 0;
  const std::uint32_t processId =
      leaking ? gpuproc::bench::kLeakingProcessId : gpuproc::bench::kUnrelatedProcessId;
  std::string report;
  {
    const SilencedOutput silenced;
    for (auto _ : state) report = GetGPUDataForProcess(processId);
  }
  ::unsetenv("HOST_PROC");
  ::unsetenv("HOST_SYS");
  if (CountRecords(report) != (leaking ? 1u : 0u)) {
    state.SkipWithError(("unexpected report: " + report).c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  // Size by size, so that each size's calls are paired with its own floor
  // and only one tree exists at a time.
  for (const int processes : {1000, 10000, 30000}) {
    benchmark::RegisterBenchmark("BM_Floor", BM_Floor)
        ->Args({processes})
        ->Unit(benchmark::kMillisecond);
    for (const int gpus : {1, 2, 0}) {
      // Iterations are counted in wall time: each call sleeps 100 ms per GPU.
      benchmark::RegisterBenchmark("BM_WholeCall", BM_WholeCall)
          ->Args({processes, gpus})
          ->ArgNames({"processes", "gpus"})
          ->UseRealTime()
          ->Unit(benchmark::kMillisecond);
    }
  }
  benchmark::RegisterBenchmark("BM_WholeCallManyClients", BM_WholeCallManyClients)
      ->ArgsProduct({{32768, 65536}, {1, 0}})
      ->ArgNames({"clients", "leaking"})
      ->Iterations(3)
      ->Unit(benchmark::kMillisecond);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
