// What one gpuproc-exporter scrape costs over a synthetic tree of 10,000
// processes (640,000 fds, 1% of them amdgpu DRM clients): the library's
// snapshot, the owner of each process from its cgroup, and the text, as the
// exporter's collector makes them for each scrape. Prints wall and CPU time
// per scrape, the first (cold) and the median of the next ones, and the size
// of the text; the same for the exporter's own part alone. Only the HTTP
// round trip on loopback is left out.
//
//   gpuproc_exporter_scrape_bench [PROCESSES=10000] [SCRAPES=5]
#include <stdlib.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "gpu_collector.h"
#include "gpuproc/gpuproc.h"
#include "synthetic_tree.h"

namespace {

double CpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
  const int processes = argc > 1 ? std::atoi(argv[1]) : 10000;
  const int scrapes = std::max(2, argc > 2 ? std::atoi(argv[2]) : 5);
  gpuproc::bench::SyntheticTrees trees;
  const gpuproc::bench::SyntheticTree* tree = trees.Get(processes);
  if (tree == nullptr) return 1;
  ::setenv("HOST_PROC", tree->Proc().c_str(), 1);
  ::setenv("HOST_SYS", tree->Sys().c_str(), 1);

  gpuproc::GPUCollector collector(
      [] {
        const char* text = GetGPUSnapshotForAllProcesses();
        return std::string(text != nullptr ? text : "");
      },
      gpuproc::HostOwnerLookup("/nonexistent/pods"));
  // The exporter's own part (owners, text) over a snapshot, to tell it from
  // the library's: once with cold caches, then as a running exporter sees it.
  std::vector<double> ownWalls, ownCpus;
  std::size_t snapshotBytes = 0;
  bool ok = false;
  for (int i = 0; i < scrapes; ++i) {
    std::string snapshot = GetGPUSnapshotForAllProcesses();
    snapshotBytes = snapshot.size();
    const double cpuStart = CpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    gpuproc::BuildMetricsText(std::move(snapshot), gpuproc::HostOwnerLookup("/nonexistent/pods")(),
                              {}, ok);
    ownWalls.push_back(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    ownCpus.push_back(CpuSeconds() - cpuStart);
  }
  const std::size_t median = 1 + (ownWalls.size() - 1) / 2;
  std::sort(ownWalls.begin() + 1, ownWalls.end());
  std::sort(ownCpus.begin() + 1, ownCpus.end());
  std::printf(
      "exporter's own part: %.0f ms wall, %.0f ms CPU (snapshot of %zu bytes%s); median of the "
      "next %d: %.0f ms wall, %.0f ms CPU\n",
      ownWalls[0] * 1e3, ownCpus[0] * 1e3, snapshotBytes, ok ? "" : ", NOT READ", scrapes - 1,
      ownWalls[median] * 1e3, ownCpus[median] * 1e3);
  std::vector<double> walls, cpus;
  std::size_t bytes = 0, series = 0;
  for (int i = 0; i < scrapes; ++i) {
    const double cpuStart = CpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    const auto text = collector.Collect(start);
    walls.push_back(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    cpus.push_back(CpuSeconds() - cpuStart);
    bytes = text->size();
    // Every line that is not a comment is a series.
    series = 0;
    for (std::size_t at = 0; at < text->size(); at = text->find('\n', at) + 1) {
      if ((*text)[at] != '#') ++series;
    }
  }
  std::sort(walls.begin() + 1, walls.end());
  std::sort(cpus.begin() + 1, cpus.end());
  std::printf(
      "exporter scrape, %d processes (%llu fds, %llu GPU fds): %zu series, %zu bytes of text\n"
      "  first scrape: %.0f ms wall, %.0f ms CPU\n"
      "  median of the next %d: %.0f ms wall, %.0f ms CPU\n",
      tree->processes, static_cast<unsigned long long>(tree->fds),
      static_cast<unsigned long long>(tree->gpuFds), series, bytes, walls[0] * 1e3, cpus[0] * 1e3,
      scrapes - 1, walls[median] * 1e3, cpus[median] * 1e3);
  return 0;
}
