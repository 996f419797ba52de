// `gpuproc top -d 1` over a minute against the snapshots it takes: the CPU
// of the command in a detached tmux pane over the synthetic tree of
// synthetic_tree.h, beside the CPU of the same number of
// GetGPUSnapshotForAllProcesses calls, one a second, in this process.
//
//   gpuproc_top_cost GPUPROC [SECONDS=60] [PROCESSES=1000]
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "gpuproc/gpuproc.h"
#include "synthetic_tree.h"

namespace {

double ProcessCpuSeconds() {
  timespec now{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// utime + stime of another process, from /proc/<pid>/stat.
double ProcessCpuSeconds(const std::string& processId) {
  std::ifstream file("/proc/" + processId + "/stat");
  std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  // Fields after the parenthesised name, which may hold spaces.
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string field;
  double ticks = 0;
  for (int index = 3; fields >> field && index <= 15; ++index) {
    if (index == 14 || index == 15) ticks += std::stod(field);
  }
  return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

std::string Run(const std::string& command) {
  std::string output;
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) output += buffer;
    ::pclose(pipe);
  }
  while (!output.empty() && output.back() == '\n') output.pop_back();
  return output;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: gpuproc_top_cost GPUPROC [SECONDS=60] [PROCESSES=1000]\n");
    return 2;
  }
  const std::string host = argv[1];
  const int seconds = argc > 2 ? std::atoi(argv[2]) : 60;
  const int processes = argc > 3 ? std::atoi(argv[3]) : 1000;
  gpuproc::bench::SyntheticTrees trees;
  const gpuproc::bench::SyntheticTree* tree = trees.Get(processes);
  if (tree == nullptr) return 1;
  ::setenv("HOST_PROC", tree->Proc().c_str(), 1);
  ::setenv("HOST_SYS", tree->Sys().c_str(), 1);

  const auto start = std::chrono::steady_clock::now();
  const double before = ProcessCpuSeconds();
  std::size_t length = 0;
  for (int round = 0; round < seconds; ++round) {
    length += std::string(GetGPUSnapshotForAllProcesses()).size();
    std::this_thread::sleep_until(start + std::chrono::seconds(round + 1));
  }
  const double snapshots = ProcessCpuSeconds() - before;
  if (length == 0) std::fprintf(stderr, "the snapshots came back empty\n");

  // The pane's process is gpuproc itself (env execs it); it reads at once,
  // then every second, so SECONDS - 0.5 s covers SECONDS readings.
  const std::string tmux = "tmux -L gpuproc-top-cost -f /dev/null ";
  Run(tmux + "new-session -d -x 200 -y 50 'exec env LC_ALL=C.UTF-8 HOST_PROC=" + tree->Proc() +
      " HOST_SYS=" + tree->Sys() + " " + host + " top -d 1'");
  const std::string processId = Run(tmux + "display-message -p '#{pane_pid}'");
  std::this_thread::sleep_for(std::chrono::milliseconds(seconds * 1000 - 500));
  const double top = ProcessCpuSeconds(processId);
  Run(tmux + "send-keys q; sleep 0.5; " + tmux + "kill-server 2>/dev/null");

  std::printf("%d processes, %d readings 1 s apart\n", processes, seconds);
  std::printf("snapshots alone:    %8.1f ms CPU (%.2f ms each)\n", snapshots * 1000,
              snapshots * 1000 / seconds);
  std::printf("gpuproc top -d 1:   %8.1f ms CPU\n", top * 1000);
  std::printf("ratio:              %8.2f\n", snapshots > 0 ? top / snapshots : 0.0);
  return 0;
}
