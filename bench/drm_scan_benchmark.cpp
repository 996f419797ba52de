// How long finding every process's DRM clients takes, against the floor of
// any such scan: readdir over /proc/<pid>/fd and readlink of every entry.
//
// A synthetic tree of N processes with 64 fds each, 1% of all fds DRM
// clients (with amdgpu fdinfo), is written once per size under $TMPDIR.
// Every benchmark reports fds/s and, from a counting operator new, the heap
// allocations per fd that is not a GPU client.
//
// A second tree holds one process with N distinct DRM clients (an fd leak)
// next to a process without any: a whole call for either must stay linear
// in N.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <new>
#include <string>

#include "gpuproc/gpuproc.h"
#include "platform/linux/drm_fdinfo_source.h"
#include "platform/linux/host_fs.h"

namespace {

std::atomic<std::uint64_t> allocations{0};

}  // namespace

void* operator new(std::size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }

namespace {

constexpr int kFdsPerProcess = 64;
constexpr int kGpuEveryNthFd = 100;  // 1% of all fds
constexpr std::uint32_t kFirstProcessId = 1000;

const char* const kOtherTargets[] = {
    "/dev/null",
    "socket:[4026531993]",
    "pipe:[73315]",
    "anon_inode:[eventfd]",
    "/usr/lib/x86_64-linux-gnu/libc.so.6",
    "/home/user/.cache/fontconfig/a41116dafaf8b233cb3b6b6a14b7c3f2-le64.cache-7",
    "/dev/pts/3",
    "anon_inode:[eventpoll]",
};

constexpr char kFdinfo[] =
    "pos:\t0\nflags:\t02100002\nmnt_id:\t24\nino:\t1071\ndrm-driver:\tamdgpu\n"
    "drm-client-id:\t57\ndrm-pdev:\t0000:03:00.0\npasid:\t32781\n"
    "drm-total-cpu:\t0\ndrm-shared-cpu:\t0\ndrm-active-cpu:\t0\ndrm-resident-cpu:\t0\n"
    "drm-purgeable-cpu:\t0\ndrm-total-gtt:\t48 MiB\ndrm-shared-gtt:\t6 MiB\n"
    "drm-active-gtt:\t0\ndrm-resident-gtt:\t40 MiB\ndrm-purgeable-gtt:\t0\n"
    "drm-total-vram:\t768 MiB\ndrm-shared-vram:\t64 MiB\ndrm-active-vram:\t0\n"
    "drm-resident-vram:\t512 MiB\ndrm-purgeable-vram:\t0\n"
    "drm-memory-vram:\t524288 KiB\ndrm-memory-gtt: \t40960 KiB\ndrm-memory-cpu: \t0 KiB\n"
    "amd-evicted-vram:\t0 KiB\namd-requested-vram:\t786432 KiB\n"
    "amd-requested-gtt:\t49152 KiB\ndrm-engine-gfx:\t88219430020 ns\n"
    "drm-engine-compute:\t120350 ns\n";

void Check(bool ok, const char* what) {
  if (!ok) {
    std::perror(what);
    std::exit(1);
  }
}

struct Tree {
  std::string root;
  std::uint64_t fds = 0;
  std::uint64_t gpuFds = 0;
};

class Trees {
 public:
  ~Trees() {
    for (const auto& [count, tree] : trees_) std::filesystem::remove_all(tree.root);
  }

  const Tree& Get(int processes) {
    auto found = trees_.find(processes);
    if (found != trees_.end()) return found->second;
    return trees_.emplace(processes, Make(processes)).first->second;
  }

 private:
  static Tree Make(int processes) {
    std::string pattern = std::filesystem::temp_directory_path().string() + "/gpuproc-bench-XXXXXX";
    Check(::mkdtemp(pattern.data()) != nullptr, "mkdtemp");
    Tree tree{pattern};
    const std::string proc = tree.root + "/proc";
    Check(::mkdir(proc.c_str(), 0755) == 0, "mkdir");
    char path[512];
    for (int i = 0; i < processes; ++i) {
      const std::uint32_t pid = kFirstProcessId + static_cast<std::uint32_t>(i);
      std::snprintf(path, sizeof path, "%s/%u", proc.c_str(), pid);
      Check(::mkdir(path, 0755) == 0, "mkdir");
      std::snprintf(path, sizeof path, "%s/%u/exe", proc.c_str(), pid);
      Check(::symlink("/usr/bin/synthetic", path) == 0, "symlink");
      for (const char* folder : {"fd", "fdinfo"}) {
        std::snprintf(path, sizeof path, "%s/%u/%s", proc.c_str(), pid, folder);
        Check(::mkdir(path, 0755) == 0, "mkdir");
      }
      for (int fd = 0; fd < kFdsPerProcess; ++fd) {
        const std::uint64_t index = static_cast<std::uint64_t>(i) * kFdsPerProcess + fd;
        const bool gpu = index % kGpuEveryNthFd == 0;
        std::snprintf(path, sizeof path, "%s/%u/fd/%d", proc.c_str(), pid, fd);
        Check(::symlink(gpu ? "/dev/dri/renderD128" : kOtherTargets[index % 8], path) == 0,
              "symlink");
        ++tree.fds;
        if (!gpu) continue;
        ++tree.gpuFds;
        std::snprintf(path, sizeof path, "%s/%u/fdinfo/%d", proc.c_str(), pid, fd);
        const int file = ::open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        Check(file >= 0, "open");
        Check(::write(file, kFdinfo, sizeof kFdinfo - 1) == sizeof kFdinfo - 1, "write");
        ::close(file);
      }
    }
    const std::string device = "/sys/devices/pci0000:00/0000:00:01.1/0000:03:00.0";
    std::filesystem::create_directories(tree.root + device);
    for (const char* node : {"card0", "renderD128"}) {
      const std::string dir = tree.root + "/sys/class/drm/" + node;
      std::filesystem::create_directories(dir);
      std::filesystem::create_symlink("../../.." + device.substr(4), dir + "/device");
    }
    return tree;
  }

  std::map<int, Tree> trees_;
};

Trees& AllTrees() {
  static Trees trees;
  return trees;
}

void Report(benchmark::State& state, const Tree& tree, std::uint64_t allocated) {
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * tree.fds));
  state.counters["fds"] = static_cast<double>(tree.fds);
  state.counters["allocs_per_fd"] = static_cast<double>(allocated) /
                                    static_cast<double>(state.iterations()) /
                                    static_cast<double>(tree.fds);
}

// The floor: readdir of /proc, of every /proc/<pid>/fd, and readlink of every
// fd, with fixed buffers and nothing else.
void BM_FloorReaddirReadlink(benchmark::State& state) {
  const Tree& tree = AllTrees().Get(static_cast<int>(state.range(0)));
  const std::string proc = tree.root + "/proc";
  std::uint64_t links = 0;
  const std::uint64_t before = allocations.load();
  for (auto _ : state) {
    DIR* processes = ::opendir(proc.c_str());
    while (const dirent* process = ::readdir(processes)) {
      if (process->d_name[0] < '0' || process->d_name[0] > '9') continue;
      char path[512];
      std::snprintf(path, sizeof path, "%s/%s/fd", proc.c_str(), process->d_name);
      DIR* fds = ::opendir(path);
      if (fds == nullptr) continue;
      while (const dirent* fd = ::readdir(fds)) {
        if (fd->d_name[0] == '.') continue;
        char link[1024];
        char target[256];
        std::snprintf(link, sizeof link, "%s/%s", path, fd->d_name);
        if (::readlink(link, target, sizeof target) > 0) ++links;
      }
      ::closedir(fds);
    }
    ::closedir(processes);
  }
  benchmark::DoNotOptimize(links);
  Report(state, tree, allocations.load() - before);
}

// The DRM fdinfo source's collection of every process: the scan above plus
// reading and parsing each DRM client's fdinfo.
void BM_SourceFullScan(benchmark::State& state) {
  const Tree& tree = AllTrees().Get(static_cast<int>(state.range(0)));
  const gpuproc::HostFs fs(tree.root + "/proc", tree.root + "/sys");
  std::uint64_t now = 0;
  const auto source =
      gpuproc::CreateDrmFdinfoSource(gpuproc::GpuSourceContext{fs, [&now] { return now += 1; }});
  source->Collect({});  // buffers sized once, as in a call's second collection
  std::size_t processes = 0;
  const std::uint64_t before = allocations.load();
  for (auto _ : state) {
    const gpuproc::GpuSnapshot snapshot = source->Collect({});
    processes = snapshot.processes.size();
  }
  const std::uint64_t allocated = allocations.load() - before;
  Report(state, tree, allocated);
  state.counters["gpu_processes"] = static_cast<double>(processes);
  // What is left once the GPU clients' own work is taken out.
  state.counters["allocs_per_gpu_fd"] = static_cast<double>(allocated) /
                                        static_cast<double>(state.iterations()) /
                                        static_cast<double>(tree.gpuFds);
}

// A whole call of the exported function for a process with no GPU instance,
// on the same tree: enumeration scans every process, nothing is sampled.
void BM_WholeCallNoMatch(benchmark::State& state) {
  const Tree& tree = AllTrees().Get(static_cast<int>(state.range(0)));
  ::setenv("HOST_PROC", (tree.root + "/proc").c_str(), 1);
  ::setenv("HOST_SYS", (tree.root + "/sys").c_str(), 1);
  // The call echoes "null" on standard output each time.
  std::fflush(stdout);
  const int savedOutput = ::dup(STDOUT_FILENO);
  const int devNull = ::open("/dev/null", O_WRONLY);
  ::dup2(devNull, STDOUT_FILENO);
  bool allNull = true;
  const std::uint64_t before = allocations.load();
  for (auto _ : state) {
    allNull = allNull && std::strcmp(GetGPUDataForProcess(4294967295u), "null") == 0;
  }
  const std::uint64_t allocated = allocations.load() - before;
  std::fflush(stdout);
  ::dup2(savedOutput, STDOUT_FILENO);
  ::close(savedOutput);
  ::close(devNull);
  ::unsetenv("HOST_PROC");
  ::unsetenv("HOST_SYS");
  if (!allNull) state.SkipWithError("a call returned something other than null");
  Report(state, tree, allocated);
}

// One process (kLeakingProcessId) holding `clients` distinct DRM clients, and
// one (kUnrelatedProcessId) with a single fd that is none.
constexpr std::uint32_t kLeakingProcessId = 1000;
constexpr std::uint32_t kUnrelatedProcessId = 1001;

std::string MakeLeakTree(int clients) {
  std::string root = std::filesystem::temp_directory_path().string() + "/gpuproc-leak-XXXXXX";
  Check(::mkdtemp(root.data()) != nullptr, "mkdtemp");
  namespace fs = std::filesystem;
  const fs::path leaking = fs::path(root) / "proc" / std::to_string(kLeakingProcessId);
  const fs::path unrelated = fs::path(root) / "proc" / std::to_string(kUnrelatedProcessId);
  for (const fs::path& process : {leaking, unrelated}) {
    fs::create_directories(process / "fd");
    fs::create_directories(process / "fdinfo");
    fs::create_symlink("/usr/bin/synthetic", process / "exe");
  }
  fs::create_symlink("/dev/null", unrelated / "fd" / "0");
  std::string text;
  for (int fd = 0; fd < clients; ++fd) {
    fs::create_symlink("/dev/dri/renderD128", leaking / "fd" / std::to_string(fd));
    text = kFdinfo;
    text.replace(text.find("drm-client-id:\t57"), 18, "drm-client-id:\t" + std::to_string(fd));
    const int file = ::open((leaking / "fdinfo" / std::to_string(fd)).c_str(),
                            O_WRONLY | O_CREAT | O_TRUNC, 0644);
    Check(file >= 0, "open");
    Check(::write(file, text.data(), text.size()) == static_cast<ssize_t>(text.size()), "write");
    ::close(file);
  }
  return root;
}

// A whole call on the leak tree, for the leaking process (range 1 = 1) or
// the unrelated one (0), with `range(0)` clients.
void BM_WholeCallManyClients(benchmark::State& state) {
  // Removed at exit, like the other trees.
  static struct LeakTrees {
    std::map<int, std::string> roots;
    ~LeakTrees() {
      for (const auto& [clients, root] : roots) std::filesystem::remove_all(root);
    }
  } trees;
  const int clients = static_cast<int>(state.range(0));
  if (!trees.roots.count(clients)) trees.roots[clients] = MakeLeakTree(clients);
  const std::string& root = trees.roots[clients];
  ::setenv("HOST_PROC", (root + "/proc").c_str(), 1);
  ::setenv("HOST_SYS", (root + "/sys").c_str(), 1);
  const std::uint32_t processId = state.range(1) != 0 ? kLeakingProcessId : kUnrelatedProcessId;
  std::fflush(stdout);
  const int savedOutput = ::dup(STDOUT_FILENO);
  const int devNull = ::open("/dev/null", O_WRONLY);
  ::dup2(devNull, STDOUT_FILENO);
  std::string result;
  for (auto _ : state) result = GetGPUDataForProcess(processId);
  std::fflush(stdout);
  ::dup2(savedOutput, STDOUT_FILENO);
  ::close(savedOutput);
  ::close(devNull);
  ::unsetenv("HOST_PROC");
  ::unsetenv("HOST_SYS");
  const bool expected = state.range(1) != 0 ? result.rfind("[{", 0) == 0 : result == "null";
  if (!expected) state.SkipWithError(("unexpected result: " + result).c_str());
  state.counters["clients"] = clients;
}

BENCHMARK(BM_FloorReaddirReadlink)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SourceFullScan)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WholeCallNoMatch)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WholeCallManyClients)
    ->ArgsProduct({{32768, 65536}, {1, 0}})
    ->ArgNames({"clients", "leaking"})
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
