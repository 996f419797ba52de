// Runs a test's body in a child process with the amdgpu tree replayed: the
// body may change the child's streams, signals and threads as it likes.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>

namespace gpuproc::testing {

// The child's exit status (0 when `body` returned true), or -signal when a
// signal ended it.
inline int InChild(const std::function<bool()>& body) {
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

// Points `fd` at a pipe nobody reads, already full, so that the next write
// there blocks; returns the pipe's read end.
inline int BlockedPipe(int fd) {
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) return -1;
  ::dup2(pipeFds[1], fd);
  ::close(pipeFds[1]);
  ::fcntl(fd, F_SETFL, O_NONBLOCK);
  const std::string filler(4096, 'x');
  while (::write(fd, filler.data(), filler.size()) > 0) {
  }
  ::fcntl(fd, F_SETFL, 0);
  return pipeFds[0];
}

}  // namespace gpuproc::testing
