// Hosts that fork while other threads are inside calls, and hosts that exit
// while they are. Each case runs in child processes of its own, with the
// fake NVML (found by the library on LD_LIBRARY_PATH) describing a GPU.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "export/in_child.h"
#include "fake_nvml_control.h"
#include "gpuproc/gpuproc.h"

namespace gpuproc::testing {
namespace {

using std::chrono::milliseconds;

void DescribeGpu(FakeNvmlControl& nvml, unsigned int processId) {
  const int device = nvml.AddDevice(0, 0x81, 0, 0, 100u << 20, 900u << 20);
  nvml.AddProcess(device, kFakeNvmlCompute, processId, 64u << 20);
}

void StdoutToDevNull() {
  const int devNull = ::open("/dev/null", O_WRONLY);
  ::dup2(devNull, STDOUT_FILENO);
  ::close(devNull);
}

// One thread is blocked printing its report (it holds standard output's
// lock), another calls again and again (it holds the call lock most of the
// time) when the host forks. The child's own call must answer, on an NVML it
// initialised itself; the parent goes on as before.
TEST(HostLifecycle, ChildForkedDuringCallsHasFreshLocksAndNvml) {
#if defined(__SANITIZE_ADDRESS__)
  // GCC 12's AddressSanitizer does not take its stack depot's lock across
  // fork: a child forked while a parent thread holds it hangs in the
  // sanitizer's own free(). Seen once in a few dozen loaded runs, with the
  // child blocked there; the plain and ThreadSanitizer runs check this.
  GTEST_SKIP() << "AddressSanitizer's runtime is not fork-safe here";
#endif
  EXPECT_EQ(InChild([] {
              FakeNvmlControl nvml(FAKE_NVML_PATH);
              if (!nvml.Loaded()) return false;
              DescribeGpu(nvml, 1010);
              const int readEnd = BlockedPipe(STDOUT_FILENO);
              std::atomic<bool> printed{false};
              std::atomic<bool> stop{false};
              std::thread printer([&] {
                GetGPUDataForProcess(1010);
                printed = true;
              });
              std::thread caller([&] {
                while (!stop) GetGPUDataForAllProcesses();
              });
              std::this_thread::sleep_for(milliseconds(300));

              bool childrenAnswered = true;
              for (int fork = 0; fork < 5; ++fork) {
                const pid_t child = ::fork();
                if (child == 0) {
                  ::alarm(5);
                  StdoutToDevNull();
                  const int inits = nvml.InitCount();
                  const bool answered = *GetGPUDataForProcess(1010) == '[';
                  ::_exit(answered && nvml.InitCount() == inits + 1 ? 0 : 1);
                }
                int status = 0;
                ::waitpid(child, &status, 0);
                childrenAnswered &= WIFEXITED(status) && WEXITSTATUS(status) == 0;
                std::this_thread::sleep_for(milliseconds(35));
              }

              stop = true;
              ::fcntl(readEnd, F_SETFL, O_NONBLOCK);
              char chunk[65536];
              while (!printed) {
                while (::read(readEnd, chunk, sizeof chunk) > 0) {
                }
                std::this_thread::sleep_for(milliseconds(10));
              }
              printer.join();
              caller.join();
              StdoutToDevNull();
              return childrenAnswered && *GetGPUDataForProcess(1010) == '[';
            }),
            0);
}

// main returns while a thread is inside a call: exit must neither free what
// the call uses nor shut NVML down (the fake ends the process with 70 if it
// is). Under AddressSanitizer a use after free fails the run too. The exit
// lands at a different point of the thread's calls in each run.
TEST(HostLifecycle, ProcessExitsWhileAThreadIsCalling) {
  for (int run = 0; run < 50; ++run) {
    const int status = InChild([run] {
      FakeNvmlControl nvml(FAKE_NVML_PATH);
      if (!nvml.Loaded()) return false;
      DescribeGpu(nvml, static_cast<unsigned int>(::getpid()));
      StdoutToDevNull();
      GetGPUDataForProcess(9999);
      std::thread([] {
        for (;;) {
          GetGPUDataForAllProcesses();
          GetGPUDataForProcess(static_cast<std::uint32_t>(::getpid()));
        }
      }).detach();
      std::this_thread::sleep_for(milliseconds(run % 10 * 15));
      std::exit(0);
    });
    ASSERT_EQ(status, 0) << "run " << run;
  }
}

}  // namespace
}  // namespace gpuproc::testing
