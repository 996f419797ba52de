#include "platform/linux/drm_fdinfo_source.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/busy_time_ledger.h"
#include "platform/linux/host_fs.h"

namespace gpuproc {
namespace {

constexpr std::uint64_t kKiB = 1024;
constexpr std::uint64_t kMiB = 1024 * 1024;
constexpr std::uint64_t kMillisecond = 1000 * 1000;
constexpr GpuDevice kPciDevice0300{0, 0x300};

std::string FixtureDir(const std::string& tree) {
  return std::string(GPUPROC_FIXTURES_DIR) + "/" + tree;
}

// A source over one tree with a clock the test moves.
struct SourceUnderTest {
  explicit SourceUnderTest(std::string procRoot, std::string sysRoot)
      : fs(std::move(procRoot), std::move(sysRoot)),
        source(CreateDrmFdinfoSource(GpuSourceContext{fs, [this] { return now; }, ledger})) {}
  explicit SourceUnderTest(const std::string& tree)
      : SourceUnderTest(FixtureDir(tree) + "/proc", FixtureDir(tree) + "/sys") {}

  GpuSnapshot Collect(CollectScope scope = {}) { return source->Collect(scope); }

  std::uint64_t now = 1'000 * kMillisecond;
  BusyTimeLedger ledger;
  HostFs fs;
  std::unique_ptr<GpuSource> source;
};

std::vector<std::string> Types(const ProcessGpuUsage& usage) {
  std::vector<std::string> types;
  for (const EngineClassUsage& engine : usage.engines) types.push_back(engine.type);
  return types;
}

struct Expected {
  std::uint32_t processId;
  GpuDevice device;
  std::optional<std::uint64_t> local, shared, dedicated, committed;
  std::vector<std::string> types;
  std::optional<double> firstEngineUse;  // after a second, unchanged collection
};

TEST(DrmFdinfoSource, RecordedTreesPerDriver) {
  const std::optional<std::uint64_t> none;
  const struct {
    const char* tree;
    std::vector<Expected> processes;
  } cases[] = {
      {"amdgpu-legacy",
       {{1000,
         kPciDevice0300,
         256 * kMiB,
         16 * kMiB,
         256 * kMiB,
         272 * kMiB,
         {"3D", "Copy"},
         0.0}}},
      {"amdgpu",
       {{1010,
         kPciDevice0300,
         512 * kMiB,
         40 * kMiB,
         512 * kMiB,
         816 * kMiB,
         {"3D", "Compute", "VideoDecode"},
         0.0}}},
      {"i915",
       {{1100,
         kPciDevice0300,
         256 * kMiB,
         24 * kMiB,
         256 * kMiB,
         324 * kMiB,
         {"3D", "Copy", "VideoDecode", "VideoProcessing", "Compute"},
         0.0},
        {1101,
         GpuDevice{0, 0x10},
         none,
         none,
         none,
         none,
         {"3D", "Copy", "VideoDecode", "VideoProcessing"},
         0.0}}},
      // The GPU timestamp did not advance between the two reads of the tree.
      {"xe",
       {{1200,
         kPciDevice0300,
         520 * kMiB,
         32 * kMiB,
         520 * kMiB,
         680 * kMiB,
         {"3D", "Copy", "VideoDecode", "VideoProcessing", "Compute"},
         std::nullopt}}},
      {"msm",
       {{1300, GpuDevice{kNonPciDeviceHigh, 0}, 56 * kMiB, 56 * kMiB, 0, 64 * kMiB, {"3D"}, 0.0}}},
      // renderD128 belongs to card1: the device is named by its card.
      {"panfrost",
       {{1400,
         GpuDevice{kNonPciDeviceHigh, 1},
         36496 * kKiB,
         36496 * kKiB,
         0,
         290 * kMiB,
         {"3D", "3D"},
         0.0}}},
      {"panthor",
       {{1500,
         GpuDevice{kNonPciDeviceHigh, 0},
         16480 * kKiB,
         16480 * kKiB,
         0,
         16480 * kKiB,
         {"3D"},
         0.0}}},
      {"v3d",
       {{1600,
         GpuDevice{kNonPciDeviceHigh, 0},
         19 * kMiB,
         19 * kMiB,
         0,
         19 * kMiB,
         {"3D", "3D", "tfu", "Compute", "cache_clean"},
         0.0}}},
      // Two devices in device order; the dup()ed amdgpu fd counted once; no
      // data for the process without fdinfo or for the driver without stats.
      {"multi",
       {{2000,
         GpuDevice{0, 0x10},
         96 * kMiB,
         96 * kMiB,
         0,
         128 * kMiB,
         {"3D", "Copy", "VideoDecode", "VideoProcessing"},
         0.0},
        {2000, kPciDevice0300, 128 * kMiB, 8 * kMiB, 128 * kMiB, 264 * kMiB, {"3D"}, 0.0}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.tree);
    SourceUnderTest source(c.tree);
    const GpuSnapshot first = source.Collect();
    source.now += 50 * kMillisecond;
    const GpuSnapshot second = source.Collect();
    ASSERT_EQ(second.processes.size(), c.processes.size());
    ASSERT_EQ(first.processes.size(), c.processes.size());
    for (std::size_t i = 0; i < c.processes.size(); ++i) {
      const Expected& want = c.processes[i];
      const ProcessGpuUsage& got = second.processes[i];
      SCOPED_TRACE(want.processId);
      EXPECT_EQ(got.processId, want.processId);
      EXPECT_EQ(got.device, want.device);
      EXPECT_EQ(got.localUsage, want.local);
      EXPECT_EQ(got.sharedUsage, want.shared);
      EXPECT_EQ(got.dedicatedUsage, want.dedicated);
      EXPECT_EQ(got.totalCommitted, want.committed);
      EXPECT_EQ(Types(got), want.types);
      ASSERT_FALSE(got.engines.empty());
      EXPECT_EQ(got.engines.front().utilizationPercent, want.firstEngineUse);
      // The first collection of a source has nothing to compare with.
      for (const EngineClassUsage& engine : first.processes[i].engines) {
        EXPECT_EQ(engine.utilizationPercent, std::nullopt);
      }
    }
  }
}

TEST(DrmFdinfoSource, AdaptersFromSysfs) {
  SourceUnderTest amd("amdgpu-legacy");
  const GpuSnapshot amdSnapshot = amd.Collect();
  // card0-DP-1 is a connector, not a second device.
  ASSERT_EQ(amdSnapshot.adapters.size(), 1u);
  EXPECT_EQ(amdSnapshot.adapters[0].device, kPciDevice0300);
  EXPECT_EQ(amdSnapshot.adapters[0].totalCommitted, 1024 * kMiB + 256 * kMiB);
  EXPECT_EQ(amdSnapshot.adapters[0].free, 7 * 1024 * kMiB);
  // An enumeration wants the device only: its figures are not read.
  CollectScope namesOnly;
  namesOnly.adapterValues = false;
  const GpuSnapshot names = amd.Collect(namesOnly);
  ASSERT_EQ(names.adapters.size(), 1u);
  EXPECT_EQ(names.adapters[0].device, kPciDevice0300);
  EXPECT_EQ(names.adapters[0].totalCommitted, std::nullopt);

  SourceUnderTest panfrost("panfrost");
  const GpuSnapshot armSnapshot = panfrost.Collect();
  ASSERT_EQ(armSnapshot.adapters.size(), 2u);
  EXPECT_EQ(armSnapshot.adapters[0].device, (GpuDevice{kNonPciDeviceHigh, 0}));
  EXPECT_EQ(armSnapshot.adapters[1].device, (GpuDevice{kNonPciDeviceHigh, 1}));
  for (const AdapterUsage& adapter : armSnapshot.adapters) {
    EXPECT_EQ(adapter.totalCommitted, std::nullopt);
    EXPECT_EQ(adapter.free, std::nullopt);
  }
}

TEST(DrmFdinfoSource, ScopeLimitsTheProcessesScanned) {
  SourceUnderTest source("i915");
  CollectScope scope;
  scope.allProcesses = false;
  scope.processIds = {1101, 4242};
  const GpuSnapshot snapshot = source.Collect(scope);
  ASSERT_EQ(snapshot.processes.size(), 1u);
  EXPECT_EQ(snapshot.processes[0].processId, 1101u);

  scope.processIds = {};
  EXPECT_TRUE(source.Collect(scope).processes.empty());
}

TEST(DrmFdinfoSource, MissingRootsGiveNoData) {
  SourceUnderTest source("/nonexistent/proc", "/nonexistent/sys");
  const GpuSnapshot snapshot = source.Collect();
  EXPECT_TRUE(snapshot.processes.empty());
  EXPECT_TRUE(snapshot.adapters.empty());
}

// A /proc tree written by the test, rewritten between collections.
class FdinfoTree {
 public:
  FdinfoTree() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "gpuproc-fdinfo-XXXXXX").string();
    root_ = ::mkdtemp(pattern.data());
    std::filesystem::create_directories(root_ / "proc");
    std::filesystem::create_directories(root_ / "sys");
  }
  ~FdinfoTree() { std::filesystem::remove_all(root_); }

  // fd `fd` of `pid` is a client of /dev/dri/renderD128 with this fdinfo.
  void SetClient(std::uint32_t pid, int fd, const std::string& fdinfo) {
    const auto process = root_ / "proc" / std::to_string(pid);
    std::filesystem::create_directories(process / "fd");
    std::filesystem::create_directories(process / "fdinfo");
    const auto link = process / "fd" / std::to_string(fd);
    if (!std::filesystem::is_symlink(link)) {
      std::filesystem::create_symlink("/dev/dri/renderD128", link);
    }
    std::ofstream(process / "fdinfo" / std::to_string(fd), std::ios::trunc) << fdinfo;
  }
  void RemoveClient(std::uint32_t pid, int fd) {
    const auto process = root_ / "proc" / std::to_string(pid);
    std::filesystem::remove(process / "fd" / std::to_string(fd));
    std::filesystem::remove(process / "fdinfo" / std::to_string(fd));
  }
  std::string Proc() const { return (root_ / "proc").string(); }
  std::string Sys() const { return (root_ / "sys").string(); }

 private:
  std::filesystem::path root_;
};

std::string Client(const std::string& driver, int id, const std::string& lines) {
  return "pos:\t0\ndrm-driver:\t" + driver + "\ndrm-client-id:\t" + std::to_string(id) +
         "\ndrm-pdev:\t0000:03:00.0\n" + lines;
}

struct UtilisationCase {
  const char* name;
  std::string before;  // fd 4 of pid 100 at the first collection; "" = absent
  std::string after;   // at the second collection
  std::uint64_t wallNs;
  std::vector<std::optional<double>> expected;  // per engine class, in order
};

TEST(DrmFdinfoSource, UtilisationBetweenTwoCollections) {
  const std::uint64_t ms = kMillisecond;
  const UtilisationCase cases[] = {
      {"busy time over wall time",
       Client("i915", 1, "drm-engine-render:\t1000000000 ns\n"),
       Client("i915", 1, "drm-engine-render:\t1025000000 ns\n"),
       50 * ms,
       {50.0}},
      {"divided by capacity",
       Client("i915", 1, "drm-engine-compute:\t0 ns\ndrm-engine-capacity-compute:\t4\n"),
       Client("i915", 1, "drm-engine-compute:\t100000000 ns\ndrm-engine-capacity-compute:\t4\n"),
       50 * ms,
       {50.0}},
      {"cycles over total cycles",
       Client("xe", 1,
              "drm-cycles-rcs:\t1000\ndrm-total-cycles-rcs:\t5000\n"
              "drm-cycles-ccs:\t0\ndrm-total-cycles-ccs:\t5000\ndrm-engine-capacity-ccs:\t2\n"),
       Client("xe", 1,
              "drm-cycles-rcs:\t1300\ndrm-total-cycles-rcs:\t6000\n"
              "drm-cycles-ccs:\t300\ndrm-total-cycles-ccs:\t6000\ndrm-engine-capacity-ccs:\t2\n"),
       50 * ms,
       {30.0, 15.0}},
      {"total cycles that did not advance",
       Client("xe", 1, "drm-cycles-rcs:\t1000\ndrm-total-cycles-rcs:\t5000\n"),
       Client("xe", 1, "drm-cycles-rcs:\t1300\ndrm-total-cycles-rcs:\t5000\n"),
       50 * ms,
       {std::nullopt}},
      {"wall clock that did not advance",
       Client("i915", 1, "drm-engine-render:\t0 ns\n"),
       Client("i915", 1, "drm-engine-render:\t5 ns\n"),
       0,
       {std::nullopt}},
      {"counter that went down",
       Client("i915", 1, "drm-engine-render:\t9000000000 ns\n"),
       Client("i915", 1, "drm-engine-render:\t1000 ns\n"),
       50 * ms,
       {0.0}},
      {"clamped at 100",
       Client("i915", 1, "drm-engine-render:\t0 ns\n"),
       Client("i915", 1, "drm-engine-render:\t80000000 ns\n"),
       50 * ms,
       {100.0}},
      {"client only in the second collection",
       "",
       Client("i915", 1, "drm-engine-render:\t25000000 ns\n"),
       50 * ms,
       {std::nullopt}},
      {"client replaced by another on the same fd",
       Client("i915", 1, "drm-engine-render:\t0 ns\n"),
       Client("i915", 2, "drm-engine-render:\t25000000 ns\n"),
       50 * ms,
       {std::nullopt}},
      // amdgpu prints an engine once its busy time is above 0.
      {"amdgpu gfx before its first job",
       Client("amdgpu", 1, ""),
       Client("amdgpu", 1, "drm-engine-dma:\t10000000 ns\n"),
       50 * ms,
       {0.0, 20.0}},
      {"two 3D classes",
       Client("panfrost", 1, "drm-engine-fragment:\t0 ns\ndrm-engine-vertex-tiler:\t0 ns\n"),
       Client("panfrost", 1,
              "drm-engine-fragment:\t10000000 ns\ndrm-engine-vertex-tiler:\t35000000 ns\n"),
       50 * ms,
       {20.0, 70.0}},
  };
  for (const UtilisationCase& c : cases) {
    SCOPED_TRACE(c.name);
    FdinfoTree tree;
    if (!c.before.empty()) tree.SetClient(100, 4, c.before);
    SourceUnderTest source(tree.Proc(), tree.Sys());
    source.Collect();
    tree.SetClient(100, 4, c.after);
    source.now += c.wallNs;
    const GpuSnapshot snapshot = source.Collect();
    ASSERT_EQ(snapshot.processes.size(), 1u);
    const std::vector<EngineClassUsage>& engines = snapshot.processes[0].engines;
    ASSERT_EQ(engines.size(), c.expected.size());
    for (std::size_t i = 0; i < engines.size(); ++i) {
      ASSERT_EQ(engines[i].utilizationPercent.has_value(), c.expected[i].has_value()) << i;
      if (c.expected[i]) {
        EXPECT_DOUBLE_EQ(*engines[i].utilizationPercent, *c.expected[i]) << i;
      }
    }
  }
}

TEST(DrmFdinfoSource, UtilisationSumsClientsAndKeepsTheLargerCounter) {
  FdinfoTree tree;
  tree.SetClient(100, 4, Client("i915", 1, "drm-engine-render:\t0 ns\n"));
  tree.SetClient(100, 5, Client("i915", 2, "drm-engine-render:\t0 ns\n"));
  // fd 6 shares client 2 with fd 5 (dup): it must not count twice.
  tree.SetClient(100, 6, Client("i915", 2, "drm-engine-render:\t0 ns\n"));
  SourceUnderTest source(tree.Proc(), tree.Sys());
  source.Collect();

  tree.SetClient(100, 4, Client("i915", 1, "drm-engine-render:\t10000000 ns\n"));
  tree.SetClient(100, 5, Client("i915", 2, "drm-engine-render:\t5000000 ns\n"));
  tree.SetClient(100, 6, Client("i915", 2, "drm-engine-render:\t5000000 ns\n"));
  source.now += 50 * kMillisecond;
  GpuSnapshot snapshot = source.Collect();
  ASSERT_EQ(snapshot.processes.size(), 1u);
  EXPECT_DOUBLE_EQ(snapshot.processes[0].engines[0].utilizationPercent.value_or(-1), 30.0);

  // Client 1 dips below its earlier value: it counts 0 now, and later only
  // what it adds above the larger earlier value.
  tree.SetClient(100, 4, Client("i915", 1, "drm-engine-render:\t4000000 ns\n"));
  tree.RemoveClient(100, 5);
  tree.RemoveClient(100, 6);
  source.now += 50 * kMillisecond;
  snapshot = source.Collect();
  EXPECT_DOUBLE_EQ(snapshot.processes[0].engines[0].utilizationPercent.value_or(-1), 0.0);

  tree.SetClient(100, 4, Client("i915", 1, "drm-engine-render:\t15000000 ns\n"));
  source.now += 50 * kMillisecond;
  snapshot = source.Collect();
  EXPECT_DOUBLE_EQ(snapshot.processes[0].engines[0].utilizationPercent.value_or(-1), 10.0);
}

TEST(DrmFdinfoSource, VanishedClientGivesNoData) {
  FdinfoTree tree;
  tree.SetClient(100, 4, Client("i915", 1, "drm-engine-render:\t0 ns\n"));
  SourceUnderTest source(tree.Proc(), tree.Sys());
  EXPECT_EQ(source.Collect().processes.size(), 1u);
  tree.RemoveClient(100, 4);
  EXPECT_TRUE(source.Collect().processes.empty());
}

TEST(DrmFdinfoSource, FollowUpCollectionRereadsOnlyTheClientsFoundBefore) {
  FdinfoTree tree;
  tree.SetClient(100, 4, Client("i915", 1, "drm-engine-render:\t0 ns\n"));
  tree.SetClient(200, 4, Client("i915", 2, "drm-engine-render:\t0 ns\n"));
  SourceUnderTest source(tree.Proc(), tree.Sys());
  ASSERT_EQ(source.Collect().processes.size(), 2u);

  // In between: pid 100's client works and pid 100 opens another one; pid
  // 200's fd 4 now names another file (its old fdinfo still reads).
  tree.SetClient(100, 4, Client("i915", 1, "drm-engine-render:\t25000000 ns\n"));
  tree.SetClient(100, 5, Client("i915", 3, "drm-resident-system0:\t4 MiB\n"));
  std::filesystem::remove(tree.Proc() + "/200/fd/4");
  std::filesystem::create_symlink("/dev/null", tree.Proc() + "/200/fd/4");
  source.now += 50 * kMillisecond;
  CollectScope followUp;
  followUp.allProcesses = false;
  followUp.processIds = {100, 200};
  followUp.knownClientsOnly = true;
  GpuSnapshot snapshot = source.Collect(followUp);
  ASSERT_EQ(snapshot.processes.size(), 1u);
  EXPECT_EQ(snapshot.processes[0].processId, 100u);
  EXPECT_DOUBLE_EQ(snapshot.processes[0].engines[0].utilizationPercent.value_or(-1), 50.0);
  EXPECT_EQ(snapshot.processes[0].sharedUsage, std::nullopt);  // fd 5 not read yet

  snapshot = source.Collect();
  ASSERT_EQ(snapshot.processes.size(), 1u);
  EXPECT_EQ(snapshot.processes[0].sharedUsage, 4u << 20);
}

TEST(DrmFdinfoSource, UnreadableFilesGiveNoData) {
  if (::geteuid() == 0) GTEST_SKIP() << "root reads files whatever their mode";
  FdinfoTree tree;
  tree.SetClient(100, 4, Client("i915", 1, "drm-engine-render:\t0 ns\n"));
  tree.SetClient(200, 4, Client("i915", 2, "drm-engine-render:\t0 ns\n"));
  tree.SetClient(300, 4, Client("i915", 3, "drm-engine-render:\t0 ns\n"));
  // Another user's fdinfo, and a process that is not dumpable (its fd
  // folder belongs to root).
  std::filesystem::permissions(tree.Proc() + "/100/fdinfo/4", std::filesystem::perms::none);
  std::filesystem::permissions(tree.Proc() + "/200/fd", std::filesystem::perms::none);
  SourceUnderTest source(tree.Proc(), tree.Sys());
  const GpuSnapshot snapshot = source.Collect();
  std::filesystem::permissions(tree.Proc() + "/200/fd", std::filesystem::perms::owner_all);
  ASSERT_EQ(snapshot.processes.size(), 1u);
  EXPECT_EQ(snapshot.processes[0].processId, 300u);
}

TEST(DrmFdinfoSource, PciAddresses) {
  EXPECT_EQ(ParsePciAddress("0000:03:00.0"), (GpuDevice{0, 0x300}));
  EXPECT_EQ(ParsePciAddress("0001:c1:1f.7"), (GpuDevice{1, 0xc1ff}));
  EXPECT_EQ(ParsePciAddress("10000:e1:00.0"), (GpuDevice{0x10000, 0xe100}));
  for (const char* bad : {"", "fde60000.gpu", "0000:03:00", "0000:03:20.0", "0000:03:00.8",
                          "0000:3:00.0", "000000000:03:00.0", "0000:03:00.0x"}) {
    EXPECT_EQ(ParsePciAddress(bad), std::nullopt) << bad;
  }
}

// A clock that advances one second each time the source has read an fdinfo
// file: time passes with the scan, as on a machine with many processes.
class ReadCountingClock {
 public:
  explicit ReadCountingClock(const std::vector<std::string>& folders)
      : inotify_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
    for (const std::string& folder : folders) {
      ::inotify_add_watch(inotify_, folder.c_str(), IN_CLOSE_NOWRITE);
    }
  }
  ~ReadCountingClock() { ::close(inotify_); }
  std::uint64_t operator()() {
    alignas(inotify_event) char buffer[4096];
    ssize_t got = 0;
    while ((got = ::read(inotify_, buffer, sizeof buffer)) > 0) {
      for (char* at = buffer; at < buffer + got;) {
        const auto* event = reinterpret_cast<const inotify_event*>(at);
        if (event->len > 0) ++reads_;
        at += sizeof(inotify_event) + event->len;
      }
    }
    return reads_ * 1'000 * kMillisecond;
  }

 private:
  int inotify_;
  std::uint64_t reads_ = 0;
};

TEST(DrmFdinfoSource, EachClientIsMeasuredOverItsOwnInterval) {
  // A low and a high process id, both busy half the time, with processes in
  // between whose DRM fds the full scan reads and the follow-up does not.
  FdinfoTree tree;
  tree.SetClient(100, 4, Client("i915", 1, "drm-engine-render:\t0 ns\n"));
  std::vector<std::string> folders = {tree.Proc() + "/100/fdinfo"};
  for (std::uint32_t pid = 200; pid < 208; ++pid) {
    tree.SetClient(pid, 4, "pos:\t0\n");
    folders.push_back(tree.Proc() + "/" + std::to_string(pid) + "/fdinfo");
  }
  tree.SetClient(9000, 4, Client("i915", 2, "drm-engine-render:\t0 ns\n"));
  folders.push_back(tree.Proc() + "/9000/fdinfo");
  const HostFs fs(tree.Proc(), tree.Sys());
  ReadCountingClock clock(folders);
  BusyTimeLedger ledger;
  const auto source = CreateDrmFdinfoSource(GpuSourceContext{fs, std::ref(clock), ledger});

  // Read at 1 s and 10 s in the full scan, at 11 s and 12 s in the follow-up.
  ASSERT_EQ(source->Collect({}).processes.size(), 2u);
  tree.SetClient(100, 4, Client("i915", 1, "drm-engine-render:\t5000000000 ns\n"));
  tree.SetClient(9000, 4, Client("i915", 2, "drm-engine-render:\t1000000000 ns\n"));
  CollectScope followUp;
  followUp.allProcesses = false;
  followUp.processIds = {100, 9000};
  followUp.knownClientsOnly = true;
  const GpuSnapshot snapshot = source->Collect(followUp);

  ASSERT_EQ(snapshot.processes.size(), 2u);
  for (const ProcessGpuUsage& usage : snapshot.processes) {
    SCOPED_TRACE(usage.processId);
    EXPECT_DOUBLE_EQ(usage.engines.at(0).utilizationPercent.value_or(-1), 50.0);
  }
}

}  // namespace
}  // namespace gpuproc
