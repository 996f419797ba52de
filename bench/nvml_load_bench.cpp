// What keeping NVML loaded between calls saves: one collection of the NVML
// source over a library loaded and initialised for it, against the same
// collection over the library kept from an earlier call, and the cost a call
// pays on a machine without NVML.
//
// The library is GPUPROC_BENCH_NVML (a path or soname), else
// libnvidia-ml.so.1 as the library finds it; point it at the fake
// (build/tests/fake_nvml/default/libnvidia-ml.so.1) where there is no driver.
#include <benchmark/benchmark.h>

#include <cstdlib>

#include "platform/linux/nvml_library.h"
#include "platform/linux/nvml_source.h"

namespace {

const char* NvmlPath() {
  const char* path = std::getenv("GPUPROC_BENCH_NVML");
  return path != nullptr && *path != '\0' ? path : gpuproc::kNvmlLibraryName;
}

// Each call loads, initialises, collects, shuts NVML down and unloads.
void BM_NvmlLoadedPerCall(benchmark::State& state) {
  for (auto _ : state) {
    std::shared_ptr<const gpuproc::NvmlLibrary> library = gpuproc::NvmlLibrary::Load(NvmlPath());
    if (!library) {
      state.SkipWithError("no NVML library");
      return;
    }
    gpuproc::NvmlSource source(library);
    benchmark::DoNotOptimize(source.Collect(gpuproc::CollectScope{}));
  }
}
BENCHMARK(BM_NvmlLoadedPerCall)->Unit(benchmark::kMicrosecond);

// The library stays loaded; each call makes a new source over it.
void BM_NvmlKeptLoaded(benchmark::State& state) {
  std::shared_ptr<const gpuproc::NvmlLibrary> library = gpuproc::NvmlLibrary::Load(NvmlPath());
  if (!library) {
    state.SkipWithError("no NVML library");
    return;
  }
  for (auto _ : state) {
    gpuproc::NvmlSource source(library);
    benchmark::DoNotOptimize(source.Collect(gpuproc::CollectScope{}));
  }
}
BENCHMARK(BM_NvmlKeptLoaded)->Unit(benchmark::kMicrosecond);

// A machine without NVIDIA's driver: the failed lookup each call retries.
void BM_NvmlAbsent(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(gpuproc::NvmlLibrary::Load("libnvidia-ml-absent.so.1"));
  }
}
BENCHMARK(BM_NvmlAbsent)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
