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

#include <cstring>
#include <functional>
#include <iostream>
#include <string>

#include "gpuproc/gpuproc.h"

namespace {

// Runs `body` in a child with the amdgpu tree replayed; the child's exit
// status, or -signal when a signal ended it.
int InChild(const std::function<bool()>& body) {
  std::fflush(nullptr);
  const pid_t child = ::fork();
  if (child == 0) {
    const std::string root = std::string(GPUPROC_FIXTURES_DIR) + "/amdgpu";
    ::setenv("HOST_PROC", (root + "/proc").c_str(), 1);
    ::setenv("HOST_SYS", (root + "/sys").c_str(), 1);
    ::signal(SIGPIPE, SIG_DFL);
    ::_exit(body() ? 0 : 1);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

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
              int pipeFds[2];
              if (::pipe(pipeFds) != 0) return false;
              ::dup2(pipeFds[1], STDOUT_FILENO);
              // Fill the pipe, so that the library's write blocks.
              ::fcntl(STDOUT_FILENO, F_SETFL, O_NONBLOCK);
              const std::string filler(4096, 'x');
              while (::write(STDOUT_FILENO, filler.data(), filler.size()) > 0) {
              }
              ::fcntl(STDOUT_FILENO, F_SETFL, 0);
              ::fcntl(pipeFds[0], F_SETFL, O_NONBLOCK);
              // A handler without SA_RESTART: the blocked write fails with EINTR.
              struct sigaction action {};
              action.sa_handler = OnAlarm;
              ::sigaction(SIGALRM, &action, nullptr);
              const itimerval every20ms{{0, 20000}, {0, 20000}};
              ::setitimer(ITIMER_REAL, &every20ms, nullptr);
              const bool answered = std::strcmp(GetGPUDataForProcess(9999), "null") == 0;
              const itimerval off{};
              ::setitimer(ITIMER_REAL, &off, nullptr);

              Drain(pipeFds[0]);
              std::cout << "host line" << std::endl;
              return answered && std::cout.good() &&
                     Drain(pipeFds[0]).find("host line") != std::string::npos;
            }),
            0);
}

}  // namespace
