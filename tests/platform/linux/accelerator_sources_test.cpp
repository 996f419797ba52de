// What the sources read beyond DRM fdinfo's per-client counters: KFD's
// per-process figures, the device-level busy time of an NPU, the profiling
// switch of Arm's drivers, and which fd links name a device at all.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/busy_time_ledger.h"
#include "platform/linux/drm_fd_listing.h"
#include "platform/linux/drm_fdinfo_source.h"
#include "platform/linux/host_fs.h"
#include "platform/linux/kfd_source.h"

namespace gpuproc {
namespace {

namespace fs = std::filesystem;
constexpr std::uint64_t kMillisecond = 1'000'000;

TEST(DeviceNodeOfLink, OnlyDrmAndAccelNodes) {
  const struct {
    const char* target;
    const char* node;
  } cases[] = {
      {"/dev/dri/card0", "card0"},
      {"/dev/dri/renderD128", "renderD128"},
      {"/dev/accel/accel0", "accel0"},
      {"/dev/accel/accel12", "accel12"},
      // accel<N> lives under /dev/accel only, and nothing else there is one.
      {"/dev/dri/accel0", ""},
      {"/dev/accel/card0", ""},
      {"/dev/dri/", ""},
      {"/dev/accel/", ""},
      {"/dev/kfd", ""},
      {"/dev/nvidia0", ""},
      {"/home/user/dev/dri/card0", ""},
      {"socket:[4242]", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DeviceNodeOfLink(c.target), c.node) << c.target;
  }
}

// A fixture tree copied to a folder the test may change, with a source over
// it whose clock the test moves.
struct TreeUnderTest {
  explicit TreeUnderTest(const char* tree) {
    char pattern[] = "/tmp/gpuproc-accel-XXXXXX";
    top = ::mkdtemp(pattern);
    fs::copy(fs::path(GPUPROC_FIXTURES_DIR) / tree, top / "tree",
             fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    fs = std::make_unique<HostFs>((top / "tree/proc").string(), (top / "tree/sys").string());
  }
  ~TreeUnderTest() { fs::remove_all(top); }
  void Write(const std::string& relative, const std::string& text) {
    std::ofstream(top / "tree" / relative) << text;
  }
  GpuSourceContext Context() {
    return GpuSourceContext{*fs, [this] { return now; }, ledger};
  }

  fs::path top;
  std::unique_ptr<HostFs> fs;
  BusyTimeLedger ledger;
  std::uint64_t now = 1'000 * kMillisecond;
};

const EngineClassUsage* Engine(const GpuSnapshot& snapshot, std::uint32_t pid,
                               const std::string& type) {
  for (const ProcessGpuUsage& usage : snapshot.processes) {
    if (usage.processId != pid) continue;
    for (const EngineClassUsage& engine : usage.engines) {
      if (engine.type == type) return &engine;
    }
  }
  return nullptr;
}

// Between two collections 200 ms apart, each counter advances by the
// amount given: the rate and the cumulative time that follow.
TEST(AcceleratorSources, RatesAndTimesBetweenTwoCollections) {
  const struct {
    const char* what;
    const char* tree;
    bool kfd;
    std::uint32_t pid;
    const char* type;
    const char* file;
    const char* later;
    std::optional<double> percent;
    std::optional<std::uint64_t> busyNs;
  } cases[] = {
      // ivpu: the device's busy µs, its single client's.
      {"ivpu busy time", "ivpu", false, 2200, "Compute",
       "sys/devices/pci0000:00/0000:00:0b.0/npu_busy_time_us", "41650000", 75.0, 41'650'000'000},
      // KFD's SDMA µs: Copy.
      {"KFD SDMA", "kfd", true, 2101, "Copy", "sys/class/kfd/kfd/proc/2101/sdma_47893", "2550000",
       25.0, 2'550'000'000},
      // cu_occupancy is a level: 52 then 104 of 104 CUs, 200 ms at the mean
      // of 50% and 100%.
      {"KFD CU occupancy", "kfd", true, 2101, "Compute",
       "sys/class/kfd/kfd/proc/2101/stats_47893/cu_occupancy", "104", 100.0, 150 * kMillisecond},
      // More CUs than the GPU has is not more than all of it.
      {"KFD CU occupancy past the count", "kfd", true, 2101, "Compute",
       "sys/class/kfd/kfd/proc/2101/stats_47893/cu_occupancy", "400", 100.0, 150 * kMillisecond},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TreeUnderTest tree(c.tree);
    std::unique_ptr<GpuSource> source =
        c.kfd ? CreateKfdSource(tree.Context()) : CreateDrmFdinfoSource(tree.Context());
    source->Collect(CollectScope{});
    tree.Write(c.file, std::string(c.later) + "\n");
    tree.now += 200 * kMillisecond;
    const GpuSnapshot second = source->Collect(CollectScope{});
    const EngineClassUsage* engine = Engine(second, c.pid, c.type);
    ASSERT_NE(engine, nullptr);
    EXPECT_EQ(engine->utilizationPercent, c.percent);
    EXPECT_EQ(engine->busyNs, c.busyNs);
  }
}

// Device-level time belongs to a process only where it is the device's one
// client, and only a collection over every process can know that.
TEST(AcceleratorSources, DeviceBusyTimeOnlyForTheSingleClientOfAWholeMachineScan) {
  TreeUnderTest tree("ivpu");
  std::unique_ptr<GpuSource> source = CreateDrmFdinfoSource(tree.Context());
  EXPECT_EQ(Engine(source->Collect(CollectScope{false, {2200}}), 2200, "Compute"), nullptr);
  EXPECT_NE(Engine(source->Collect(CollectScope{}), 2200, "Compute"), nullptr);

  // A second process opens the NPU: the device's time is no longer its.
  fs::create_directories(tree.top / "tree/proc/2201/fd");
  fs::create_directories(tree.top / "tree/proc/2201/fdinfo");
  fs::create_symlink("/dev/accel/accel0", tree.top / "tree/proc/2201/fd/3");
  tree.Write("proc/2201/fdinfo/3", "drm-driver:\tintel_vpu\ndrm-client-id:\t4\n");
  const GpuSnapshot shared = source->Collect(CollectScope{});
  EXPECT_EQ(shared.processes.size(), 2u);
  EXPECT_EQ(Engine(shared, 2200, "Compute"), nullptr);
  EXPECT_EQ(Engine(shared, 2201, "Compute"), nullptr);
}

// A client's own name, where the driver prints one, is kept with its
// process's usage of the device.
TEST(AcceleratorSources, ClientNamesAreKept) {
  const struct {
    const char* tree;
    std::uint32_t pid;
    std::vector<std::string> names;
  } cases[] = {{"amdxdna", 2300, {"llama.cpp-npu"}}, {"ivpu", 2200, {}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.tree);
    TreeUnderTest tree(c.tree);
    const GpuSnapshot snapshot = CreateDrmFdinfoSource(tree.Context())->Collect(CollectScope{});
    ASSERT_EQ(snapshot.processes.size(), 1u);
    EXPECT_EQ(snapshot.processes[0].processId, c.pid);
    EXPECT_EQ(snapshot.processes[0].clientNames, c.names);
  }
}

// panfrost with profiling off reads unknown and says how to turn it on;
// with it on, or where the switch is missing, its counters count.
TEST(AcceleratorSources, ProfilingSwitchDecidesWhetherArmEngineTimeIsKnown) {
  const std::string kSwitch = "sys/devices/platform/fde60000.gpu/profiling";
  for (const char* value : {"0", "1", static_cast<const char*>(nullptr)}) {
    SCOPED_TRACE(value == nullptr ? "no switch" : value);
    TreeUnderTest tree("panfrost-noprof");
    if (value == nullptr) {
      fs::remove(tree.top / "tree" / kSwitch);
    } else {
      tree.Write(kSwitch, std::string(value) + "\n");
    }
    std::unique_ptr<GpuSource> source = CreateDrmFdinfoSource(tree.Context());
    source->Collect(CollectScope{});
    tree.now += 50 * kMillisecond;
    const GpuSnapshot snapshot = source->Collect(CollectScope{});
    const EngineClassUsage* engine = Engine(snapshot, 1400, "3D");
    ASSERT_NE(engine, nullptr);
    const bool off = value != nullptr && std::string(value) == "0";
    EXPECT_EQ(engine->busyNs.has_value(), !off);
    EXPECT_EQ(engine->utilizationPercent.has_value(), !off);
    ASSERT_EQ(snapshot.notices.size(), off ? 1u : 0u);
  }
}

}  // namespace
}  // namespace gpuproc
