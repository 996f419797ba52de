// The library writes its report through the host's std::cout. A host whose
// standard output breaks must neither die nor lose its stream. Each case runs
// in a child process: it changes the child's standard output and signals.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>

#include "export/in_child.h"
#include "gpuproc/gpuproc.h"

namespace gpuproc::testing {
namespace {

bool SigpipeBlockedOrPending() {
  sigset_t mask;
  sigset_t pending;
  ::pthread_sigmask(SIG_BLOCK, nullptr, &mask);
  ::sigpending(&pending);
  return sigismember(&mask, SIGPIPE) == 1 || sigismember(&pending, SIGPIPE) == 1;
}

std::string Drain(int fd) {
  std::string text;
  char chunk[65536];
  for (ssize_t got; (got = ::read(fd, chunk, sizeof chunk)) > 0;) text.append(chunk, got);
  return text;
}

void OnAlarm(int) {}

TEST(HostStreams, ClosedPipeDoesNotKillTheHost) {
  EXPECT_EQ(InChild([] {
              int pipeFds[2];
              if (::pipe(pipeFds) != 0) return false;
              ::close(pipeFds[0]);
              ::dup2(pipeFds[1], STDOUT_FILENO);
              if (std::strcmp(GetGPUDataForProcess(1010), "") == 0) return false;
              for (int call = 0; call < 100; ++call) {
                if (std::strcmp(GetGPUDataForProcess(9999), "null") != 0) return false;
              }
              // The host's own mask and pending set are as they were.
              return !SigpipeBlockedOrPending();
            }),
            0);
}

TEST(HostStreams, InterruptedWriteLeavesStdoutWorking) {
  EXPECT_EQ(InChild([] {
              const int readEnd = BlockedPipe(STDOUT_FILENO);
              if (readEnd < 0) return false;
              ::fcntl(readEnd, F_SETFL, O_NONBLOCK);
              // A handler without SA_RESTART: the blocked write fails with EINTR.
              struct sigaction action {};
              action.sa_handler = OnAlarm;
              ::sigaction(SIGALRM, &action, nullptr);
              const itimerval every20ms{{0, 20000}, {0, 20000}};
              ::setitimer(ITIMER_REAL, &every20ms, nullptr);
              const bool answered = std::strcmp(GetGPUDataForProcess(9999), "null") == 0;
              const itimerval off{};
              ::setitimer(ITIMER_REAL, &off, nullptr);

              Drain(readEnd);
              std::cout << "host line" << std::endl;
              return answered && std::cout.good() &&
                     Drain(readEnd).find("host line") != std::string::npos;
            }),
            0);
}

// Error lines are written once the call lock is released, and not under the
// lock of standard output: another thread's call, report printed, does not
// wait for them.
TEST(HostStreams, BlockedStderrHoldsOnlyItsOwnCaller) {
#if defined(__SANITIZE_THREAD__)
  // Under ThreadSanitizer's runtime the second call does not come back
  // while the first thread is blocked on standard error, for a reason not
  // yet found in our code; the plain and AddressSanitizer runs check this.
  GTEST_SKIP() << "hangs under ThreadSanitizer's runtime";
#endif
  EXPECT_EQ(InChild([] {
              const int devNull = ::open("/dev/null", O_WRONLY);
              ::dup2(devNull, STDOUT_FILENO);
              if (BlockedPipe(STDERR_FILENO) < 0) return false;
              const std::string procRoot = ::getenv("HOST_PROC");
              // A root that is not there: the call's error line says so.
              ::setenv("HOST_PROC", "/nonexistent", 1);
              std::thread failing([] { GetGPUDataForProcess(1010); });
              failing.detach();
              std::this_thread::sleep_for(std::chrono::milliseconds(300));
              ::setenv("HOST_PROC", procRoot.c_str(), 1);
              ::alarm(5);
              return *GetGPUDataForProcess(1010) == '[';
            }),
            0);
}

}  // namespace
}  // namespace gpuproc::testing
