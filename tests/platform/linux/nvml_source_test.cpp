// The NVML source against the fake libnvidia-ml.so.1 (tests/fake_nvml).
#include "platform/linux/nvml_source.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "fake_nvml_control.h"
#include "platform/linux/linux_platform.h"
#include "platform/linux/nvml_api.h"
#include "platform/linux/nvml_library.h"

namespace gpuproc {
namespace {

using testing::FakeNvmlControl;

constexpr unsigned long long kMiB = 1ull << 20;

const ProcessGpuUsage* Find(const GpuSnapshot& snapshot, std::uint32_t pid,
                            GpuDevice device = GpuDevice{0, 0x300}) {
  for (const auto& process : snapshot.processes) {
    if (process.processId == pid && process.device == device) return &process;
  }
  return nullptr;
}

const EngineClassUsage* Engine(const GpuSnapshot& snapshot, std::uint32_t pid,
                               std::string_view type = "3D",
                               GpuDevice device = GpuDevice{0, 0x300}) {
  const ProcessGpuUsage* process = Find(snapshot, pid, device);
  if (process == nullptr) return nullptr;
  for (const EngineClassUsage& engine : process->engines) {
    if (engine.type == type) return &engine;
  }
  return nullptr;
}

std::optional<double> Utilization(const GpuSnapshot& snapshot, std::uint32_t pid,
                                  std::string_view type = "3D") {
  const EngineClassUsage* engine = Engine(snapshot, pid, type);
  return engine == nullptr ? std::nullopt : engine->utilizationPercent;
}

class NvmlSourceTestBase : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fake_.Loaded()) GTEST_SKIP() << "fake NVML not built at " << fake_.Path();
    initCountBefore_ = fake_.InitCount();
  }
  void TearDown() override {
    if (!fake_.Loaded()) return;
    source_.reset();
    library_.reset();
    // Every source and library released: NVML initialised no more than before.
    EXPECT_EQ(fake_.InitCount(), initCountBefore_);
  }

  // A source over a freshly loaded fake.
  NvmlSource& Source() {
    if (!source_) {
      library_ = NvmlLibrary::Load(fake_.Path().c_str());
      EXPECT_NE(library_, nullptr);
      source_ = std::make_unique<NvmlSource>(library_, ledger_, [this] { return monotonicNs_; });
    }
    return *source_;
  }

  FakeNvmlControl fake_{FAKE_NVML_PATH};
  int initCountBefore_ = 0;
  BusyTimeLedger ledger_;
  std::uint64_t monotonicNs_ = 1'000'000'000;
  std::shared_ptr<const NvmlLibrary> library_;
  std::unique_ptr<NvmlSource> source_;
};

class NvmlSourceTest : public NvmlSourceTestBase {};

TEST_F(NvmlSourceTest, ReportsComputeAndGraphicsProcessesWithExactMemory) {
  const int gpu = fake_.AddDevice(0, 3, 0, 0, 1024 * kMiB, 7168 * kMiB);
  fake_.AddProcess(gpu, kFakeNvmlCompute, 4242, 512 * kMiB);
  fake_.AddProcess(gpu, kFakeNvmlGraphics, 77, 64 * kMiB + 4096);
  fake_.AddProcess(gpu, kFakeNvmlMpsCompute, 5000, 3 * kMiB);

  const GpuSnapshot snapshot = Source().Collect(CollectScope{});

  ASSERT_EQ(snapshot.adapters.size(), 1u);
  EXPECT_EQ(snapshot.adapters[0].device, (GpuDevice{0, 0x300}));
  EXPECT_EQ(snapshot.adapters[0].totalCommitted, 1024 * kMiB);
  EXPECT_EQ(snapshot.adapters[0].free, 7168 * kMiB);
  ASSERT_EQ(snapshot.processes.size(), 3u);
  for (auto [pid, bytes] : {std::pair{4242u, 512 * kMiB}, std::pair{77u, 64 * kMiB + 4096},
                            std::pair{5000u, 3 * kMiB}}) {
    const ProcessGpuUsage* process = Find(snapshot, pid);
    ASSERT_NE(process, nullptr) << pid;
    EXPECT_EQ(process->localUsage, bytes);
    EXPECT_EQ(process->dedicatedUsage, bytes);
    EXPECT_EQ(process->totalCommitted, bytes);
    EXPECT_EQ(process->sharedUsage, 0u);
    // The SMs, NVENC and NVDEC, as Windows names them.
    ASSERT_EQ(process->engines.size(), 3u);
    EXPECT_EQ(process->engines[0].type, "3D");
    EXPECT_EQ(process->engines[1].type, "VideoEncode");
    EXPECT_EQ(process->engines[2].type, "VideoDecode");
    for (const EngineClassUsage& engine : process->engines) {
      // The first collection has nothing to compare with.
      EXPECT_FALSE(engine.utilizationPercent.has_value());
      EXPECT_EQ(engine.busyNs, 0u);
    }
  }
}

TEST_F(NvmlSourceTest, NamesEachGpuByItsPciAddress) {
  const int first = fake_.AddDevice(0, 3, 0, 0, kMiB, kMiB);
  const int second = fake_.AddDevice(1, 0x81, 0x1f, 1, 2 * kMiB, 3 * kMiB);
  fake_.AddProcess(first, kFakeNvmlCompute, 10, 5 * kMiB);
  fake_.AddProcess(second, kFakeNvmlCompute, 10, 6 * kMiB);
  fake_.AddProcess(second, kFakeNvmlGraphics, 11, 7 * kMiB);

  const GpuSnapshot snapshot = Source().Collect(CollectScope{});

  const GpuDevice secondName{1, 0x81u << 8 | 0x1fu << 3 | 1u};
  ASSERT_EQ(snapshot.adapters.size(), 2u);
  EXPECT_EQ(snapshot.adapters[1].device, secondName);
  EXPECT_EQ(snapshot.adapters[1].free, 3 * kMiB);
  // nvmlDeviceGetName's product name (the fake's carries the bus number).
  EXPECT_EQ(snapshot.adapters[1].name, "Fake NVIDIA GPU 81");
  ASSERT_EQ(snapshot.processes.size(), 3u);
  ASSERT_NE(Find(snapshot, 10), nullptr);
  EXPECT_EQ(Find(snapshot, 10)->totalCommitted, 5 * kMiB);
  ASSERT_NE(Find(snapshot, 10, secondName), nullptr);
  EXPECT_EQ(Find(snapshot, 10, secondName)->totalCommitted, 6 * kMiB);
  ASSERT_NE(Find(snapshot, 11, secondName), nullptr);
  EXPECT_EQ(Find(snapshot, 11), nullptr);
}

TEST_F(NvmlSourceTest, UtilizationIsTheNewestSampleOfTheLastSecond) {
  const int gpu = fake_.AddDevice(0, 3, 0, 0, kMiB, kMiB);
  for (unsigned pid : {100u, 200u, 400u}) fake_.AddProcess(gpu, kFakeNvmlCompute, pid, kMiB);
  fake_.AddSample(gpu, 100, 90, 3'000'000);  // before the window
  fake_.AddSample(gpu, 100, 60, 200'000);
  fake_.AddSample(gpu, 100, 20, 800'000);
  fake_.AddSample(gpu, 400, 180, 100'000);  // impossible value, clamped
  fake_.AddSample(gpu, 999, 50, 100'000);   // not in any list: ignored

  NvmlSource& source = Source();
  const GpuSnapshot first = source.Collect(CollectScope{});
  EXPECT_FALSE(Utilization(first, 100).has_value());
  const GpuSnapshot second = source.Collect(CollectScope{});

  EXPECT_EQ(Utilization(second, 100), 60.0);
  EXPECT_EQ(Utilization(second, 200), 0.0);  // listed, no sample
  EXPECT_EQ(Utilization(second, 400), 100.0);
  EXPECT_EQ(Find(second, 999), nullptr);
  EXPECT_EQ(second.processes.size(), 3u);
  // The second collection asks only for what the driver has sampled since
  // the newest sample the first one saw (100 ms back).
  const auto lastSeen = static_cast<long long>(fake_.LastSeenTimeStamp(gpu));
  const auto expected = static_cast<long long>(NvmlTimestampNow()) - 100'000;
  EXPECT_NEAR(static_cast<double>(lastSeen), static_cast<double>(expected), 300'000.0);
}

std::optional<std::uint64_t> BusyNs(const GpuSnapshot& snapshot, std::uint32_t pid) {
  const ProcessGpuUsage* process = Find(snapshot, pid);
  return process == nullptr ? std::nullopt : process->engines.at(0).busyNs;
}

TEST_F(NvmlSourceTest, SamplesAddUpToBusyTimeAndAClockStepLeavesUtilizationUnknown) {
  constexpr double kSlackNs = 5'000'000;  // the fake stamps samples as it is called
  const int gpu = fake_.AddDevice(0, 3, 0, 0, kMiB, kMiB);
  fake_.AddProcess(gpu, kFakeNvmlCompute, 7, kMiB);
  fake_.AddSample(gpu, 7, 50, 900'000);   // the first seen counts from 0
  fake_.AddSample(gpu, 7, 100, 400'000);  // 0.5 s busy
  fake_.AddSample(gpu, 7, 20, 100'000);   // 0.3 s at 20%
  NvmlSource& source = Source();
  EXPECT_NEAR(static_cast<double>(BusyNs(source.Collect({}), 7).value_or(0)), 560e6, kSlackNs);

  fake_.AddSample(gpu, 7, 50, 0);  // 0.1 s at 50%, seen by the next reading only
  const GpuSnapshot second = source.Collect({});
  EXPECT_NEAR(static_cast<double>(BusyNs(second, 7).value_or(0)), 610e6, kSlackNs);
  EXPECT_EQ(Utilization(second, 7), 50.0);

  // The wall clock, which stamps the samples, jumps 10 s against the
  // monotonic one: the window cannot be trusted, and is not read as 0%.
  monotonicNs_ += 10'000'000'000;
  const GpuSnapshot stepped = source.Collect({});
  EXPECT_FALSE(Utilization(stepped, 7).has_value());
  EXPECT_NEAR(static_cast<double>(BusyNs(stepped, 7).value_or(0)), 610e6, kSlackNs);
}

TEST_F(NvmlSourceTest, NoSampleAtAllReadsZeroForEveryListedProcess) {
  const int gpu = fake_.AddDevice(0, 3, 0, 0, kMiB, kMiB);
  fake_.AddProcess(gpu, kFakeNvmlGraphics, 7, kMiB);
  fake_.AddSample(gpu, 7, 40, 5'000'000);  // too old: NVML answers NOT_FOUND
  NvmlSource& source = Source();
  source.Collect(CollectScope{});
  EXPECT_EQ(Utilization(source.Collect(CollectScope{}), 7), 0.0);
}

TEST_F(NvmlSourceTest, UtilizationHasNoValueWhereTheDeviceCannotGiveIt) {
  struct Case {
    const char* name;
    bool mig;
    int utilizationStatus;
  };
  for (const Case& c : {Case{"not supported", false, nvml::NVML_ERROR_NOT_SUPPORTED},
                        Case{"no permission", false, nvml::NVML_ERROR_NO_PERMISSION},
                        Case{"GPU lost", false, nvml::NVML_ERROR_GPU_IS_LOST}}) {
    SCOPED_TRACE(c.name);
    fake_.Reset();
    source_.reset();
    const int gpu = fake_.AddDevice(0, 3, 0, 0, kMiB, kMiB);
    fake_.AddProcess(gpu, kFakeNvmlCompute, 7, 2 * kMiB);
    fake_.AddSample(gpu, 7, 40, 100'000);
    if (c.mig) fake_.SetMigMode(gpu, nvml::NVML_DEVICE_MIG_ENABLE);
    if (c.utilizationStatus != nvml::NVML_SUCCESS) {
      // The newer call refused falls back to the older one, refused too.
      fake_.FailCall(gpu, "nvmlDeviceGetProcessesUtilizationInfo", c.utilizationStatus);
      fake_.FailCall(gpu, "nvmlDeviceGetProcessUtilization", c.utilizationStatus);
    }
    NvmlSource& source = Source();
    source.Collect(CollectScope{});
    const GpuSnapshot snapshot = source.Collect(CollectScope{});
    ASSERT_NE(Find(snapshot, 7), nullptr);
    EXPECT_EQ(Find(snapshot, 7)->totalCommitted, 2 * kMiB);
    EXPECT_FALSE(Utilization(snapshot, 7).has_value());
  }
}

// NVENC and NVDEC work is VideoEncode and VideoDecode, read through the
// newer call where the driver has it and through the older one elsewhere.
TEST(NvmlVideoEnginesTest, EncoderAndDecoderSamplesAreVideoEngines) {
  for (const char* path : {FAKE_NVML_PATH, FAKE_NVML_R535_PATH}) {
    SCOPED_TRACE(path);
    FakeNvmlControl fake(path);
    if (!fake.Loaded()) GTEST_SKIP() << "fake NVML not built at " << path;
    const int gpu = fake.AddDevice(0, 3, 0, 0, kMiB, kMiB);
    fake.AddProcess(gpu, kFakeNvmlCompute, 7, kMiB);
    fake.AddVideoSample(gpu, 7, 10, 80, 30, 700'000);  // the first seen counts from 0
    fake.AddVideoSample(gpu, 7, 20, 60, 40, 200'000);  // 0.5 s later
    std::shared_ptr<const NvmlLibrary> library = NvmlLibrary::Load(path);
    ASSERT_NE(library, nullptr);
    BusyTimeLedger ledger;
    NvmlSource source(library, ledger, MonotonicNanoseconds);
    source.Collect(CollectScope{});
    const GpuSnapshot snapshot = source.Collect(CollectScope{});

    const struct {
      const char* type;
      double percent, busyMs;
    } engines[] = {{"3D", 20, 100}, {"VideoEncode", 60, 300}, {"VideoDecode", 40, 200}};
    for (const auto& want : engines) {
      SCOPED_TRACE(want.type);
      const EngineClassUsage* engine = Engine(snapshot, 7, want.type);
      ASSERT_NE(engine, nullptr);
      EXPECT_EQ(engine->utilizationPercent, want.percent);
      // The fake stamps its samples when they are added: a few ms of slack.
      EXPECT_NEAR(static_cast<double>(engine->busyNs.value_or(0)) / 1e6, want.busyMs, 5);
    }
  }
}

// A GPU in MIG mode: each GPU instance an adapter with its own name, memory
// and processes; no utilisation per process; a refusal said in one line.
TEST_F(NvmlSourceTest, MigInstancesAreAdaptersOfTheirOwn) {
  for (const bool refused : {false, true}) {
    SCOPED_TRACE(refused ? "lists refused" : "lists readable");
    fake_.Reset();
    source_.reset();
    const int gpu = fake_.AddDevice(0, 0x41, 0, 0, 20 * 1024 * kMiB, 60 * 1024 * kMiB);
    fake_.SetMigMode(gpu, nvml::NVML_DEVICE_MIG_ENABLE);
    const int big = fake_.AddMigDevice(gpu, 1, "3g.40gb", 10 * 1024 * kMiB, 30 * 1024 * kMiB);
    const int small = fake_.AddMigDevice(gpu, 5, "1g.10gb", 2 * 1024 * kMiB, 8 * 1024 * kMiB);
    // A second compute instance of GPU instance 1: the same adapter.
    const int bigSecond = fake_.AddMigDevice(gpu, 1, "3g.40gb", 0, 0);
    fake_.AddProcess(big, kFakeNvmlCompute, 300, 4 * 1024 * kMiB);
    fake_.AddProcess(bigSecond, kFakeNvmlCompute, 301, 1024 * kMiB);
    fake_.AddProcess(small, kFakeNvmlCompute, 302, 512 * kMiB);
    // The parent lists aggregates only with privileges: never read in MIG mode.
    fake_.AddProcess(gpu, kFakeNvmlCompute, 300, 5 * 1024 * kMiB);
    if (refused) {
      for (const int mig : {big, small, bigSecond}) {
        fake_.FailCall(mig, "nvmlDeviceGetComputeRunningProcesses", nvml::NVML_ERROR_NO_PERMISSION);
      }
    }
    NvmlSource& source = Source();
    source.Collect(CollectScope{});
    const GpuSnapshot snapshot = source.Collect(CollectScope{});

    const GpuDevice parent{0, 0x4100};
    const GpuDevice first{0, 2u << 16 | 0x4100};
    const GpuDevice fifth{0, 6u << 16 | 0x4100};
    ASSERT_EQ(snapshot.adapters.size(), 3u);
    EXPECT_EQ(snapshot.adapters[0].device, parent);
    EXPECT_EQ(snapshot.adapters[1].device, first);
    EXPECT_EQ(snapshot.adapters[1].name, "Fake NVIDIA GPU 41 MIG 3g.40gb");
    EXPECT_EQ(snapshot.adapters[1].totalCommitted, 10 * 1024 * kMiB);
    EXPECT_EQ(snapshot.adapters[1].free, 30 * 1024 * kMiB);
    EXPECT_EQ(snapshot.adapters[2].device, fifth);
    EXPECT_EQ(snapshot.adapters[2].name, "Fake NVIDIA GPU 41 MIG 1g.10gb");
    EXPECT_EQ(Find(snapshot, 300, parent), nullptr);
    if (refused) {
      EXPECT_TRUE(snapshot.processes.empty());
      ASSERT_EQ(snapshot.notices.size(), 1u);
      EXPECT_EQ(snapshot.notices[0],
                "NVML: the processes of the MIG instances of the GPU at 0000:41:00.0 can be "
                "listed only with privileges this process lacks (NVML_ERROR_NO_PERMISSION); run "
                "as root or grant it CAP_SYS_ADMIN to see them.");
      continue;
    }
    EXPECT_TRUE(snapshot.notices.empty());
    ASSERT_EQ(snapshot.processes.size(), 3u);
    // GPM is not on in this case: no utilisation at all.
    for (const auto& [pid, device, bytes] :
         {std::tuple{300u, first, 4 * 1024 * kMiB}, std::tuple{301u, first, 1024 * kMiB},
          std::tuple{302u, fifth, 512 * kMiB}}) {
      SCOPED_TRACE(pid);
      const ProcessGpuUsage* process = Find(snapshot, pid, device);
      ASSERT_NE(process, nullptr);
      EXPECT_EQ(process->dedicatedUsage, bytes);
      ASSERT_EQ(process->engines.size(), 1u);
      EXPECT_EQ(process->engines[0].utilizationPercent, std::nullopt);
    }
  }
}

// Where the GPU has performance monitoring, a GPU instance's graphics
// utilisation is its process's when it has one, and unknown when several
// share it; every sample the source took is freed with it.
TEST_F(NvmlSourceTest, GpmGivesAnInstancesUtilisationToItsSingleProcess) {
  const int gpu = fake_.AddDevice(0, 0x41, 0, 0, kMiB, kMiB);
  fake_.SetMigMode(gpu, nvml::NVML_DEVICE_MIG_ENABLE);
  const int alone = fake_.AddMigDevice(gpu, 1, "3g.40gb", kMiB, kMiB);
  const int shared = fake_.AddMigDevice(gpu, 2, "3g.40gb", kMiB, kMiB);
  fake_.AddProcess(alone, kFakeNvmlCompute, 400, kMiB);
  fake_.AddProcess(shared, kFakeNvmlCompute, 401, kMiB);
  fake_.AddProcess(shared, kFakeNvmlCompute, 402, kMiB);
  fake_.SetGpmGraphicsUtil(alone, 62.5);
  fake_.SetGpmGraphicsUtil(shared, 40);
  const int heldBefore = fake_.GpmSamplesHeld();
  {
    NvmlSource& source = Source();
    const GpuSnapshot first = source.Collect(CollectScope{});
    const GpuSnapshot second = source.Collect(CollectScope{});
    const struct {
      std::uint32_t pid;
      GpuDevice device;
      std::optional<double> percent;
    } cases[] = {
        {400, {0, 2u << 16 | 0x4100}, 62.5},
        {401, {0, 3u << 16 | 0x4100}, std::nullopt},
        {402, {0, 3u << 16 | 0x4100}, std::nullopt},
    };
    for (const auto& c : cases) {
      SCOPED_TRACE(c.pid);
      const EngineClassUsage* before = Engine(first, c.pid, "3D", c.device);
      const EngineClassUsage* after = Engine(second, c.pid, "3D", c.device);
      ASSERT_NE(before, nullptr);
      ASSERT_NE(after, nullptr);
      EXPECT_EQ(before->utilizationPercent, std::nullopt);  // one sample is no interval
      EXPECT_EQ(after->utilizationPercent, c.percent);
    }
    source_.reset();
  }
  EXPECT_EQ(fake_.GpmSamplesHeld(), heldBefore);
}

TEST_F(NvmlSourceTest, ProcessInSeveralListsIsOneEntry) {
  const int gpu = fake_.AddDevice(0, 3, 0, 0, kMiB, kMiB);
  fake_.AddProcess(gpu, kFakeNvmlCompute, 300, 128 * kMiB);
  fake_.AddProcess(gpu, kFakeNvmlGraphics, 300, 128 * kMiB);
  // Where one list cannot attribute the memory, another list's value stands.
  fake_.AddProcess(gpu, kFakeNvmlGraphics, 301, nvml::NVML_VALUE_NOT_AVAILABLE);
  fake_.AddProcess(gpu, kFakeNvmlMpsCompute, 301, 9 * kMiB);

  const GpuSnapshot snapshot = Source().Collect(CollectScope{});

  ASSERT_EQ(snapshot.processes.size(), 2u);
  EXPECT_EQ(Find(snapshot, 300)->totalCommitted, 128 * kMiB);
  EXPECT_EQ(Find(snapshot, 301)->localUsage, 9 * kMiB);
}

TEST_F(NvmlSourceTest, NotAvailableMemoryLeavesTheMemoryValuesEmpty) {
  const int gpu = fake_.AddDevice(0, 3, 0, 0, kMiB, kMiB);
  fake_.AddProcess(gpu, kFakeNvmlCompute, 12, nvml::NVML_VALUE_NOT_AVAILABLE);

  const GpuSnapshot snapshot = Source().Collect(CollectScope{});

  const ProcessGpuUsage* process = Find(snapshot, 12);
  ASSERT_NE(process, nullptr);
  EXPECT_FALSE(process->localUsage.has_value());
  EXPECT_FALSE(process->dedicatedUsage.has_value());
  EXPECT_FALSE(process->totalCommitted.has_value());
  EXPECT_EQ(process->sharedUsage, 0u);
}

TEST_F(NvmlSourceTest, ListThatGrowsBetweenSizeQueryAndFillIsReadWhole) {
  const int gpu = fake_.AddDevice(0, 3, 0, 0, kMiB, kMiB);
  fake_.AddProcess(gpu, kFakeNvmlCompute, 1, kMiB);
  // Far more than any headroom: the fill must be retried.
  fake_.GrowAfterSizeQuery(gpu, kFakeNvmlCompute, 200, 1000, 2 * kMiB);

  const GpuSnapshot snapshot = Source().Collect(CollectScope{});

  EXPECT_EQ(snapshot.processes.size(), 201u);
  ASSERT_NE(Find(snapshot, 1199), nullptr);
  EXPECT_EQ(Find(snapshot, 1199)->totalCommitted, 2 * kMiB);
}

TEST_F(NvmlSourceTest, DeviceFailuresLeaveOutOnlyWhatFailed) {
  struct Case {
    const char* function;
    int status;
    bool adapterListed;
    bool adapterHasValues;
    bool processListed;
  };
  for (const Case& c : {
           Case{"nvmlDeviceGetHandleByIndex", nvml::NVML_ERROR_GPU_IS_LOST, false, false, false},
           Case{"nvmlDeviceGetPciInfo", nvml::NVML_ERROR_GPU_IS_LOST, false, false, false},
           Case{"nvmlDeviceGetMemoryInfo", nvml::NVML_ERROR_NO_PERMISSION, true, false, true},
           Case{"nvmlDeviceGetName", nvml::NVML_ERROR_GPU_IS_LOST, true, true, true},
           Case{"nvmlDeviceGetComputeRunningProcesses", nvml::NVML_ERROR_NO_PERMISSION, true, true,
                false},
           Case{"nvmlDeviceGetComputeRunningProcesses", nvml::NVML_ERROR_GPU_IS_LOST, true, true,
                false},
       }) {
    SCOPED_TRACE(std::string(c.function) + " " + std::to_string(c.status));
    fake_.Reset();
    source_.reset();
    const int broken = fake_.AddDevice(0, 3, 0, 0, kMiB, kMiB);
    const int healthy = fake_.AddDevice(0, 4, 0, 0, 5 * kMiB, 6 * kMiB);
    fake_.AddProcess(broken, kFakeNvmlCompute, 50, kMiB);
    fake_.AddProcess(healthy, kFakeNvmlCompute, 51, 8 * kMiB);
    fake_.FailCall(broken, c.function, c.status);

    const GpuSnapshot snapshot = Source().Collect(CollectScope{});

    const GpuDevice healthyName{0, 0x400};
    ASSERT_NE(Find(snapshot, 51, healthyName), nullptr);
    EXPECT_EQ(Find(snapshot, 51, healthyName)->totalCommitted, 8 * kMiB);
    EXPECT_EQ(Find(snapshot, 50) != nullptr, c.processListed);
    const auto adapter = std::find_if(snapshot.adapters.begin(), snapshot.adapters.end(),
                                      [](const AdapterUsage& a) { return a.device.low == 0x300; });
    ASSERT_EQ(adapter != snapshot.adapters.end(), c.adapterListed);
    if (c.adapterListed) {
      EXPECT_EQ(adapter->totalCommitted.has_value(), c.adapterHasValues);
      EXPECT_EQ(adapter->free.has_value(), c.adapterHasValues);
      EXPECT_EQ(adapter->name.empty(), std::string_view(c.function) == "nvmlDeviceGetName");
    }
  }
}

TEST_F(NvmlSourceTest, CollectsOnlyTheProcessesInScope) {
  const int gpu = fake_.AddDevice(0, 3, 0, 0, kMiB, kMiB);
  for (unsigned pid : {5u, 6u, 7u}) fake_.AddProcess(gpu, kFakeNvmlCompute, pid, kMiB);
  NvmlSource& source = Source();

  const GpuSnapshot some = source.Collect(CollectScope{false, {5, 7}});
  ASSERT_EQ(some.processes.size(), 2u);
  EXPECT_EQ(Find(some, 6), nullptr);

  const int fillsBefore = fake_.ProcessListFills();
  const GpuSnapshot none = source.Collect(CollectScope{false, {}});
  EXPECT_TRUE(none.processes.empty());
  EXPECT_EQ(none.adapters.size(), 1u);
  EXPECT_EQ(fake_.ProcessListFills(), fillsBefore);  // the lists were not even read
}

TEST_F(NvmlSourceTest, LibraryThatCannotBeUsedGivesNoSource) {
  EXPECT_EQ(NvmlLibrary::Load("libnvidia-ml-absent.so.1"), nullptr);

  fake_.SetStub(1);
  EXPECT_EQ(NvmlLibrary::Load(fake_.Path().c_str()), nullptr);
  fake_.SetStub(0);

  fake_.SetInitResult(nvml::NVML_ERROR_DRIVER_NOT_LOADED);
  EXPECT_EQ(NvmlLibrary::Load(fake_.Path().c_str()), nullptr);
  EXPECT_EQ(fake_.InitCount(), initCountBefore_);
  fake_.SetInitResult(nvml::NVML_SUCCESS);

  // A working library is initialised once, and only while it is held.
  auto library = NvmlLibrary::Load(fake_.Path().c_str());
  ASSERT_NE(library, nullptr);
  EXPECT_EQ(fake_.InitCount(), initCountBefore_ + 1);
  library.reset();
  EXPECT_EQ(fake_.InitCount(), initCountBefore_);
}

TEST_F(NvmlSourceTest, KeeperRetriesAFailedLoadAfterASecondAndReloadsADroppedOneAtOnce) {
  constexpr std::uint64_t kSecond = kNvmlRetryIntervalNs;
  NvmlKeeper keeper(fake_.Path());
  fake_.SetStub(1);
  EXPECT_EQ(keeper.Acquire(10 * kSecond), nullptr);

  fake_.SetStub(0);                                      // the driver is installed meanwhile
  EXPECT_EQ(keeper.Acquire(11 * kSecond - 1), nullptr);  // not looked for again yet
  std::shared_ptr<const NvmlLibrary> found = keeper.Acquire(11 * kSecond);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(keeper.Acquire(11 * kSecond), found);  // kept, not loaded again
  EXPECT_EQ(fake_.InitCount(), initCountBefore_ + 1);

  // The kernel driver is reloaded under the kept library: a working one is
  // loaded in the same request, not a second later.
  found.reset();
  fake_.RestartDriver();
  std::shared_ptr<const NvmlLibrary> reloaded = keeper.Acquire(11 * kSecond + 1);
  ASSERT_NE(reloaded, nullptr);
  unsigned int count = 0;
  EXPECT_EQ(reloaded->Functions().deviceGetCount(&count), nvml::NVML_SUCCESS);
  EXPECT_EQ(fake_.InitCount(), initCountBefore_ + 1);
}

TEST(NvmlLayoutTest, ChoosesTheStructEachVersionFills) {
  struct Case {
    int version;
    bool confCompute;
    bool detailList;
    ProcessInfoLayout expected;
  };
  for (const Case& c : {
           Case{3, false, false, ProcessInfoLayout::kV2},  // R510 to R530
           Case{3, true, false, ProcessInfoLayout::kV3},   // R535.43 to R535.86
           Case{3, true, true, ProcessInfoLayout::kV2},    // R535.104 and later
           Case{2, true, false, ProcessInfoLayout::kV2},
           Case{1, false, false, ProcessInfoLayout::kV1},
       }) {
    EXPECT_EQ(ChooseProcessInfoLayout(c.version, c.confCompute, c.detailList), c.expected)
        << c.version << c.confCompute << c.detailList;
  }
}

// Each generation of driver fills its own struct; a wrong stride would garble
// every entry after the first.
TEST(NvmlDriverGenerationTest, EveryGenerationReadsTheSameProcesses) {
  for (const char* path : {FAKE_NVML_PATH, FAKE_NVML_R535_PATH, FAKE_NVML_LEGACY_PATH}) {
    SCOPED_TRACE(path);
    FakeNvmlControl fake(path);
    if (!fake.Loaded()) GTEST_SKIP() << "fake NVML not built at " << path;
    const int gpu = fake.AddDevice(0, 3, 0, 0, 100 * kMiB, 200 * kMiB);
    fake.AddProcess(gpu, kFakeNvmlCompute, 21, 1 * kMiB);
    fake.AddProcess(gpu, kFakeNvmlCompute, 22, 2 * kMiB);
    fake.AddProcess(gpu, kFakeNvmlGraphics, 23, 3 * kMiB);
    fake.AddProcess(gpu, kFakeNvmlGraphics, 24, 4 * kMiB);

    std::shared_ptr<const NvmlLibrary> library = NvmlLibrary::Load(path);
    ASSERT_NE(library, nullptr);
    BusyTimeLedger ledger;
    const GpuSnapshot snapshot =
        NvmlSource(library, ledger, MonotonicNanoseconds).Collect(CollectScope{});

    ASSERT_EQ(snapshot.processes.size(), 4u);
    for (std::uint32_t pid = 21; pid <= 24; ++pid) {
      ASSERT_NE(Find(snapshot, pid), nullptr) << pid;
      EXPECT_EQ(Find(snapshot, pid)->totalCommitted, (pid - 20) * kMiB);
    }
    ASSERT_EQ(snapshot.adapters.size(), 1u);
    EXPECT_EQ(snapshot.adapters[0].device, (GpuDevice{0, 0x300}));
    EXPECT_EQ(snapshot.adapters[0].totalCommitted, 100 * kMiB);
  }
}

TEST(NvmlDeviceNameTest, FunctionComesFromTheBusIdText) {
  struct Case {
    unsigned domain, bus, device;
    const char* busId;
    GpuDevice expected;
  };
  for (const Case& c : {
           Case{0, 3, 0, "00000000:03:00.0", {0, 0x300}},
           Case{0, 0x81, 0x1f, "0000:81:1F.7", {0, 0x81FF}},
           Case{0x10002, 0xff, 1, "00010002:ff:01.3", {0x10002, 0xFF0B}},
           Case{0, 3, 0, "", {0, 0x300}},                  // no text: function 0
           Case{0, 3, 0, "00000000:03:00.x", {0, 0x300}},  // unreadable: function 0
       }) {
    EXPECT_EQ(DeviceFromPciInfo(c.domain, c.bus, c.device, c.busId), c.expected) << c.busId;
  }
}

}  // namespace
}  // namespace gpuproc

namespace gpuproc {
namespace {

class NvmlHealthTest : public NvmlSourceTestBase {};

TEST_F(NvmlHealthTest, EveryHealthCallFillsItsMemberAndAFailureOnlyItsOwn) {
  const int gpu = fake_.AddDevice(0, 3, 0, 0, 1024 * kMiB, 7168 * kMiB);
  fake_.SetHealth(gpu, 287'500, 450'000, 123'456'789, 83, 91, 2520, 10501, 1700, 97);
  const auto health = [&] {
    const GpuSnapshot snapshot = Source().Collect(CollectScope{});
    EXPECT_EQ(snapshot.adapters.size(), 1u);
    EXPECT_TRUE(snapshot.adapters[0].readHealth);
    return snapshot.adapters[0].readHealth();
  };
  const DeviceHealth full = health();
  EXPECT_DOUBLE_EQ(full.powerWatts.value_or(-1), 287.5);
  EXPECT_DOUBLE_EQ(full.powerLimitWatts.value_or(-1), 450.0);
  EXPECT_DOUBLE_EQ(full.energyJoules.value_or(-1), 123456.789);
  EXPECT_EQ(full.temperatures, (std::map<std::string, double>{{"gpu", 83}}));
  EXPECT_EQ(full.slowdownTemperatures, (std::map<std::string, double>{{"gpu", 91}}));
  // The board has graphics and memory clock domains only.
  EXPECT_EQ(full.clocks,
            (std::map<std::string, double>{{"graphics", 2.52e9}, {"memory", 1.0501e10}}));
  EXPECT_EQ(full.fanRpm, 1700.0);
  EXPECT_EQ(full.busyPercent, 97.0);
  EXPECT_FALSE(full.packagePower);

  fake_.FailCall(gpu, "nvmlDeviceGetPowerUsage", nvml::NVML_ERROR_NOT_SUPPORTED);
  fake_.FailCall(gpu, "nvmlDeviceGetTemperature", nvml::NVML_ERROR_GPU_IS_LOST);
  const DeviceHealth partial = health();
  EXPECT_FALSE(partial.powerWatts);
  EXPECT_TRUE(partial.temperatures.empty());
  // Without a temperature its threshold means nothing either.
  EXPECT_TRUE(partial.slowdownTemperatures.empty());
  EXPECT_DOUBLE_EQ(partial.energyJoules.value_or(-1), 123456.789);
  EXPECT_EQ(partial.busyPercent, 97.0);
}

TEST_F(NvmlHealthTest, BoardWithoutSensorsAndEnumerationsReadNothing) {
  fake_.AddDevice(0, 3, 0, 0, 1024 * kMiB, 7168 * kMiB);
  const GpuSnapshot snapshot = Source().Collect(CollectScope{});
  const DeviceHealth health = snapshot.adapters.at(0).readHealth();
  EXPECT_FALSE(health.powerWatts || health.powerLimitWatts || health.energyJoules ||
               health.fanRpm || health.busyPercent);
  EXPECT_TRUE(health.temperatures.empty() && health.clocks.empty());
  // A collection for names only hands out no reader.
  CollectScope names;
  names.adapterValues = false;
  EXPECT_FALSE(Source().Collect(names).adapters.at(0).readHealth);
}

}  // namespace
}  // namespace gpuproc
