// The network side's self-confinement, applied in a child the way the
// exporter applies it: writes of every kind and access to another
// process's memory fail, on a thread started before as on the one that
// confined itself, while reads beneath the allowed folders still work.
// (tests/exporter/scripts/check_attacks.sh tries the rest on the running
// exporter's two processes.)
#include <fcntl.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "sandbox.h"

namespace gpuproc {
namespace {

constexpr int kSkipped = 77;

bool Refused(long result) { return result < 0 && (errno == EACCES || errno == EPERM); }

bool WritesMemoryOf(pid_t target, int& into) {
  int value = 7;
  iovec local{&value, sizeof value};
  iovec remote{&into, sizeof into};
  return !Refused(::process_vm_writev(target, &local, 1, &remote, 1, 0));
}

TEST(Sandbox, RefusesWritesAndOtherProcessesMemoryOnEveryThread) {
  namespace fs = std::filesystem;
  const fs::path folder =
      fs::temp_directory_path() / ("gpuproc-sandbox-" + std::to_string(::getpid()));
  fs::create_directories(folder);
  std::ofstream(folder / "readable") << "kept\n";
  static int victim = 0;
  const pid_t parent = ::getpid();
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::atomic<int> stage{0};
    std::atomic<bool> threadWrote{true};
    std::thread earlier([&] {
      while (stage.load() == 0) std::this_thread::yield();
      threadWrote = WritesMemoryOf(parent, victim);
      stage = 2;
    });
    const SandboxResult dropped = DropCapabilities(0);
    const SandboxResult result = dropped.confined ? ConfineNetworkSide({folder.string()}) : dropped;
    if (!result.confined) {
      stage = 1;
      earlier.join();
      std::_Exit(kSkipped);
    }
    int failures = 0;
    const std::string created = (folder / "created").string();
    if (!Refused(::open(created.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600))) failures |= 1;
    const std::string memory = "/proc/" + std::to_string(parent) + "/mem";
    if (!Refused(::open(memory.c_str(), O_RDWR | O_CLOEXEC))) failures |= 2;
    if (WritesMemoryOf(parent, victim)) failures |= 4;
    stage = 1;
    while (stage.load() != 2) std::this_thread::yield();
    if (threadWrote) failures |= 8;
    const std::string readable = (folder / "readable").string();
    const int fd = ::open(readable.c_str(), O_RDONLY | O_CLOEXEC);
    char text[4] = {};
    if (fd < 0 || ::read(fd, text, sizeof text) != sizeof text) failures |= 16;
    // Beyond the allowed folders nothing is read, where Landlock holds.
    if (result.landlock && ::open("/etc/passwd", O_RDONLY | O_CLOEXEC) >= 0) failures |= 32;
    earlier.join();
    std::_Exit(failures);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  fs::remove_all(folder);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == kSkipped) GTEST_SKIP() << "this kernel refuses seccomp filters";
  // Bits: 1 file created, 2 /proc/<pid>/mem opened for writing,
  // 4 process_vm_writev, 8 the same from an earlier thread, 16 the allowed
  // file unreadable, 32 a file outside read.
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(victim, 0);
}

}  // namespace
}  // namespace gpuproc
