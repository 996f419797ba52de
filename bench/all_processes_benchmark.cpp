// What one GetGPUDataForAllProcesses call and one
// GetGPUSnapshotForAllProcesses cost in CPU, against the floor of any scan
// of every process's fds: readdir over /proc/<pid>/fd and readlink of every
// entry.
//
// A synthetic tree of N processes with 64 fds each, of which a given share of
// processes hold one amdgpu DRM client, is written once per shape under
// $TMPDIR. The call's 100 ms window is a pause: wall time includes it, CPU
// time does not.
//
// The NVML-only shape is an NVIDIA server: its only DRM device is the BMC's
// display (ast), which the same share of processes hold open without usage
// statistics, so the call need not look at any fd. Run with the fake NVML on
// LD_LIBRARY_PATH to add the NVML calls.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>

#include "gpuproc/gpuproc.h"
#include "synthetic_tree.h"

namespace {

constexpr int kFdsPerProcess = 64;
constexpr int kGpuFd = 9;
constexpr std::uint32_t kFirstProcessId = 1000;

const char* const kOtherTargets[] = {
    "/dev/null",
    "socket:[4026531993]",
    "pipe:[73315]",
    "anon_inode:[eventfd]",
    "/dev/pts/3",
    "/usr/lib/x86_64-linux-gnu/libc.so.6",
    "anon_inode:[eventpoll]",
    "/home/user/.cache/fontconfig/a41116dafaf8b233cb3b6b6a14b7c3f2-le64.cache-7",
};

constexpr char kNoStatisticsFdinfo[] = "pos:\t0\nflags:\t02100002\nmnt_id:\t24\nino:\t1071\n";

constexpr char kFdinfo[] =
    "pos:\t0\nflags:\t02100002\nmnt_id:\t24\nino:\t1071\ndrm-driver:\tamdgpu\n"
    "drm-client-id:\t57\ndrm-pdev:\t0000:03:00.0\npasid:\t32781\n"
    "drm-total-gtt:\t48 MiB\ndrm-shared-gtt:\t6 MiB\ndrm-resident-gtt:\t40 MiB\n"
    "drm-total-vram:\t768 MiB\ndrm-shared-vram:\t64 MiB\ndrm-resident-vram:\t512 MiB\n"
    "drm-engine-gfx:\t88219430020 ns\ndrm-engine-compute:\t120350 ns\n";

void Check(bool ok, const char* what) {
  if (!ok) {
    std::perror(what);
    std::exit(1);
  }
}

void WriteFile(const std::string& path, const char* text) {
  const int file = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  Check(file >= 0, "open");
  const auto length = static_cast<ssize_t>(std::strlen(text));
  Check(::write(file, text, static_cast<std::size_t>(length)) == length, "write");
  ::close(file);
}

// N processes; every `gpuEvery`-th holds one DRM client, of an amdgpu GPU
// or, on the NVML-only machine, of the BMC's ast display.
std::string MakeTree(int processes, int gpuEvery, bool nvmlOnly) {
  std::string root = std::filesystem::temp_directory_path().string() + "/gpuproc-all-XXXXXX";
  Check(::mkdtemp(root.data()) != nullptr, "mkdtemp");
  const std::string proc = root + "/proc";
  const char* node = nvmlOnly ? "/dev/dri/card0" : "/dev/dri/renderD128";
  for (int i = 0; i < processes; ++i) {
    const std::string dir = proc + "/" + std::to_string(kFirstProcessId + i);
    std::filesystem::create_directories(dir + "/fd");
    std::filesystem::create_directories(dir + "/fdinfo");
    Check(::symlink("/usr/bin/synthetic", (dir + "/exe").c_str()) == 0, "symlink");
    const bool gpu = i % gpuEvery == 0;
    for (int fd = 0; fd < kFdsPerProcess; ++fd) {
      const std::string link = dir + "/fd/" + std::to_string(fd);
      const char* target = gpu && fd == kGpuFd ? node : kOtherTargets[fd % 8];
      Check(::symlink(target, link.c_str()) == 0, "symlink");
    }
    if (gpu) {
      WriteFile(dir + "/fdinfo/" + std::to_string(kGpuFd),
                nvmlOnly ? kNoStatisticsFdinfo : kFdinfo);
    }
  }
  const std::string device = nvmlOnly ? "/sys/devices/pci0000:00/0000:00:1c.0/0000:02:00.0"
                                      : "/sys/devices/pci0000:00/0000:00:01.1/0000:03:00.0";
  std::filesystem::create_directories(root + device);
  std::filesystem::create_symlink(
      nvmlOnly ? "../../../../bus/pci/drivers/ast" : "../../../../bus/pci/drivers/amdgpu",
      root + device + "/driver");
  if (!nvmlOnly) {
    WriteFile(root + device + "/mem_info_vram_total", "17179869184\n");
    WriteFile(root + device + "/mem_info_vram_used", "2147483648\n");
    WriteFile(root + device + "/mem_info_gtt_used", "536870912\n");
  }
  for (const char* name : {"card0", "renderD128"}) {
    if (nvmlOnly && std::string_view(name) != "card0") continue;
    const std::string dir = root + "/sys/class/drm/" + name;
    std::filesystem::create_directories(dir);
    std::filesystem::create_symlink("../../.." + device.substr(4), dir + "/device");
  }
  return root;
}

class Trees {
 public:
  ~Trees() {
    for (const auto& [shape, root] : roots_) std::filesystem::remove_all(root);
  }
  const std::string& Get(const benchmark::State& state) {
    const auto key = std::make_tuple(state.range(0), state.range(1), state.range(2));
    auto found = roots_.find(key);
    if (found == roots_.end()) {
      found = roots_
                  .emplace(key, MakeTree(static_cast<int>(state.range(0)),
                                         static_cast<int>(state.range(1)), state.range(2) != 0))
                  .first;
    }
    return found->second;
  }

 private:
  std::map<std::tuple<std::int64_t, std::int64_t, std::int64_t>, std::string> roots_;
};

Trees& AllTrees() {
  static Trees trees;
  return trees;
}

// The floor: readdir of /proc, of every /proc/<pid>/fd, and readlink of every
// fd, with fixed buffers and nothing else.
void BM_FloorReaddirReadlink(benchmark::State& state) {
  const std::string proc = AllTrees().Get(state) + "/proc";
  std::uint64_t links = 0;
  for (auto _ : state) links += gpuproc::bench::ScanFloor(proc);
  benchmark::DoNotOptimize(links);
}

std::size_t Occurrences(std::string_view text, std::string_view part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string_view::npos;
       at = text.find(part, at + part.size())) {
    ++count;
  }
  return count;
}

// Times `call` over the shape's tree and checks that it found the GPU
// processes (the NVML-only machine's DRM clients have no statistics: only
// what NVML lists).
template <typename Call>
void TimeWholeCall(benchmark::State& state, Call call) {
  const std::string& root = AllTrees().Get(state);
  ::setenv("HOST_PROC", (root + "/proc").c_str(), 1);
  ::setenv("HOST_SYS", (root + "/sys").c_str(), 1);
  std::string_view text;
  for (auto _ : state) text = call();
  const std::size_t records = Occurrences(text, "\"ProcessID\"");
  ::unsetenv("HOST_PROC");
  ::unsetenv("HOST_SYS");
  const auto expected =
      state.range(2) != 0
          ? 0
          : static_cast<std::size_t>((state.range(0) + state.range(1) - 1) / state.range(1));
  state.counters["gpu_processes"] = static_cast<double>(records);
  if (records < expected) state.SkipWithError("the call missed GPU processes");
}

// One whole call: a scan of every process, a rescan of the GPU processes the
// first one found, the reads, the names and the JSON.
void BM_AllProcessesCall(benchmark::State& state) {
  TimeWholeCall(state, [] { return GetGPUDataForAllProcesses(); });
}

// One snapshot over the same tree: the same scan, one reading, no window.
void BM_Snapshot(benchmark::State& state) {
  TimeWholeCall(state, [] { return GetGPUSnapshotForAllProcesses(); });
}

// {processes, one DRM client in every n processes, NVML-only machine}: 1% of
// processes, every one, and the NVIDIA server at 10,000 processes.
void Shapes(benchmark::internal::Benchmark* benchmark) {
  benchmark->Args({1000, 100, 0})
      ->Args({10000, 100, 0})
      ->Args({1000, 1, 0})
      ->Args({10000, 100, 1})
      ->Unit(benchmark::kMillisecond)
      // A large scan spreads over threads: their CPU time counts too.
      ->MeasureProcessCPUTime();
}

BENCHMARK(BM_FloorReaddirReadlink)->Apply(Shapes);
BENCHMARK(BM_AllProcessesCall)->Apply(Shapes);
BENCHMARK(BM_Snapshot)->Apply(Shapes);

}  // namespace

BENCHMARK_MAIN();
