// What one GetGPUSnapshotForAllProcesses costs against one
// GetGPUDataForAllProcesses on the same synthetic machine, in the same run:
// CPU of the whole process (a large scan spreads over threads) and wall
// time beyond it, each the median of alternating calls. Prints the figures; asserts nothing.
//
//   gpuproc_snapshot_cost [processes]      (default 10000)
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "gpuproc/gpuproc.h"
#include "synthetic_tree.h"

namespace {

constexpr int kRounds = 9;

double Seconds(clockid_t clock) {
  timespec now{};
  ::clock_gettime(clock, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

struct Cost {
  double cpu = 0;
  double wall = 0;
};

template <typename Call>
Cost Measure(Call&& call) {
  const double wall = Seconds(CLOCK_MONOTONIC);
  const double cpu = Seconds(CLOCK_PROCESS_CPUTIME_ID);
  call();
  return {Seconds(CLOCK_PROCESS_CPUTIME_ID) - cpu, Seconds(CLOCK_MONOTONIC) - wall};
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const int processes = argc > 1 ? std::atoi(argv[1]) : 10000;
  gpuproc::bench::SyntheticTrees trees;
  const gpuproc::bench::SyntheticTree* tree = trees.Get(processes);
  if (tree == nullptr) return 1;
  ::setenv("HOST_PROC", tree->Proc().c_str(), 1);
  ::setenv("HOST_SYS", tree->Sys().c_str(), 1);

  // Both warm: the page cache holds the tree, the library its NVML verdict.
  GetGPUSnapshotForAllProcesses();
  GetGPUDataForAllProcesses();
  std::vector<double> snapshotCpu, snapshotWall, snapshotBeyond, callCpu, callWall;
  std::size_t snapshotLength = 0;
  for (int round = 0; round < kRounds; ++round) {
    const Cost snapshot =
        Measure([&] { snapshotLength = std::string(GetGPUSnapshotForAllProcesses()).size(); });
    const Cost call = Measure([] { GetGPUDataForAllProcesses(); });
    snapshotCpu.push_back(snapshot.cpu);
    snapshotWall.push_back(snapshot.wall);
    snapshotBeyond.push_back(snapshot.wall - snapshot.cpu);
    callCpu.push_back(call.cpu);
    callWall.push_back(call.wall);
  }
  const double ratio = Median(snapshotCpu) / Median(callCpu);
  std::printf("processes %d, GPU processes %llu, snapshot %zu bytes\n", processes,
              static_cast<unsigned long long>(tree->gpuFds), snapshotLength);
  std::printf("GetGPUDataForAllProcesses: CPU %.1f ms, wall %.1f ms (median of %d)\n",
              Median(callCpu) * 1e3, Median(callWall) * 1e3, kRounds);
  // Below zero where the scan's threads overlapped: nothing waited.
  std::printf("GetGPUSnapshotForAllProcesses: CPU %.1f ms, wall %.1f ms, wall beyond CPU %.2f ms\n",
              Median(snapshotCpu) * 1e3, Median(snapshotWall) * 1e3, Median(snapshotBeyond) * 1e3);
  std::printf("CPU ratio snapshot / all-processes call: %.2f (target <= 0.60)\n", ratio);
  ::unsetenv("HOST_PROC");
  ::unsetenv("HOST_SYS");
  return 0;
}
