#include "platform/linux/drm_fd_listing.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sys/wait.h>
#include <algorithm>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/host_fs.h"

namespace gpuproc {
namespace {

namespace fs = std::filesystem;

// A /proc of `processes` folders, where process p holds fds 0..9 pointing
// at ordinary files and, when p is a multiple of 7, fds 12 and 4 (replacing
// the file) into /dev/dri; only fd 12 has fdinfo. Every 50th process has no
// fd folder (gone).
class ListedTree {
 public:
  explicit ListedTree(std::uint32_t processes) {
    char pattern[] = "/tmp/gpuproc-listing-XXXXXX";
    root_ = ::mkdtemp(pattern);
    for (std::uint32_t p = 1; p <= processes; ++p) {
      ids_.push_back(p);
      if (p % 50 == 0) continue;
      const fs::path fds = root_ / std::to_string(p) / "fd";
      fs::create_directories(fds);
      for (int fd = 0; fd < 10; ++fd) {
        const bool gpu = p % 7 == 0 && fd == 4;
        fs::create_symlink(gpu ? "/dev/dri/card1" : "/usr/lib/libc.so.6", fds / std::to_string(fd));
      }
      if (p % 7 != 0) continue;
      fs::create_symlink("/dev/dri/renderD128", fds / "12");
      fs::create_directories(root_ / std::to_string(p) / "fdinfo");
      std::ofstream(root_ / std::to_string(p) / "fdinfo" / "12") << "drm-client-id:\t" << p << "\n";
    }
    procRoot_ = ::open(root_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  }
  ~ListedTree() {
    ::close(procRoot_);
    fs::remove_all(root_);
  }

  int ProcRoot() const { return procRoot_; }
  const std::vector<std::uint32_t>& Ids() const { return ids_; }

 private:
  fs::path root_;
  int procRoot_ = -1;
  std::vector<std::uint32_t> ids_;
};

TEST(GpuFdLister, SameListingAndFdinfoWhateverTheThreads) {
  const ListedTree tree(400);
  std::vector<ProcessGpuFds> expected;
  for (std::uint32_t p = 7; p <= 400; p += 7) {
    if (p % 50 == 0) continue;
    expected.push_back({p, {{4, "card1"}, {12, "renderD128"}}, {}});
  }
  const struct {
    unsigned threads;
    std::size_t processesPerThread;
  } cases[] = {{1, 2000}, {2, 100}, {4, 10}, {8, 1}};
  for (const auto& c : cases) {
    std::atomic<std::uint64_t> ticks{0};
    GpuFdLister lister([&ticks] { return ++ticks; }, c.threads, c.processesPerThread);
    // Twice: a second listing starts from nothing.
    for (int round = 0; round < 2; ++round) {
      const std::vector<ProcessGpuFds>& listed = lister.List(tree.ProcRoot(), tree.Ids());
      ASSERT_EQ(listed.size(), expected.size()) << c.threads << " threads";
      for (std::size_t i = 0; i < listed.size(); ++i) {
        EXPECT_EQ(listed[i].processId, expected[i].processId) << c.threads << " threads";
        EXPECT_EQ(listed[i].fds, expected[i].fds) << "process " << listed[i].processId;
        ASSERT_EQ(listed[i].fdinfo.size(), 2u);
        EXPECT_FALSE(listed[i].fdinfo[0].read);
        EXPECT_TRUE(listed[i].fdinfo[1].read);
        EXPECT_EQ(listed[i].fdinfo[1].text,
                  "drm-client-id:\t" + std::to_string(expected[i].processId) + "\n");
        EXPECT_GT(listed[i].fdinfo[1].readAtNs, 0u);
      }
      // Folders that are gone and fdinfo that is missing are no refusal.
      EXPECT_EQ(lister.Refused(), 0u) << c.threads << " threads";
    }
  }
}

// Drops the capabilities that pass file permission checks, so that a mode
// 000 folder refuses even root, as another user's fd folder refuses a
// reader without CAP_DAC_READ_SEARCH.
bool DropFilePermissionBypass() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2] = {};
  if (::syscall(SYS_capget, &header, data) != 0) return false;
  for (const int cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH}) {
    data[cap / 32].effective &= ~(1u << (cap % 32));
  }
  return ::syscall(SYS_capset, &header, data) == 0;
}

// Process 7's fd folder and process 14's DRM fdinfo refuse (mode 000);
// process 50 has exited (no folder); process 21 reads in full. Only the
// refusals count, once per process, whatever the threads.
TEST(GpuFdLister, CountsRefusedProcessesNotExitedOnes) {
  const ListedTree tree(50);
  ASSERT_EQ(::fchmodat(tree.ProcRoot(), "7/fd", 0, 0), 0);
  ASSERT_EQ(::fchmodat(tree.ProcRoot(), "14/fdinfo/12", 0, 0), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (!DropFilePermissionBypass()) std::_Exit(99);
    int failures = 0;
    for (const unsigned threads : {1u, 4u}) {
      GpuFdLister lister([] { return std::uint64_t{1}; }, threads, 5);
      const std::vector<ProcessGpuFds>& listed = lister.List(tree.ProcRoot(), tree.Ids());
      if (lister.Refused() != 2) failures |= threads;
      // Process 14 still lists, its fdinfo unread; process 7 does not.
      const bool sees14 = std::any_of(listed.begin(), listed.end(),
                                      [](const ProcessGpuFds& p) { return p.processId == 14; });
      const bool sees7 = std::any_of(listed.begin(), listed.end(),
                                     [](const ProcessGpuFds& p) { return p.processId == 7; });
      if (!sees14 || sees7) failures |= 16;
    }
    std::_Exit(failures);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ::fchmodat(tree.ProcRoot(), "7/fd", 0755, 0);
  ::fchmodat(tree.ProcRoot(), "14/fdinfo/12", 0644, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1/4: the count with that many threads; 16: the listing";
}

// Threads in a forked child are outside what POSIX allows before exec: the
// child lists on its calling thread alone, whatever the lister may use.
TEST(GpuFdLister, ForkedChildListsOnTheCallingThreadAlone) {
  const ListedTree tree(200);
  std::mutex lock;
  std::set<std::thread::id> readers;
  // Each read takes a while, so that every thread of the parent's listing
  // gets chunks of its own.
  GpuFdLister lister(
      [&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const std::lock_guard<std::mutex> hold(lock);
        readers.insert(std::this_thread::get_id());
        return std::uint64_t{1};
      },
      4, 10);
  const std::size_t listed = lister.List(tree.ProcRoot(), tree.Ids()).size();
  ASSERT_GT(readers.size(), 1u) << "the lister should spread this listing";

  const pid_t child = ::fork();
  if (child == 0) {
    readers.clear();
    const bool same = lister.List(tree.ProcRoot(), tree.Ids()).size() == listed;
    ::_exit(same && readers.size() == 1 && *readers.begin() == std::this_thread::get_id() ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

}  // namespace
}  // namespace gpuproc
