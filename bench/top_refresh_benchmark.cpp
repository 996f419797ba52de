// What `gpuproc top` itself costs per refresh, the snapshot aside: parsing
// the snapshot document, reading each process's owner, user and command
// line, the model's rates and histories, and drawing a 200x50 screen. The
// ncurses output of the grid is not included (it sends only changed cells).
//
// 200 processes on two GPUs, each with three engine types, in pods, under a
// synthetic /proc of 200 folders (cgroup, cmdline) on $TMPDIR.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>

#include "screen_layout.h"
#include "top_model.h"

namespace {

constexpr std::uint32_t kFirstProcessId = 5000;

std::string Document(int processes, double time) {
  nlohmann::json adapters = nlohmann::json::array();
  for (int gpu = 0; gpu < 2; ++gpu) {
    adapters.push_back({{"Adapter", "luid_0x00000000_0x0000030" + std::to_string(gpu) + "_phys_0"},
                        {"AdapterName", "Advanced Micro Devices, Inc. [AMD/ATI] Navi 21"},
                        {"PciAddress", "0000:03:00." + std::to_string(gpu)},
                        {"GPUMemoryTotal", 4096.0},
                        {"GPUMemoryFree", 12288.0}});
  }
  nlohmann::json list = nlohmann::json::array();
  for (int i = 0; i < processes; ++i) {
    const double busy = time * (i % 7) / 10;
    list.push_back({{"ProcessID", kFirstProcessId + i},
                    {"Name", "worker-" + std::to_string(i)},
                    {"Adapter", adapters[i % 2]["Adapter"]},
                    {"GPUProcessMemoryDedicatedUsage", 64.0 * (i % 13)},
                    {"GPUProcessMemorySharedUsage", 8.0},
                    {"GPUProcessMemoryLocalUsage", 64.0},
                    {"GPUProcessMemoryTotalCommitted", 72.0},
                    {"Time", time - 0.5 + 0.5 * i / processes},
                    {"EngineBusySeconds", {{"3D", busy}, {"Compute", busy / 2}, {"Copy", 0.1}}}});
  }
  return nlohmann::json{
      {"Time", time}, {"UnreadableProcesses", 0}, {"Adapters", adapters}, {"Processes", list}}
      .dump();
}

// /proc/<pid>/cgroup and cmdline of a container in a Kubernetes pod.
std::string MakeProc(int processes) {
  std::string root = std::filesystem::temp_directory_path().string() + "/gpuproc-top-XXXXXX";
  if (::mkdtemp(root.data()) == nullptr) std::abort();
  for (int i = 0; i < processes; ++i) {
    const std::string folder = root + "/" + std::to_string(kFirstProcessId + i);
    std::filesystem::create_directories(folder + "/fd");
    std::ofstream(folder + "/cgroup")
        << "0::/kubepods.slice/kubepods-burstable.slice/kubepods-burstable-pod6f1c2a9e_3b4d_4e8f_"
           "9a0b_1c2d3e4f5a6b.slice/cri-containerd-8e2f4c6a1b3d5e7f9a0c2e4f6a8b0d1c3e5f7a9b1c3d5e7"
           "f9a0b2c4d6e8f0a1b.scope\n";
    std::ofstream(folder + "/cmdline")
        << "python3" << '\0' << "train.py" << '\0' << "--rank=" << i << '\0';
  }
  return root;
}

void BM_TopRefresh(benchmark::State& state) {
  using namespace gpuproc::tool;
  const int processes = static_cast<int>(state.range(0));
  const std::string proc = MakeProc(processes);
  ::setenv("HOST_PROC", proc.c_str(), 1);
  // Busy time keeps growing for 64 refreshes; then it goes back once, which
  // the model takes as new processes.
  std::vector<std::string> documents;
  for (int second = 0; second < 64; ++second)
    documents.push_back(Document(processes, 100 + second));
  TopModel model;
  DetailsCache cache;
  ViewState view;
  double time = 100;
  std::size_t which = 0;
  for (auto _ : state) {
    std::optional<Snapshot> snapshot = gpuproc::ReadSnapshotDocument(documents[which]);
    const double shift = time - snapshot->time;
    snapshot->time = time;
    std::vector<std::uint32_t> processIds;
    std::vector<std::string> names;
    for (gpuproc::SnapshotProcess& process : snapshot->processes) {
      process.time += shift;
      processIds.push_back(process.processId);
      names.push_back(process.name);
    }
    // As the reading thread does: details read again every kDetailsMaxAge
    // seconds, so one refresh in ten here; the snapshot says whether
    // processes were left out.
    model.Update(*snapshot, ReadProcessDetails(processIds, names, time, "/nonexistent", cache));
    model.someUnreadable = snapshot->unreadableProcesses.value_or(0) > 0;
    const Frame frame = DrawScreen(model, view, 200, 50, {true, 1, ""});
    benchmark::DoNotOptimize(frame.grid.At(0, 0));
    which = (which + 1) % documents.size();
    time += 1;
  }
  ::unsetenv("HOST_PROC");
  std::filesystem::remove_all(proc);
}
BENCHMARK(BM_TopRefresh)->Arg(200)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
