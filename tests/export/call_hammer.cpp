// call_hammer THREADS CALLS PID... [--nvml FAKE_NVML]
//
// A host with a thread pool: asks about each PID once from one thread for the
// expected answers, then THREADS threads make CALLS calls each at once,
// thread i asking about PID[i % count]. Every returned text must equal the
// single-threaded answer when it returns and still when the same thread's
// next call starts, however many calls other threads made in between.
//
// With --nvml, the fake NVML (found by the library on LD_LIBRARY_PATH, its
// control reached through FAKE_NVML) describes a GPU used by the first PID
// and its driver restarts every 20 ms during the run: values may then be
// lost mid-restart, so only crashes and sanitizer reports count.
//
// The calls' own output goes to /dev/null; a summary goes to standard error.
// Exit status 0 when every text was right.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fake_nvml_control.h"
#include "gpuproc/gpuproc.h"

int main(int argc, char** argv) {
  std::vector<std::uint32_t> processIds;
  const char* nvmlPath = nullptr;
  for (int i = 3; i < argc; ++i) {
    if (std::strcmp(argv[i], "--nvml") == 0 && i + 1 < argc) {
      nvmlPath = argv[++i];
    } else {
      processIds.push_back(static_cast<std::uint32_t>(std::strtoul(argv[i], nullptr, 10)));
    }
  }
  if (argc < 4 || processIds.empty()) {
    std::fprintf(stderr, "usage: call_hammer THREADS CALLS PID... [--nvml FAKE_NVML]\n");
    return 2;
  }
  const int threadCount = std::atoi(argv[1]);
  const int callCount = std::atoi(argv[2]);

  std::unique_ptr<gpuproc::testing::FakeNvmlControl> nvml;
  if (nvmlPath != nullptr) {
    nvml = std::make_unique<gpuproc::testing::FakeNvmlControl>(nvmlPath);
    if (!nvml->Loaded()) {
      std::fprintf(stderr, "cannot load %s\n", nvmlPath);
      return 2;
    }
    const int device = nvml->AddDevice(0, 0x81, 0, 0, 100u << 20, 900u << 20);
    nvml->AddProcess(device, kFakeNvmlCompute, processIds[0], 64u << 20);
  }

  std::fflush(stdout);
  const int devNull = ::open("/dev/null", O_WRONLY);
  ::dup2(devNull, STDOUT_FILENO);

  std::map<std::uint32_t, std::string> expected;
  for (const std::uint32_t processId : processIds) {
    expected[processId] = GetGPUDataForProcess(processId);
  }

  std::atomic<bool> running{true};
  std::thread restarter;
  if (nvml) {
    restarter = std::thread([&] {
      while (running.load()) {
        nvml->RestartDriver();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    });
  }

  std::atomic<int> wrong{0};
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> threads;
  for (int t = 0; t < threadCount; ++t) {
    threads.emplace_back([&, t] {
      const std::uint32_t processId = processIds[static_cast<std::size_t>(t) % processIds.size()];
      const std::string& answer = expected.at(processId);
      const char* kept = nullptr;
      for (int call = 0; call < callCount; ++call) {
        // Other threads have called since: this thread's text must stand.
        if (kept != nullptr && !nvml && answer != kept) ++wrong;
        kept = GetGPUDataForProcess(processId);
        if (!nvml && answer != kept) ++wrong;
        if (nvml && *kept != '\0' && *kept != '[' && std::strcmp(kept, "null") != 0) ++wrong;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  running = false;
  if (restarter.joinable()) restarter.join();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  std::fprintf(stderr, "threads=%d calls=%d wrong=%d seconds=%.1f\n", threadCount,
               threadCount * callCount, wrong.load(), seconds);
  return wrong.load() == 0 ? 0 : 1;
}
