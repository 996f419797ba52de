// What reading each GPU's health adds to a snapshot: two builds of the
// library loaded side by side in one process (one without the health reads,
// one with them), alternating calls on the same synthetic machine, whose
// GPUs publish an amdgpu hwmon folder. Prints the CPU time of the whole
// process per call, median of each, and their ratio; asserts nothing.
//
//   gpuproc_snapshot_health_cost <baseline libgpuproc.so> <candidate libgpuproc.so> [processes]
//
// The ratio the health reads are held to is 1.02 at 10,000 processes.
#include <dlfcn.h>
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "synthetic_tree.h"

namespace {

constexpr int kRounds = 15;

using SnapshotFunction = const char* (*)();

double CpuSeconds() {
  timespec now{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

SnapshotFunction Load(const char* path) {
  // RTLD_LOCAL: each build keeps its own symbols and its own kept state.
  void* library = ::dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    std::fprintf(stderr, "cannot load %s: %s\n", path, ::dlerror());
    return nullptr;
  }
  return reinterpret_cast<SnapshotFunction>(::dlsym(library, "GetGPUSnapshotForAllProcesses"));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s <baseline library> <candidate library> [processes]\n", argv[0]);
    return 2;
  }
  const int processes = argc > 3 ? std::atoi(argv[3]) : 10000;
  gpuproc::bench::SyntheticTrees trees;
  const gpuproc::bench::SyntheticTree* tree = trees.Get(processes);
  if (tree == nullptr) return 1;
  ::setenv("HOST_PROC", tree->Proc().c_str(), 1);
  ::setenv("HOST_SYS", tree->Sys().c_str(), 1);

  const SnapshotFunction baseline = Load(argv[1]);
  const SnapshotFunction candidate = Load(argv[2]);
  if (baseline == nullptr || candidate == nullptr) return 1;
  // Both warm: the page cache holds the tree, each library its NVML verdict.
  const std::string baselineText = baseline();
  const std::string candidateText = candidate();
  const bool readsHealth = candidateText.find("\"PowerWatts\":87.0") != std::string::npos;

  std::vector<double> baselineCpu, candidateCpu;
  for (int round = 0; round < kRounds; ++round) {
    // Alternating, and each first in turn, so drift in the machine's load
    // falls on both alike.
    for (int order = 0; order < 2; ++order) {
      const bool first = (round + order) % 2 == 0;
      const double start = CpuSeconds();
      (first ? baseline : candidate)();
      (first ? baselineCpu : candidateCpu).push_back(CpuSeconds() - start);
    }
  }
  std::printf("processes %d, GPU processes %llu\n", processes,
              static_cast<unsigned long long>(tree->gpuFds));
  std::printf("baseline  %s: snapshot %zu bytes, CPU %.2f ms (median of %d)\n", argv[1],
              baselineText.size(), Median(baselineCpu) * 1e3, kRounds);
  std::printf("candidate %s: snapshot %zu bytes, CPU %.2f ms (median of %d), health %s\n", argv[2],
              candidateText.size(), Median(candidateCpu) * 1e3, kRounds,
              readsHealth ? "read" : "NOT read");
  std::printf("CPU ratio candidate / baseline: %.3f (target <= 1.02)\n",
              Median(candidateCpu) / Median(baselineCpu));
  return 0;
}
