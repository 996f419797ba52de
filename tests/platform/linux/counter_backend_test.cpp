// The Linux counter back end: paths, statuses, reads, enumeration, merging.
#include "platform/linux/counter_backend.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>

#include "platform/linux/pdh_status.h"

namespace gpuproc {
namespace {

AdapterUsage Adapter(GpuDevice device, std::optional<std::uint64_t> totalCommitted,
                     std::optional<std::uint64_t> free) {
  AdapterUsage adapter;
  adapter.device = device;
  adapter.totalCommitted = totalCommitted;
  adapter.free = free;
  return adapter;
}

using ::testing::ElementsAre;

constexpr GpuDevice kDeviceA{0, 0x0300};
constexpr GpuDevice kDeviceB{0, 0x0400};
const std::u16string kProcessA = u"pid_7_luid_0x00000000_0x00000300_phys_0";
const std::u16string kProcessB = u"pid_7_luid_0x00000000_0x00000400_phys_0";

// A source that replays one snapshot per collection (the last one repeats)
// and records the scope of every collection.
struct ScriptedSource : GpuSource {
  std::vector<GpuSnapshot> snapshots;
  std::vector<CollectScope>* scopes = nullptr;
  std::size_t next = 0;
  GpuSnapshot Collect(const CollectScope& scope) override {
    if (scopes != nullptr) scopes->push_back(scope);
    const GpuSnapshot& snapshot = snapshots.at(std::min(next, snapshots.size() - 1));
    ++next;
    return snapshot;
  }
};

GpuSourceEntry Replaying(std::vector<GpuSnapshot> snapshots,
                         std::vector<CollectScope>* scopes = nullptr) {
  return {"scripted", [snapshots, scopes](const GpuSourceContext&) {
            auto source = std::make_unique<ScriptedSource>();
            source->snapshots = snapshots;
            source->scopes = scopes;
            return source;
          }};
}

ProcessGpuUsage Usage(std::uint32_t processId, GpuDevice device, std::uint64_t local,
                      std::vector<EngineClassUsage> engines = {}) {
  ProcessGpuUsage usage;
  usage.processId = processId;
  usage.device = device;
  usage.localUsage = local;
  usage.sharedUsage = 1;
  usage.dedicatedUsage = local;
  usage.totalCommitted = local + 1;
  usage.engines = std::move(engines);
  return usage;
}

class Backend : public ::testing::Test {
 protected:
  std::unique_ptr<CounterBackend> backend;
  QueryHandle query = nullptr;

  void Start(std::vector<GpuSourceEntry> sources) {
    backend =
        std::make_unique<CounterBackend>(std::move(sources), HostFs("/nonexistent", "/nonexistent"),
                                         [] { return std::uint64_t{0}; });
    ASSERT_EQ(backend->OpenQuery(&query), kPdhSuccess);
  }
  CounterHandle Add(std::u16string_view path) {
    CounterHandle counter = nullptr;
    EXPECT_EQ(backend->AddCounter(query, path, &counter), kPdhSuccess);
    return counter;
  }
  std::optional<double> Read(CounterHandle counter) {
    double value = 0;
    if (backend->GetFormattedCounterValue(counter, &value) != kPdhSuccess) return std::nullopt;
    return value;
  }
  void Collect(int times) {
    for (int i = 0; i < times; ++i) ASSERT_EQ(backend->CollectQueryData(query), kPdhSuccess);
  }
};

TEST_F(Backend, RefusesPathsWithThePdhStatuses) {
  Start({});
  const std::pair<std::u16string, PdhStatus> cases[] = {
      {u"\\GPU Nothing\\Free", pdh::kNoObject},
      {u"\\GPU Adapter Memory\\Used", pdh::kNoCounter},
      {u"\\GPU Engine(x)\\Local Usage", pdh::kNoCounter},
      {u"GPU Adapter Memory\\Free", pdh::kBadCounterName},
      {u"\\GPU Engine(x\\Utilization Percentage", pdh::kBadCounterName},
  };
  for (const auto& [path, status] : cases) {
    CounterHandle counter = nullptr;
    EXPECT_EQ(backend->AddCounter(query, path, &counter), status);
    EXPECT_EQ(counter, nullptr);
  }
  EXPECT_EQ(pdh::kNoObject, -1073738824);
}

TEST_F(Backend, UnknownInstanceIsAcceptedButCannotBeRead) {
  Start({Replaying({GpuSnapshot{{Usage(7, kDeviceA, 4096)}, {}}})});
  const CounterHandle missing =
      Add(u"\\GPU Process Memory(pid_8_luid_0x00000000_0x00000300_phys_0)\\Local Usage");
  const CounterHandle present = Add(u"\\GPU Process Memory(" + kProcessA + u")\\Local Usage");
  Collect(2);
  EXPECT_EQ(Read(missing), std::nullopt);
  EXPECT_EQ(Read(present), 4096.0);
}

TEST_F(Backend, ReadsNeedTheirCollections) {
  EngineClassUsage busy{"3D", 30.0};
  Start({Replaying({GpuSnapshot{{Usage(7, kDeviceA, 4096, {busy})}, {}}})});
  const CounterHandle memory = Add(u"\\GPU Process Memory(" + kProcessA + u")\\Local Usage");
  const CounterHandle engine =
      Add(u"\\GPU Engine(" + kProcessA + u"*engtype_3D)\\Utilization Percentage");
  EXPECT_EQ(Read(memory), std::nullopt);
  Collect(1);
  EXPECT_EQ(Read(memory), 4096.0);
  EXPECT_EQ(Read(engine), std::nullopt);  // a rate needs a second collection
  Collect(1);
  EXPECT_EQ(Read(engine), 30.0);
  // A counter added now starts over, whatever the query collected before.
  const CounterHandle late =
      Add(u"\\GPU Engine(" + kProcessA + u"*engtype_3D)\\Utilization Percentage");
  Collect(1);
  EXPECT_EQ(Read(late), std::nullopt);
}

TEST_F(Backend, WildcardUtilisationIsTheBusiestEngineAndMemoryWithoutInstanceIsASum) {
  const std::vector<EngineClassUsage> engines = {
      {"3D", 10.0}, {"Compute", 90.0}, {"3D", 45.5}, {"3D", std::nullopt}};
  AdapterUsage adapterA = Adapter(kDeviceA, 1000, 5000);
  AdapterUsage adapterB = Adapter(kDeviceB, std::nullopt, 7000);
  Start({Replaying({GpuSnapshot{{Usage(7, kDeviceA, 4096, engines), Usage(7, kDeviceB, 100)},
                                {adapterA, adapterB}}})});
  const CounterHandle engine =
      Add(u"\\GPU Engine(" + kProcessA + u"*engtype_3D)\\Utilization Percentage");
  const CounterHandle allLocal = Add(u"\\GPU Process Memory(*)\\Local Usage");
  const CounterHandle total = Add(u"\\GPU Adapter Memory\\Total Committed");
  const CounterHandle free = Add(u"\\GPU Adapter Memory\\Free");
  const CounterHandle oneFree =
      Add(u"\\GPU Adapter Memory(luid_0x00000000_0x00000400_phys_0)\\Free");
  Collect(2);
  EXPECT_EQ(Read(engine), 45.5);
  EXPECT_EQ(Read(allLocal), 4196.0);
  EXPECT_EQ(Read(total), 1000.0);  // only devices that have a value
  EXPECT_EQ(Read(free), 12000.0);
  EXPECT_EQ(Read(oneFree), 7000.0);
}

TEST_F(Backend, MissingValuesFailTheirReadsInsteadOfReadingZero) {
  ProcessGpuUsage usage;
  usage.processId = 7;
  usage.device = kDeviceA;
  usage.engines = {{"3D", std::nullopt}};
  Start({Replaying({GpuSnapshot{{usage}, {Adapter(kDeviceA, std::nullopt, std::nullopt)}}})});
  const CounterHandle memory = Add(u"\\GPU Process Memory(" + kProcessA + u")\\Dedicated Usage");
  const CounterHandle engine =
      Add(u"\\GPU Engine(" + kProcessA + u"*engtype_3D)\\Utilization Percentage");
  const CounterHandle adapter = Add(u"\\GPU Adapter Memory\\Free");
  Collect(2);
  EXPECT_EQ(Read(memory), std::nullopt);
  EXPECT_EQ(Read(engine), std::nullopt);
  EXPECT_EQ(Read(adapter), std::nullopt);
}

TEST_F(Backend, CollectionsScanOnlyTheProcessesTheCountersName) {
  std::vector<CollectScope> scopes;
  Start({Replaying({GpuSnapshot{}}, &scopes)});
  Add(u"\\GPU Adapter Memory\\Free");
  Collect(1);
  const CounterHandle one = Add(u"\\GPU Process Memory(pid_9_luid_x)\\Local Usage");
  Add(u"\\GPU Engine(pid_3_luid_x*engtype_3D)\\Utilization Percentage");
  Collect(1);
  Add(u"\\GPU Engine(pid_3*engtype_3D)\\Utilization Percentage");  // could be pid_31
  Collect(1);
  ASSERT_EQ(backend->RemoveCounter(one), kPdhSuccess);
  ASSERT_EQ(scopes.size(), 3u);
  EXPECT_FALSE(scopes[0].allProcesses);
  EXPECT_TRUE(scopes[0].processIds.empty());
  EXPECT_FALSE(scopes[1].allProcesses);
  EXPECT_THAT(scopes[1].processIds, ElementsAre(3u, 9u));
  EXPECT_TRUE(scopes[2].allProcesses);
}

TEST_F(Backend, ArrayReadsListEveryCoveredInstanceWithItsStatus) {
  ProcessGpuUsage unread = Usage(8, kDeviceA, 0, {{"Copy", 5.0}});
  unread.dedicatedUsage.reset();
  Start({Replaying(
      {GpuSnapshot{{Usage(7, kDeviceA, 4096, {{"3D", 12.5}, {"3D", std::nullopt}}), unread},
                   {Adapter(kDeviceA, 1000, std::nullopt)}}})});
  const CounterHandle dedicated = Add(u"\\GPU Process Memory(*)\\Dedicated Usage");
  const CounterHandle engines = Add(u"\\GPU Engine(*)\\Utilization Percentage");
  const CounterHandle free = Add(u"\\GPU Adapter Memory(*)\\Free");
  const auto read = [&](CounterHandle counter) {
    std::vector<CounterItem> items;
    const PdhStatus status = backend->GetFormattedCounterArray(counter, &items);
    std::vector<std::string> shown;
    for (const CounterItem& item : items) {
      shown.push_back(std::string(item.instance.begin(), item.instance.end()) + " " +
                      std::to_string(item.status) + " " + std::to_string(item.value));
    }
    return std::make_pair(status, shown);
  };
  Collect(1);
  EXPECT_EQ(read(engines).first, pdh::kInvalidData);  // a rate needs a second collection
  Collect(1);
  const std::string invalid = std::to_string(0xC0000BBAu);
  EXPECT_THAT(read(dedicated).second,
              ElementsAre("pid_7_luid_0x00000000_0x00000300_phys_0 0 4096.000000",
                          "pid_8_luid_0x00000000_0x00000300_phys_0 " + invalid + " 0.000000"));
  EXPECT_THAT(read(engines).second,
              ElementsAre("pid_7_luid_0x00000000_0x00000300_phys_0_eng_0_engtype_3D 0 12.500000",
                          "pid_7_luid_0x00000000_0x00000300_phys_0_eng_1_engtype_3D " + invalid +
                              " 0.000000",
                          "pid_8_luid_0x00000000_0x00000300_phys_0_eng_0_engtype_Copy 0 5.000000"));
  EXPECT_THAT(read(free).second,
              ElementsAre("luid_0x00000000_0x00000300_phys_0 " + invalid + " 0.000000"));
  std::vector<CounterItem> items;
  int notAHandle = 0;
  EXPECT_EQ(backend->GetFormattedCounterArray(&notAHandle, &items), pdh::kInvalidHandle);
}

TEST_F(Backend, ASecondCollectionOverEveryProcessRescansOnlyWhatTheFirstFound) {
  std::vector<CollectScope> scopes;
  Start({Replaying(
      {GpuSnapshot{{Usage(9, kDeviceA, 1), Usage(4, kDeviceA, 1), Usage(4, kDeviceB, 1)}, {}}},
      &scopes)});
  Add(u"\\GPU Process Memory(*)\\Local Usage");
  Collect(3);
  ASSERT_EQ(scopes.size(), 3u);
  EXPECT_TRUE(scopes[0].allProcesses);
  EXPECT_FALSE(scopes[1].allProcesses);
  EXPECT_THAT(scopes[1].processIds, ElementsAre(4u, 9u));
  EXPECT_TRUE(scopes[2].allProcesses);  // the next pair starts with a full scan again
}

TEST_F(Backend, HandlesOutsideTheBackEndAreRefused) {
  Start({});
  int notAHandle = 0;
  double value = 0;
  CounterHandle counter = nullptr;
  EXPECT_EQ(backend->AddCounter(&notAHandle, u"\\GPU Adapter Memory\\Free", &counter),
            pdh::kInvalidHandle);
  EXPECT_EQ(backend->GetFormattedCounterValue(&notAHandle, &value), pdh::kInvalidHandle);
  EXPECT_EQ(backend->RemoveCounter(&notAHandle), pdh::kInvalidHandle);
  EXPECT_EQ(backend->CloseQuery(&notAHandle), pdh::kInvalidHandle);
  EXPECT_EQ(backend->CloseQuery(query), kPdhSuccess);
  EXPECT_EQ(backend->CloseQuery(query), pdh::kInvalidHandle);
}

TEST_F(Backend, EnumerationFollowsTheTwoCallSizeProtocol) {
  Start({Replaying(
      {GpuSnapshot{{Usage(12, kDeviceB, 1), Usage(7, kDeviceB, 1), Usage(7, kDeviceA, 1)}, {}}})});
  std::uint32_t counterLength = 0;
  std::uint32_t instanceLength = 0;
  EXPECT_EQ(backend->EnumObjectItems(u"GPU Process Memory", nullptr, &counterLength, nullptr,
                                     &instanceLength),
            pdh::kMoreData);
  const std::u16string expected = kProcessA + u'\0' + kProcessB + u'\0' +
                                  u"pid_12_luid_0x00000000_0x00000400_phys_0" + u'\0' + u'\0';
  const std::u16string counterNames =
      std::u16string(u"Local Usage\0Shared Usage\0Dedicated Usage\0Total Committed\0\0", 58);
  ASSERT_EQ(instanceLength, expected.size());
  ASSERT_EQ(counterLength, counterNames.size());

  // Too small a buffer is refused with the sizes needed, and nothing written.
  std::u16string tooSmall(5, u'#');
  std::u16string counters(counterLength, u'\0');
  std::uint32_t smallLength = 5;
  EXPECT_EQ(backend->EnumObjectItems(u"GPU Process Memory", counters.data(), &counterLength,
                                     tooSmall.data(), &smallLength),
            pdh::kMoreData);
  EXPECT_EQ(smallLength, expected.size());
  EXPECT_EQ(tooSmall, u"#####");

  std::u16string instances(instanceLength, u'\0');
  EXPECT_EQ(backend->EnumObjectItems(u"GPU Process Memory", counters.data(), &counterLength,
                                     instances.data(), &instanceLength),
            kPdhSuccess);
  EXPECT_EQ(instances, expected);
  EXPECT_EQ(counters, counterNames);

  std::uint32_t none = 0;
  EXPECT_EQ(backend->EnumObjectItems(u"GPU Nothing", nullptr, &none, nullptr, &none),
            pdh::kNoObject);
}

TEST(MergeSnapshots, EarlierSourceOwnsADeviceAndInstancesAreOrdered) {
  GpuSnapshot nvml{{Usage(9, kDeviceB, 1000)}, {Adapter(kDeviceB, 1, 2)}};
  GpuSnapshot drm{{Usage(9, kDeviceB, 5), Usage(9, kDeviceA, 6, {{"3D", 1.0}, {"Copy", 2.0}}),
                   Usage(2, kDeviceB, 7), Usage(9, kDeviceA, 8)},
                  {Adapter(kDeviceB, 3, 4), Adapter(kDeviceA, 5, 6)}};
  const CounterValues values = MergeSnapshots({nvml, drm});

  ASSERT_EQ(values.processes.size(), 2u);
  EXPECT_EQ(values.processes[0].name, kProcessA.substr(0, 4) + u"9" + kProcessA.substr(5));
  EXPECT_EQ(values.processes[0].localUsage, 6u);  // the first of a duplicated pair
  EXPECT_EQ(values.processes[1].name, u"pid_9_luid_0x00000000_0x00000400_phys_0");
  EXPECT_EQ(values.processes[1].localUsage, 1000u);  // NVML's, not DRM's
  ASSERT_EQ(values.engines.size(), 2u);
  EXPECT_EQ(values.engines[1].name, u"pid_9_luid_0x00000000_0x00000300_phys_0_eng_1_engtype_Copy");
  ASSERT_EQ(values.adapters.size(), 2u);
  EXPECT_EQ(values.adapters[0].name, u"luid_0x00000000_0x00000300_phys_0");
  EXPECT_EQ(values.adapters[1].free, 2u);
}

// KFD beside DRM fdinfo on one GPU: VRAM counted once, the larger of the two
// readings, its difference carried into Local and Total Committed; KFD's
// engines join DRM's; a process only KFD sees is listed as well.
TEST(MergeSnapshots, SupplementingSourceCountsDeviceMemoryOnce) {
  constexpr std::uint64_t kMiB = 1 << 20;
  const auto memory = [](std::uint32_t pid, std::optional<std::uint64_t> dedicated,
                         std::optional<std::uint64_t> local, std::optional<std::uint64_t> shared,
                         std::optional<std::uint64_t> committed) {
    ProcessGpuUsage usage;
    usage.processId = pid;
    usage.device = kDeviceA;
    usage.dedicatedUsage = dedicated;
    usage.localUsage = local;
    usage.sharedUsage = shared;
    usage.totalCommitted = committed;
    return usage;
  };
  const struct {
    const char* what;
    ProcessGpuUsage drm, kfd;
    std::optional<std::uint64_t> dedicated, local, shared, committed;
  } cases[] = {
      {"KFD's larger", memory(7, 512 * kMiB, 512 * kMiB, 40 * kMiB, 816 * kMiB),
       memory(7, 8192 * kMiB, 8192 * kMiB, 0, 8192 * kMiB), 8192 * kMiB, 8192 * kMiB, 40 * kMiB,
       8496 * kMiB},
      {"DRM's larger", memory(7, 2048 * kMiB, 2048 * kMiB, 8 * kMiB, 2100 * kMiB),
       memory(7, 1024 * kMiB, 1024 * kMiB, 0, 1024 * kMiB), 2048 * kMiB, 2048 * kMiB, 8 * kMiB,
       2100 * kMiB},
      {"an APU: Local holds shared memory too",
       memory(7, 256 * kMiB, 1280 * kMiB, 1024 * kMiB, 1420 * kMiB),
       memory(7, 512 * kMiB, 512 * kMiB, 0, 512 * kMiB), 512 * kMiB, 1536 * kMiB, 1024 * kMiB,
       1676 * kMiB},
      {"DRM without memory keys", memory(7, std::nullopt, std::nullopt, std::nullopt, std::nullopt),
       memory(7, 64 * kMiB, 64 * kMiB, 0, 64 * kMiB), 64 * kMiB, 64 * kMiB, 0, 64 * kMiB},
      {"KFD without VRAM", memory(7, 5, 5, 1, 6),
       memory(7, std::nullopt, std::nullopt, std::nullopt, std::nullopt), 5, 5, 1, 6},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    GpuSnapshot drm{{c.drm}, {Adapter(kDeviceA, 1, 2)}};
    drm.processes[0].engines = {{"3D", 1.0}};
    GpuSnapshot kfd{{c.kfd, memory(8, 99, 99, 0, 99)}, {}};
    kfd.processes[0].engines = {{"Copy", 2.0}, {"Compute", 3.0}};
    kfd.supplementsEarlierSources = true;
    const CounterValues values = MergeSnapshots({drm, kfd});

    ASSERT_EQ(values.processes.size(), 2u);
    const CounterValues::ProcessInstance& both = values.processes[0];
    EXPECT_EQ(both.dedicatedUsage, c.dedicated);
    EXPECT_EQ(both.localUsage, c.local);
    EXPECT_EQ(both.sharedUsage, c.shared);
    EXPECT_EQ(both.totalCommitted, c.committed);
    EXPECT_EQ(values.processes[1].name, u"pid_8_luid_0x00000000_0x00000300_phys_0");
    EXPECT_EQ(values.processes[1].dedicatedUsage, 99u);
    ASSERT_EQ(values.engines.size(), 3u);
    EXPECT_EQ(values.engines[2].name, kProcessA + u"_eng_2_engtype_Compute");
    ASSERT_EQ(values.adapters.size(), 1u);
  }
}

}  // namespace
}  // namespace gpuproc
