// An NVIDIA server whose only DRM device is the BMC's display: the
// whole-machine call of the built library, over the fake NVML, must cost the
// NVML calls alone and never open a process's fd folder. The opens are
// counted by inotify on every /proc/<pid>/fd of a written tree.
#include <dlfcn.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "fake_nvml_control.h"
#include "gtest/gtest.h"

namespace gpuproc {
namespace {

namespace fs = std::filesystem;
constexpr std::uint32_t kNvmlPid = 4242;
constexpr std::uint32_t kPids[] = {100, 200, kNvmlPid};

class InotifyOpens {
 public:
  InotifyOpens() : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {}
  ~InotifyOpens() { ::close(fd_); }
  bool Watch(const fs::path& path) { return ::inotify_add_watch(fd_, path.c_str(), IN_OPEN) >= 0; }
  // Opens seen since the last call.
  int Take() {
    int opens = 0;
    alignas(inotify_event) char buffer[4096];
    for (ssize_t got; (got = ::read(fd_, buffer, sizeof buffer)) > 0;) {
      for (ssize_t at = 0; at < got;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        if ((event->mask & IN_OPEN) != 0) ++opens;
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
    return opens;
  }

 private:
  int fd_;
};

void Link(const std::string& target, const fs::path& at) {
  fs::create_directories(at.parent_path());
  fs::create_symlink(target, at);
}

// A card of the PCI device `address` bound to `driver`.
void AddCard(const fs::path& sys, const char* card, const char* address, const char* driver) {
  const std::string device = std::string("devices/pci0000:00/0000:00:1c.0/") + address;
  Link("../../../" + device, sys / "class/drm" / card / "device");
  Link(std::string("../../../../bus/pci/drivers/") + driver, sys / device / "driver");
}

std::string WholeMachineCall(const fs::path& root) {
  ::setenv("HOST_PROC", (root / "proc").c_str(), 1);
  ::setenv("HOST_SYS", (root / "sys").c_str(), 1);
  void* library = ::dlopen(GPUPROC_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
  std::string result = "(not loaded)";
  if (library != nullptr) {
    using Entry = const char* (*)();
    const auto entry = reinterpret_cast<Entry>(::dlsym(library, "GetGPUDataForAllProcesses"));
    if (entry != nullptr) result = entry();
    ::dlclose(library);
  }
  ::unsetenv("HOST_PROC");
  ::unsetenv("HOST_SYS");
  return result;
}

TEST(NvmlOnlyMachine, WholeMachineCallScansNoFdsUnlessADriverCanReport) {
  testing::FakeNvmlControl fake(FAKE_NVML_PATH);
  if (!fake.Loaded()) GTEST_SKIP() << "fake NVML not built at " << fake.Path();
  const int gpu = fake.AddDevice(0, 3, 0, 0, 1ull << 30, 7ull << 30);
  fake.AddProcess(gpu, kFakeNvmlCompute, kNvmlPid, 512ull << 20);

  char pattern[] = "/tmp/gpuproc-nvml-only-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  const fs::path root = pattern;
  InotifyOpens opens;
  for (const std::uint32_t pid : kPids) {
    const fs::path process = root / "proc" / std::to_string(pid);
    Link("/usr/bin/worker", process / "exe");
    Link("/dev/null", process / "fd/0");
    // Xorg on the BMC's display: a DRM fd without usage statistics.
    Link("/dev/dri/card0", process / "fd/5");
    fs::create_directories(process / "fdinfo");
    std::ofstream(process / "fdinfo/5") << "pos:\t0\nflags:\t02100002\nmnt_id:\t24\nino:\t99\n";
    ASSERT_TRUE(opens.Watch(process / "fd"));
  }
  AddCard(root / "sys", "card0", "0000:02:00.0", "ast");

  const struct {
    const char* what;
    const char* addCard;  // driver of a card added before the call, if any
    bool scans;
  } cases[] = {
      {"only the BMC's display", nullptr, false},
      {"and an amdgpu card", "amdgpu", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.addCard != nullptr) AddCard(root / "sys", "card1", "0000:05:00.0", c.addCard);
    opens.Take();
    const std::string report = WholeMachineCall(root);
    const int fdFolderOpens = opens.Take();
    const auto records = nlohmann::json::parse(report, nullptr, false);
    ASSERT_TRUE(records.is_array()) << report;
    ASSERT_EQ(records.size(), 1u) << report;
    EXPECT_EQ(records[0]["ProcessID"], kNvmlPid);
    EXPECT_EQ(records[0]["GPUProcessMemoryDedicatedUsage"], 512.0);
    if (c.scans) {
      EXPECT_GE(fdFolderOpens, static_cast<int>(std::size(kPids)));
    } else {
      EXPECT_EQ(fdFolderOpens, 0);
    }
  }
  fs::remove_all(root);
}

}  // namespace
}  // namespace gpuproc
