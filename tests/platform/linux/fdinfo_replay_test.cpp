// Recorded /proc and /sys trees replayed through the built library, as a host
// would call it with HOST_PROC and HOST_SYS pointing at a machine's trees.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "gpuproc/gpuproc.h"

namespace {

// What a failed read turns into once converted to MiB.
constexpr const char* kNone = "-9.5367431640625e-07";

struct Record {
  std::string free, total, dedicated, local, shared, committed, utilization, name;
  std::uint32_t processId;
};

std::string Compact(const Record& r) {
  return "{\"GPUMemoryFree\":" + r.free + ",\"GPUMemoryTotal\":" + r.total +
         ",\"GPUProcessMemoryDedicatedUsage\":" + r.dedicated +
         ",\"GPUProcessMemoryLocalUsage\":" + r.local +
         ",\"GPUProcessMemorySharedUsage\":" + r.shared +
         ",\"GPUProcessMemoryTotalCommitted\":" + r.committed +
         ",\"GPUUtilizationPercent\":" + r.utilization + ",\"Name\":\"" + r.name +
         "\",\"ProcessID\":" + std::to_string(r.processId) + "}";
}

std::string Report(const std::vector<Record>& records) {
  if (records.empty()) return "null";
  std::string text = "[";
  for (const Record& record : records) {
    if (text.size() > 1) text += ",";
    text += Compact(record);
  }
  return text + "]";
}

struct Call {
  std::string result;
  std::string standardError;
};

Call CallOnRoot(const std::string& root, std::uint32_t processId) {
  ::setenv("HOST_PROC", (root + "/proc").c_str(), 1);
  ::setenv("HOST_SYS", (root + "/sys").c_str(), 1);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  Call call{GetGPUDataForProcess(processId), {}};
  testing::internal::GetCapturedStdout();
  call.standardError = testing::internal::GetCapturedStderr();
  ::unsetenv("HOST_PROC");
  ::unsetenv("HOST_SYS");
  return call;
}

Call CallOnTree(const char* tree, std::uint32_t processId) {
  return CallOnRoot(std::string(GPUPROC_FIXTURES_DIR) + "/" + tree, processId);
}

TEST(FdinfoReplay, ExactRecordsPerDriver) {
  // Nothing changes between the call's two collections, so busy-time engines
  // read 0.0; xe's cycle counters need its GPU timestamp to move, which a
  // recorded tree never does, so its 3D engine has no value (-1.0).
  const struct {
    const char* tree;
    std::uint32_t processId;
    std::vector<Record> records;
    const char* standardError = "";
  } cases[] = {
      {"amdgpu-legacy",
       1000,
       {{"7168.0", "1280.0", "256.0", "256.0", "16.0", "272.0", "0.0", "glxgears", 1000}}},
      {"amdgpu",
       1010,
       {{"14336.0", "2560.0", "512.0", "512.0", "40.0", "816.0", "0.0", "firefox", 1010}}},
      {"i915", 1100, {{kNone, kNone, "256.0", "256.0", "24.0", "324.0", "0.0", "vkcube", 1100}}},
      // Older i915 reports no memory at all.
      {"i915", 1101, {{kNone, kNone, kNone, kNone, kNone, kNone, "0.0", "glmark2", 1101}}},
      // Discrete xe: its VRAM figures from the dmem controller's root files.
      {"xe",
       1200,
       {{"10240.0", "2048.0", "520.0", "520.0", "32.0", "680.0", "-1.0", "gnome-shell", 1200}}},
      // Integrated GPUs: Dedicated is the firmware's carve-out (stolen-local0,
      // stolen, an APU's vram), Local adds the system memory; no adapter
      // figures. Beside the APU a discrete amdgpu reads as before, each
      // record with its own GPU's adapter figures.
      {"i915-mtl", 1700, {{kNone, kNone, "8.0", "168.0", "160.0", "188.0", "0.0", "mpv", 1700}}},
      {"xe-lnl", 1800, {{kNone, kNone, "4.0", "132.0", "128.0", "164.0", "-1.0", "firefox", 1800}}},
      {"amdgpu-apu",
       1900,
       {{"13296.0", "3328.0", "1536.0", "1536.0", "64.0", "2144.0", "0.0", "blender", 1900},
        {kNone, kNone, "256.0", "1280.0", "1024.0", "1420.0", "0.0", "blender", 1900}}},
      {"msm", 1300, {{kNone, kNone, "0.0", "56.0", "56.0", "64.0", "0.0", "weston", 1300}}},
      {"panfrost",
       1400,
       {{kNone, kNone, "0.0", "35.640625", "35.640625", "290.0", "0.0", "kodi", 1400}}},
      {"panthor",
       1500,
       {{kNone, kNone, "0.0", "16.09375", "16.09375", "16.09375", "0.0", "glmark2-es2-wayland",
         1500}}},
      {"v3d", 1600, {{kNone, kNone, "0.0", "19.0", "19.0", "19.0", "0.0", "chromium", 1600}}},
      // With profiling off panfrost's engine lines never move: unknown, and
      // one line that says how to turn it on.
      {"panfrost-noprof",
       1400,
       {{kNone, kNone, "0.0", "35.640625", "35.640625", "290.0", "-1.0", "kodi", 1400}},
       "panfrost samples no engine time while its profiling switch is off; turn it on as root: "
       "echo 1 > /sys/class/drm/card1/device/profiling\n"},
      // ROCm through KFD: VRAM the larger of amdgpu's and KFD's, its
      // difference in Local and Total Committed; a process only KFD sees, with
      // no 3D engine (its compute is KFD's Compute).
      {"kfd",
       2100,
       {{"39408.0", "26312.0", "8192.0", "8192.0", "40.0", "8496.0", "0.0", "python3.11", 2100}}},
      {"kfd",
       2101,
       {{"39408.0", "26312.0", "16384.0", "16384.0", "0.0", "16384.0", "-1.0", "train", 2101}}},
      // NPUs under /dev/accel: system memory, no 3D engine; Gaudi's fdinfo
      // names the client alone.
      {"ivpu",
       2200,
       {{kNone, kNone, "0.0", "64.0", "64.0", "96.0", "-1.0", "benchmark_app", 2200}}},
      {"amdxdna",
       2300,
       {{kNone, kNone, "0.0", "200.0", "200.0", "200.0", "-1.0", "llama-server", 2300}}},
      {"habanalabs",
       2400,
       {{kNone, kNone, kNone, kNone, kNone, kNone, "-1.0", "python3.10", 2400}}},
      // Two devices, in instance order (0000:00:02.0 before 0000:03:00.0);
      // each record carries its own device's adapter figures, which only
      // amdgpu publishes. The amdgpu client open on two fds counts once.
      {"multi",
       2000,
       {{kNone, kNone, "0.0", "96.0", "96.0", "128.0", "0.0", "blender", 2000},
        {"7168.0", "1280.0", "128.0", "128.0", "8.0", "264.0", "0.0", "blender", 2000}}},
      // DRM fd links but no readable fdinfo.
      {"multi", 2001, {}},
      // A DRM fd whose driver prints no statistics.
      {"multi", 2002, {}},
      {"multi", 4242, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.tree) + " " + std::to_string(c.processId));
    const Call call = CallOnTree(c.tree, c.processId);
    EXPECT_EQ(call.result, Report(c.records));
    EXPECT_EQ(call.standardError, c.standardError);
  }
}

std::string SnapshotOfRoot(const std::string& root) {
  ::setenv("HOST_PROC", (root + "/proc").c_str(), 1);
  ::setenv("HOST_SYS", (root + "/sys").c_str(), 1);
  testing::internal::CaptureStderr();
  std::string text = GetGPUSnapshotForAllProcesses();
  testing::internal::GetCapturedStderr();
  ::unsetenv("HOST_PROC");
  ::unsetenv("HOST_SYS");
  return text;
}

// The snapshot of each new kind of tree: the adapter's kind and each
// process's engine time, exactly as the document carries them.
TEST(FdinfoReplay, SnapshotsCarryTheAdapterKindAndEngineTime) {
  const struct {
    const char* tree;
    std::vector<std::string> pieces;
  } cases[] = {
      // ivpu's busy time is the device's, given to its single client.
      {"ivpu",
       {R"("AdapterName":"intel_vpu 0000:00:0b.0","Kind":"NPU","PciAddress":"0000:00:0b.0")",
        R"("ProcessID":2200,"Name":"benchmark_app")", R"("EngineBusySeconds":{"Compute":41.5})"}},
      {"amdxdna",
       {R"("Kind":"NPU","PciAddress":"0000:c4:00.1")", R"("EngineBusySeconds":{"Compute":7.25})"}},
      {"habanalabs",
       {R"("Kind":"NPU","PciAddress":"0000:33:00.0")", R"("ProcessID":2400,"Name":"python3.10")",
        R"("GPUProcessMemoryDedicatedUsage":null)"}},
      {"kfd",
       {R"("Kind":"GPU","PciAddress":"0000:03:00.0")",
        R"("EngineBusySeconds":{"3D":0.0,"Compute":0.0,"Copy":1.0})",
        R"("ProcessID":2101,"Name":"train","Adapter":"luid_0x00000000_0x00000300_phys_0",)"
        R"("GPUProcessMemoryDedicatedUsage":16384.0,"GPUProcessMemorySharedUsage":0.0,)"
        R"("GPUProcessMemoryLocalUsage":16384.0,"GPUProcessMemoryTotalCommitted":16384.0,)"
        R"("EngineBusySeconds":{"Compute":0.0,"Copy":2.5})"}},
      {"panfrost-noprof", {R"("Kind":"GPU")", R"("EngineBusySeconds":{"3D":null})"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.tree);
    const std::string text = SnapshotOfRoot(std::string(GPUPROC_FIXTURES_DIR) + "/" + c.tree);
    for (const std::string& piece : c.pieces) {
      EXPECT_NE(text.find(piece), std::string::npos) << piece << "\nin " << text;
    }
  }
}

// KFD's SDMA counter is cumulative: a second snapshot shows the Copy time of
// a KFD-only process advanced by exactly what the counter advanced.
TEST(FdinfoReplay, KfdCopyTimeAdvancesWithItsSdmaCounter) {
  namespace fs = std::filesystem;
  char pattern[] = "/tmp/gpuproc-kfd-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  const fs::path root = fs::path(pattern) / "tree";
  fs::copy(fs::path(GPUPROC_FIXTURES_DIR) / "kfd", root,
           fs::copy_options::recursive | fs::copy_options::copy_symlinks);
  const std::string before = SnapshotOfRoot(root);
  // 1.25 s of SDMA work recorded since: 2,500,000 µs then 3,750,000 µs.
  std::ofstream(root / "sys/class/kfd/kfd/proc/2101/sdma_47893") << "3750000\n";
  const std::string after = SnapshotOfRoot(root);
  fs::remove_all(pattern);

  const auto copyOf2101 = [](const std::string& text) {
    const std::size_t process = text.find(R"("ProcessID":2101)");
    const std::size_t copy = text.find(R"("Copy":)", process);
    return process == std::string::npos || copy == std::string::npos
               ? std::string()
               : text.substr(copy, text.find('}', copy) - copy);
  };
  EXPECT_EQ(copyOf2101(before), R"("Copy":2.5)");
  EXPECT_EQ(copyOf2101(after), R"("Copy":3.75)");
}

TEST(FdinfoReplay, AllProcessesExactReports) {
  // Each record names its own adapter (by the PCI ID database where sysfs
  // has the ids, else by its driver and address) and every engine type; adapter memory
  // is that adapter's own (amdgpu publishes it, i915 does not).
  const struct {
    const char* tree;
    const char* report;
  } cases[] = {
      {"multi",
       R"([{"Adapter":"luid_0x00000000_0x00000010_phys_0",)"
       R"("AdapterName":"Intel Corporation Raptor Lake-S GT1 [UHD Graphics 770]",)"
       R"("Engines":{"3D":0.0,"Copy":0.0,)"
       R"("VideoDecode":0.0,"VideoProcessing":0.0},"GPUMemoryFree":-9.5367431640625e-07,)"
       R"("GPUMemoryTotal":-9.5367431640625e-07,"GPUProcessMemoryDedicatedUsage":0.0,)"
       R"("GPUProcessMemoryLocalUsage":96.0,"GPUProcessMemorySharedUsage":96.0,)"
       R"("GPUProcessMemoryTotalCommitted":128.0,"GPUUtilizationPercent":0.0,"Name":"blender",)"
       R"("ProcessID":2000},{"Adapter":"luid_0x00000000_0x00000300_phys_0",)"
       R"("AdapterName":"Advanced Micro Devices, Inc. [AMD/ATI] Navi 21 [Radeon RX 6800/6800 XT / 6900 XT]",)"
       R"("Engines":{"3D":0.0},)"
       R"("GPUMemoryFree":7168.0,"GPUMemoryTotal":1280.0,"GPUProcessMemoryDedicatedUsage":128.0,)"
       R"("GPUProcessMemoryLocalUsage":128.0,"GPUProcessMemorySharedUsage":8.0,)"
       R"("GPUProcessMemoryTotalCommitted":264.0,"GPUUtilizationPercent":0.0,"Name":"blender",)"
       R"("ProcessID":2000}])"},
      {"amdgpu",
       R"([{"Adapter":"luid_0x00000000_0x00000300_phys_0",)"
       R"("AdapterName":"Advanced Micro Devices, Inc. [AMD/ATI] Navi 21 [Radeon RX 6800/6800 XT / 6900 XT]",)"
       R"("Engines":{"3D":0.0,"Compute":0.0,)"
       R"("VideoDecode":0.0},"GPUMemoryFree":14336.0,"GPUMemoryTotal":2560.0,)"
       R"("GPUProcessMemoryDedicatedUsage":512.0,"GPUProcessMemoryLocalUsage":512.0,)"
       R"("GPUProcessMemorySharedUsage":40.0,"GPUProcessMemoryTotalCommitted":816.0,)"
       R"("GPUUtilizationPercent":0.0,"Name":"firefox","ProcessID":1010}])"},
      {"i915",
       R"([{"Adapter":"luid_0x00000000_0x00000300_phys_0","AdapterName":"i915 0000:03:00.0",)"
       R"("Engines":{"3D":0.0,"Compute":0.0,)"
       R"("Copy":0.0,"VideoDecode":0.0,"VideoProcessing":0.0},)"
       R"("GPUMemoryFree":-9.5367431640625e-07,"GPUMemoryTotal":-9.5367431640625e-07,)"
       R"("GPUProcessMemoryDedicatedUsage":256.0,"GPUProcessMemoryLocalUsage":256.0,)"
       R"("GPUProcessMemorySharedUsage":24.0,"GPUProcessMemoryTotalCommitted":324.0,)"
       R"("GPUUtilizationPercent":0.0,"Name":"vkcube","ProcessID":1100},)"
       R"({"Adapter":"luid_0x00000000_0x00000010_phys_0","AdapterName":"i915 0000:00:02.0",)"
       R"("Engines":{"3D":0.0,"Copy":0.0,)"
       R"("VideoDecode":0.0,"VideoProcessing":0.0},"GPUMemoryFree":-9.5367431640625e-07,)"
       R"("GPUMemoryTotal":-9.5367431640625e-07,)"
       R"("GPUProcessMemoryDedicatedUsage":-9.5367431640625e-07,)"
       R"("GPUProcessMemoryLocalUsage":-9.5367431640625e-07,)"
       R"("GPUProcessMemorySharedUsage":-9.5367431640625e-07,)"
       R"("GPUProcessMemoryTotalCommitted":-9.5367431640625e-07,"GPUUtilizationPercent":0.0,)"
       R"("Name":"glmark2","ProcessID":1101}])"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.tree);
    ::setenv("HOST_PROC", (std::string(GPUPROC_FIXTURES_DIR) + "/" + c.tree + "/proc").c_str(), 1);
    ::setenv("HOST_SYS", (std::string(GPUPROC_FIXTURES_DIR) + "/" + c.tree + "/sys").c_str(), 1);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const std::string result = GetGPUDataForAllProcesses();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    ::unsetenv("HOST_PROC");
    ::unsetenv("HOST_SYS");
    EXPECT_EQ(result, c.report);
  }
}

// Damaged copies of the multi tree, as a bug report or a writable container
// root may hold them: what the kernel's own trees never contain is unreadable
// and nothing else changes. A call that blocked would hang here (ctest's
// timeout ends it).
TEST(FdinfoReplay, ForeignFilesAndLinksAreUnreadable) {
  namespace fs = std::filesystem;
  const Record i915{kNone, kNone, "0.0", "96.0", "96.0", "128.0", "0.0", "blender", 2000};
  const Record amdgpu{"7168.0", "1280.0", "128.0", "128.0", "8.0", "264.0", "0.0", "blender", 2000};
  Record i915NoAdapter = i915;
  Record amdgpuNoAdapter = amdgpu;
  for (Record* record : {&i915NoAdapter, &amdgpuNoAdapter}) record->free = record->total = kNone;
  const std::string amdgpuDevice = "sys/devices/pci0000:00/0000:00:01.1/0000:03:00.0";
  const auto fifo = [](const fs::path& path) {
    fs::remove(path);
    fs::create_directories(path.parent_path());
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0) << path;
  };
  const struct {
    const char* what;
    std::function<void(const fs::path& root, const fs::path& outside)> damage;
    std::vector<Record> records;
  } cases[] = {
      {"FIFO as the i915 client's fdinfo",
       [&](const fs::path& root, const fs::path&) { fifo(root / "proc/2000/fdinfo/11"); },
       {amdgpu}},
      {"FIFO as another process's fdinfo",
       [&](const fs::path& root, const fs::path&) { fifo(root / "proc/2001/fdinfo/3"); },
       {i915, amdgpu}},
      {"FIFO as a sysfs file",
       [&](const fs::path& root, const fs::path&) {
         fifo(root / amdgpuDevice / "mem_info_vram_used");
       },
       {i915NoAdapter, amdgpuNoAdapter}},
      {"absolute device links out of the tree",
       [&](const fs::path& root, const fs::path& outside) {
         // A complete device folder outside: read, it would give the values.
         fs::create_directories(outside / amdgpuDevice);
         fs::copy(root / amdgpuDevice, outside / amdgpuDevice,
                  fs::copy_options::recursive | fs::copy_options::copy_symlinks);
         for (const char* node : {"card1", "renderD128"}) {
           const fs::path link = root / "sys/class/drm" / node / "device";
           fs::remove(link);
           fs::create_symlink(outside / amdgpuDevice, link);
         }
       },
       {i915NoAdapter, amdgpuNoAdapter}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    char pattern[] = "/tmp/gpuproc-damaged-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const fs::path top = pattern;
    fs::copy(fs::path(GPUPROC_FIXTURES_DIR) / "multi", top / "tree",
             fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    c.damage(top / "tree", top / "outside");
    const Call call = CallOnRoot((top / "tree").string(), 2000);
    EXPECT_EQ(call.result, Report(c.records));
    EXPECT_EQ(call.standardError, "");
    fs::remove_all(top);
  }
}

// A root that is not a readable directory is a failure, never "no process
// uses a GPU". (Root reads any directory whatever its mode: a mode-000 one
// stands for an unreadable root only for other users.)
TEST(FdinfoReplay, UnreadableRootsDoNotOpenTheQuery) {
  namespace fs = std::filesystem;
  const fs::path tree = fs::path(GPUPROC_FIXTURES_DIR) / "multi";
  const fs::path file = tree / "proc/2000/cgroup";
  char pattern[] = "/tmp/gpuproc-closed-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  const fs::path closed = pattern;
  fs::permissions(closed, fs::perms::none);
  const std::string missing = "/nonexistent/proc";
  struct Case {
    std::string proc, sys, line;
  };
  std::vector<Case> cases = {
      {missing, tree / "sys",
       "The HOST_PROC root /nonexistent/proc is not a readable directory: No such file or "
       "directory."},
      {file, tree / "sys",
       "The HOST_PROC root " + file.string() + " is not a readable directory: Not a directory."},
      {tree / "proc", "/nonexistent/sys",
       "The HOST_SYS root /nonexistent/sys is not a readable directory: No such file or "
       "directory."},
      {tree / "proc", file,
       "The HOST_SYS root " + file.string() + " is not a readable directory: Not a directory."},
  };
  if (::geteuid() != 0) {
    cases.push_back({closed, tree / "sys",
                     "The HOST_PROC root " + closed.string() +
                         " is not a readable directory: Permission denied."});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.proc + " " + c.sys);
    ::setenv("HOST_PROC", c.proc.c_str(), 1);
    ::setenv("HOST_SYS", c.sys.c_str(), 1);
    for (const bool allProcesses : {false, true}) {
      testing::internal::CaptureStdout();
      testing::internal::CaptureStderr();
      const std::string result =
          allProcesses ? GetGPUDataForAllProcesses() : GetGPUDataForProcess(2000);
      EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
      EXPECT_EQ(testing::internal::GetCapturedStderr(), "PdhOpenQuery: " + c.line + "\n");
      EXPECT_EQ(result, "");
    }
  }
  ::unsetenv("HOST_PROC");
  ::unsetenv("HOST_SYS");
  fs::remove(closed);
}

TEST(FdinfoReplay, LiveMachineWithoutGpuClientsGivesNull) {
  // This test process opens no DRM device, whatever GPU the machine has.
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  const std::string result = GetGPUDataForProcess(static_cast<std::uint32_t>(::getpid()));
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(result, "null");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

}  // namespace
