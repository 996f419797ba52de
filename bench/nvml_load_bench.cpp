// What keeping NVML loaded between calls saves: one collection of the NVML
// source over a library loaded and initialised for it, against the same
// collection over the library kept from an earlier call, and the cost a call
// pays on a machine without NVML.
//
// The library is GPUPROC_BENCH_NVML (a path or soname), else
// libnvidia-ml.so.1 as the library finds it; point it at the fake
// (build/tests/fake_nvml/default/libnvidia-ml.so.1) where there is no driver.
#include <benchmark/benchmark.h>

#include <dlfcn.h>

#include <cstdlib>

#include "platform/linux/linux_platform.h"
#include "platform/linux/nvml_library.h"
#include "platform/linux/nvml_source.h"

namespace {

const char* NvmlPath() {
  const char* path = std::getenv("GPUPROC_BENCH_NVML");
  return path != nullptr && *path != '\0' ? path : gpuproc::kNvmlLibraryName;
}

// With the fake NVML (already loaded by the caller), one GPU used by four
// processes, so that a collection does the work it does on a real machine; a
// real library has no such functions and is left alone.
void DescribeFakeGpu() {
  void* handle = ::dlopen(NvmlPath(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) return;
  using AddDevice =
      int (*)(unsigned, unsigned, unsigned, unsigned, unsigned long long, unsigned long long);
  using AddProcess = void (*)(int, int, unsigned, unsigned long long);
  const auto addDevice = reinterpret_cast<AddDevice>(::dlsym(handle, "FakeNvml_AddDevice"));
  const auto addProcess = reinterpret_cast<AddProcess>(::dlsym(handle, "FakeNvml_AddProcess"));
  if (addDevice != nullptr && addProcess != nullptr) {
    const int gpu = addDevice(0, 3, 0, 0, 1ull << 30, 1ull << 30);
    for (unsigned pid = 100; pid < 104; ++pid) addProcess(gpu, 0, pid, 1ull << 20);
  }
  ::dlclose(handle);  // the caller holds the library: the state stays
}

// Each call loads, initialises, collects, shuts NVML down and unloads: the
// file is mapped and relocated anew every time.
void BM_NvmlLoadedPerCall(benchmark::State& state) {
  gpuproc::BusyTimeLedger ledger;
  for (auto _ : state) {
    std::shared_ptr<const gpuproc::NvmlLibrary> library = gpuproc::NvmlLibrary::Load(NvmlPath());
    if (!library) {
      state.SkipWithError("no NVML library");
      return;
    }
    gpuproc::NvmlSource source(library, ledger, gpuproc::MonotonicNanoseconds);
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
  DescribeFakeGpu();
  gpuproc::BusyTimeLedger ledger;
  for (auto _ : state) {
    gpuproc::NvmlSource source(library, ledger, gpuproc::MonotonicNanoseconds);
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

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
