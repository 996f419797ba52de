// The per-process enumeration against the full one on generated /proc and
// /sys trees: what a call keeps of either must be the same for every process.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "counters/instance_discovery.h"
#include "platform/linux/drm_fdinfo_source.h"
#include "platform/linux/linux_platform.h"

namespace gpuproc::testing {
namespace {

namespace fs = std::filesystem;

// A random machine: processes with pids that are prefixes of one another,
// fds on PCI and platform GPUs (with and without drm-pdev, shared and dup()ed
// clients), fds without fdinfo or without usage statistics, processes whose
// fds cannot be listed, and one thread whose own /proc folder shows its
// process's fds.
class GeneratedTree {
 public:
  explicit GeneratedTree(std::uint32_t seed) : random_(seed) {
    std::string pattern = (fs::temp_directory_path() / "gpuproc-scoped-XXXXXX").string();
    root_ = ::mkdtemp(pattern.data());
    WriteSys();
    std::set<std::uint32_t> pids;
    while (pids.size() < 40) {
      const std::uint32_t pid = Pick(1, 3000);
      pids.insert(pid);
      if (Pick(0, 3) == 0) pids.insert(pid * 10 + Pick(0, 9));  // pid_12 beside pid_123
    }
    for (const std::uint32_t pid : pids) WriteProcess(pid);
    processIds_.assign(pids.begin(), pids.end());
    // A thread of the first process with a GPU client, listed like a process
    // here although /proc lists only processes.
    threadId_ = processIds_.back() + 1;
    WriteProcess(threadId_, processIds_.front());
  }
  ~GeneratedTree() { fs::remove_all(root_); }

  std::string Proc() const { return (root_ / "proc").string(); }
  std::string Sys() const { return (root_ / "sys").string(); }
  const std::vector<std::uint32_t>& ProcessIds() const { return processIds_; }
  std::uint32_t ThreadId() const { return threadId_; }

 private:
  std::uint32_t Pick(std::uint32_t low, std::uint32_t high) {
    return std::uniform_int_distribution<std::uint32_t>(low, high)(random_);
  }

  void Link(const std::string& target, const fs::path& at) {
    fs::create_directories(at.parent_path());
    fs::create_symlink(target, at);
  }

  void WriteSys() {
    const fs::path sys = root_ / "sys";
    const std::string pci = "../../../devices/pci0000:00/0000:00:01.0/0000:03:00.0";
    const std::string platform = "../../../devices/platform/soc/1800000.gpu";
    Link(pci, sys / "class/drm/card0/device");
    Link(pci, sys / "class/drm/renderD128/device");
    Link(pci, sys / "class/drm/card0-DP-1/device");
    Link(platform, sys / "class/drm/card1/device");
    Link(platform, sys / "class/drm/renderD129/device");
    const fs::path device = sys / "devices/pci0000:00/0000:00:01.0/0000:03:00.0";
    fs::create_directories(device);
    std::ofstream(device / "mem_info_vram_total") << "8589934592\n";
    std::ofstream(device / "mem_info_vram_used") << "1073741824\n";
    std::ofstream(device / "mem_info_gtt_used") << "4096\n";
  }

  std::string Fdinfo() {
    const std::string client = "drm-client-id:\t" + std::to_string(Pick(1, 6)) + "\n";
    switch (Pick(0, 4)) {
      case 0:
        return "drm-driver:\tamdgpu\n" + client + "drm-pdev:\t0000:03:00.0\ndrm-memory-vram:\t" +
               std::to_string(Pick(1, 9000)) + " KiB\ndrm-engine-gfx:\t" +
               std::to_string(Pick(0, 1u << 30)) + " ns\n";
      case 1:
        return "drm-driver:\ti915\n" + client + "drm-total-system0:\t" +
               std::to_string(Pick(1, 900)) + " KiB\ndrm-engine-render:\t" +
               std::to_string(Pick(0, 1u << 30)) + " ns\ndrm-engine-copy:\t7 ns\n";
      case 2:
        return "drm-driver:\tpanfrost\n" + client + "drm-engine-fragment:\t" +
               std::to_string(Pick(0, 1u << 30)) + " ns\ndrm-resident-memory:\t4 MiB\n";
      case 3:
        return "pos:\t0\nflags:\t02100002\n";  // a KMS-only driver prints no statistics
      default:
        return "drm-driver:\tmsm\ndrm-engine-gpu:\t" + std::to_string(Pick(0, 99)) + " ns\n";
    }
  }

  void WriteProcess(std::uint32_t pid, std::uint32_t threadGroup = 0) {
    const fs::path process = root_ / "proc" / std::to_string(pid);
    fs::create_directories(process);
    if (threadGroup != 0 || Pick(0, 1) == 0) {
      std::ofstream(process / "status")
          << "Name:\tsynthetic\nUmask:\t0022\nState:\tS (sleeping)\nTgid:\t"
          << (threadGroup != 0 ? threadGroup : pid) << "\nNgid:\t0\nPid:\t" << pid << "\n";
    }
    if (threadGroup == 0 && Pick(0, 9) == 0) return;  // another user's: no fd folder
    fs::create_directories(process / "fd");
    fs::create_directories(process / "fdinfo");
    const char* const nodes[] = {"renderD128", "card0", "renderD129", "card1", "renderD200"};
    const std::uint32_t fds = threadGroup != 0 ? 2 : Pick(0, 6);
    for (std::uint32_t fd = 0; fd < fds; ++fd) {
      const std::string name = std::to_string(fd);
      if (threadGroup == 0 && Pick(0, 2) == 0) {
        Link("socket:[" + std::to_string(Pick(1000, 9999)) + "]", process / "fd" / name);
        continue;
      }
      Link(std::string("/dev/dri/") + nodes[Pick(0, 4)], process / "fd" / name);
      if (threadGroup != 0) {
        std::ofstream(process / "fdinfo" / name) << "drm-driver:\ti915\ndrm-engine-render:\t1 ns\n";
      } else if (Pick(0, 5) != 0) {
        std::ofstream(process / "fdinfo" / name) << Fdinfo();
      }
    }
  }

  std::mt19937 random_;
  fs::path root_;
  std::vector<std::uint32_t> processIds_;
  std::uint32_t threadId_ = 0;
};

InstanceList Kept(const InstanceList& instances, std::uint32_t processId) {
  InstanceList kept;
  const std::u16string pattern = MakePidPattern(processId);
  std::copy_if(instances.begin(), instances.end(), std::back_inserter(kept),
               [&](const std::u16string& name) { return MatchesPidPattern(name, pattern); });
  return kept;
}

// Every instance of `object`, through the whole-machine enumeration.
InstanceList ListAll(Platform& platform, std::u16string_view object) {
  std::uint32_t counterLength = 0;
  std::uint32_t instanceLength = 0;
  platform.EnumObjectItems(object, nullptr, &counterLength, nullptr, &instanceLength);
  std::u16string counters(counterLength, u'\0');
  std::u16string instances(instanceLength, u'\0');
  platform.EnumObjectItems(object, counters.data(), &counterLength, instances.data(),
                           &instanceLength);
  InstanceList names;
  for (std::size_t at = 0; at < instances.size() && instances[at] != u'\0';) {
    const std::size_t end = instances.find(u'\0', at);
    names.emplace_back(instances, at, end - at);
    at = end + 1;
  }
  return names;
}

TEST(ScopedEnumeration, KeepsWhatTheFullEnumerationKeepsOnGeneratedTrees) {
  for (const std::uint32_t seed : {1u, 2u, 3u, 4u, 5u, 6u}) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    const GeneratedTree tree(seed);
    LinuxPlatform platform({{"drm-fdinfo", CreateDrmFdinfoSource}}, HostFs(tree.Proc(), tree.Sys()),
                           [] { return std::uint64_t{1}; });
    const InstanceList allProcesses = ListAll(platform, kGPUProcessMemoryObject);
    const InstanceList allEngines = ListAll(platform, u"GPU Engine");
    ASSERT_GE(allProcesses.size(), 10u);  // the generator made a busy machine

    std::vector<std::uint32_t> asked = tree.ProcessIds();
    // Ids of no process (0, past the last, the largest) and a prefix of the last.
    asked.insert(asked.end(), {0u, asked.back() + 2, 4294967295u, asked.back() / 10});
    for (const std::uint32_t processId : asked) {
      SCOPED_TRACE("pid " + std::to_string(processId));
      EXPECT_EQ(ListProcessInstances(platform, kGPUProcessMemoryObject, processId),
                Kept(allProcesses, processId));
      EXPECT_EQ(Kept(ListProcessInstances(platform, u"GPU Engine", processId), processId),
                Kept(allEngines, processId));
    }
    // /proc/<tid> shows the fds of the thread's process, but a thread id
    // names no process.
    EXPECT_FALSE(Kept(allProcesses, tree.ThreadId()).empty());
    EXPECT_TRUE(ListProcessInstances(platform, kGPUProcessMemoryObject, tree.ThreadId()).empty());
  }
}

}  // namespace
}  // namespace gpuproc::testing
