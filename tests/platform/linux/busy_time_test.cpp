// Snapshots over copies of recorded trees that the test moves on between
// calls: busy time as the drivers count it, kept across closed clients, gone
// with the process.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <tuple>

#include "export/snapshot_driver.h"
#include "platform/linux/busy_time_ledger.h"
#include "platform/linux/drm_fdinfo_source.h"
#include "platform/linux/linux_platform.h"

namespace gpuproc {
namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t kSecond = 1'000'000'000;
const std::string kGpu = "luid_0x00000000_0x00000300_phys_0";

// A recorded tree copied where the test may change it; each call on it is a
// platform of its own over one ledger, as the library's calls are.
class MovingTree {
 public:
  explicit MovingTree(const std::string& fixture) {
    std::string pattern = (fs::temp_directory_path() / "gpuproc-busy-XXXXXX").string();
    root_ = ::mkdtemp(pattern.data());
    fs::copy(std::string(GPUPROC_FIXTURES_DIR) + "/" + fixture, root_,
             fs::copy_options::recursive | fs::copy_options::copy_symlinks);
  }
  ~MovingTree() { fs::remove_all(root_); }

  // `key: value` in the process's fdinfo of `fd`, replaced or added.
  void Set(const std::string& pid, int fd, const std::string& key, const std::string& value) {
    const fs::path file = root_ / "proc" / pid / "fdinfo" / std::to_string(fd);
    std::ifstream in(file);
    std::string line;
    std::string text;
    bool found = false;
    while (std::getline(in, line)) {
      if (line.rfind(key + ":", 0) == 0) {
        line = key + ":\t" + value;
        found = true;
      }
      text += line + "\n";
    }
    if (!found) text += key + ":\t" + value + "\n";
    std::ofstream(file, std::ios::trunc) << text;
  }
  // A copy of the client on `fd` opened as `newFd`.
  void Open(const std::string& pid, int fd, int newFd) {
    const fs::path proc = root_ / "proc" / pid;
    fs::create_symlink(fs::read_symlink(proc / "fd" / std::to_string(fd)),
                       proc / "fd" / std::to_string(newFd));
    fs::copy_file(proc / "fdinfo" / std::to_string(fd), proc / "fdinfo" / std::to_string(newFd));
  }
  void Close(const std::string& pid, int fd) {
    fs::remove(root_ / "proc" / pid / "fd" / std::to_string(fd));
    fs::remove(root_ / "proc" / pid / "fdinfo" / std::to_string(fd));
  }
  void Exit(const std::string& pid) { fs::rename(root_ / "proc" / pid, root_ / pid); }
  // Process `pid` as a copy of `from`, which started at `ticks` after boot.
  void Start(const std::string& from, const std::string& pid, std::uint64_t ticks) {
    if (from != pid) {
      fs::copy(root_ / "proc" / from, root_ / "proc" / pid,
               fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    }
    std::ofstream(root_ / "proc" / pid / "stat", std::ios::trunc)
        << pid << " (Web Content) S 1 " << pid << " " << pid
        << " 0 -1 4194560 0 0 0 0 0 0 0 0 20 0 1 0 " << ticks << " 0 0\n";
  }
  void Remove(const std::string& pid) { fs::remove_all(root_ / "proc" / pid); }
  void Restart(const std::string& pid) { fs::rename(root_ / pid, root_ / "proc" / pid); }

  // One snapshot: (pid, adapter, engine type) to busy seconds.
  using Times = std::map<std::tuple<std::uint32_t, std::string, std::string>, double>;
  // The snapshot document.
  nlohmann::json Document() {
    LinuxPlatform platform(
        {{"drm-fdinfo", CreateDrmFdinfoSource}},
        HostFs((root_ / "proc").string(), (root_ / "sys").string()),
        [this] { return now += tickNs; }, ledger_);
    std::string text;
    CollectSnapshot(platform, text);
    return nlohmann::json::parse(text);
  }
  Times Snapshot(double* time = nullptr) {
    const auto document = Document();
    if (time != nullptr) *time = document["Time"].get<double>();
    Times times;
    for (const auto& process : document["Processes"]) {
      for (const auto& [type, seconds] : process["EngineBusySeconds"].items()) {
        times[{process["ProcessID"].get<std::uint32_t>(), process["Adapter"].get<std::string>(),
               type}] = seconds.get<double>();
      }
    }
    return times;
  }

  HostFs Fs() const { return HostFs((root_ / "proc").string(), (root_ / "sys").string()); }
  BusyTimeLedger& Ledger() { return *ledger_; }

  std::uint64_t now = 100 * kSecond;
  std::uint64_t tickNs = 0;  // how far each reading of the clock moves it

 private:
  fs::path root_;
  std::shared_ptr<BusyTimeLedger> ledger_ = std::make_shared<BusyTimeLedger>();
};

TEST(BusyTime, SnapshotsAdvanceByWhatTheDriverCounted) {
  // amdgpu publishes nanoseconds: its time, exactly.
  MovingTree amdgpu("amdgpu");
  double before = 0;
  double after = 0;
  const auto first = amdgpu.Snapshot(&before);
  EXPECT_EQ((first.at({1010, kGpu, "3D"})), 88.21943);
  amdgpu.Set("1010", 12, "drm-engine-gfx", "89719430020 ns");
  amdgpu.now += 2 * kSecond;
  const auto second = amdgpu.Snapshot(&after);
  EXPECT_DOUBLE_EQ((second.at({1010, kGpu, "3D"})) - (first.at({1010, kGpu, "3D"})), 1.5);
  EXPECT_DOUBLE_EQ(after - before, 2.0);

  // xe publishes cycles: a quarter of the GPU's cycles busy over 2 s of the
  // client's own readings is 0.5 s, counted from 0 when first seen.
  MovingTree xe("xe");
  EXPECT_EQ((xe.Snapshot().at({1200, kGpu, "3D"})), 0.0);
  xe.Set("1200", 9, "drm-cycles-rcs", std::to_string(28257900 + 250'000'000));
  xe.Set("1200", 9, "drm-total-cycles-rcs", std::to_string(7655183225 + 1'000'000'000));
  xe.now += 2 * kSecond;
  EXPECT_NEAR((xe.Snapshot().at({1200, kGpu, "3D"})), 0.5, 0.005);
}

TEST(BusyTime, ClosedClientsKeepTheirTimeUntilTheProcessExits) {
  MovingTree tree("amdgpu");
  // A second client of the same process, busy 2 s in copy alone.
  tree.Open("1010", 12, 14);
  tree.Set("1010", 14, "drm-client-id", "58");
  tree.Set("1010", 14, "drm-engine-gfx", "1000000000 ns");
  tree.Set("1010", 14, "drm-engine-dma", "2000000000 ns");
  const auto both = tree.Snapshot();
  EXPECT_DOUBLE_EQ((both.at({1010, kGpu, "3D"})), 89.21943);
  EXPECT_EQ((both.at({1010, kGpu, "Copy"})), 2.0);

  tree.Close("1010", 14);
  const auto one = tree.Snapshot();
  EXPECT_DOUBLE_EQ((one.at({1010, kGpu, "3D"})), 89.21943);
  EXPECT_EQ((one.at({1010, kGpu, "Copy"})), 2.0);

  // Gone with the process: a process of the same id later starts afresh.
  tree.Exit("1010");
  EXPECT_TRUE(tree.Snapshot().empty());
  tree.Restart("1010");
  EXPECT_EQ((tree.Snapshot().at({1010, kGpu, "3D"})), 88.21943);
  EXPECT_EQ(tree.Snapshot().count({1010, kGpu, "Copy"}), 0u);
}

// xe's GPU timestamp restarts lower after a GT reset or a resume while the
// client's busy cycles go on. Replayed every 2 s with the client busy half
// the time: the interval over the restart is unknown to the ledger and the
// windowed reading alike, and both count again from the new timestamp.
TEST(BusyTime, CyclesAcrossATimestampThatWentBack) {
  MovingTree xe("xe");
  const HostFs fs = xe.Fs();
  // One source for every reading: its utilisation is the windowed call's,
  // between each reading and the one before.
  const std::unique_ptr<GpuSource> source =
      CreateDrmFdinfoSource(GpuSourceContext{fs, [&xe] { return xe.now; }, xe.Ledger()});
  const auto read = [&] {
    for (const ProcessGpuUsage& usage : source->Collect({}).processes) {
      if (usage.processId == 1200) return usage.engines.at(0);  // rcs, "3D"
    }
    return EngineClassUsage{};
  };
  ASSERT_EQ(read().type, "3D");

  constexpr std::uint64_t kCyclesPerStep = 2'000'000'000;  // 2 s of a 1 GHz timestamp
  std::uint64_t busy = 28257900;
  std::uint64_t timestamp = 7655183225;
  std::uint64_t previousNs = 0;
  double gained = 0;
  const struct {
    bool restart;      // the timestamp restarts near 0 before this reading
    double expectedS;  // what the 2 s step adds
  } steps[] = {{false, 1}, {false, 1}, {true, 0},  {false, 1}, {false, 1},
               {false, 1}, {false, 1}, {false, 1}, {false, 1}, {false, 1}};
  for (std::size_t step = 0; step < std::size(steps); ++step) {
    busy += kCyclesPerStep / 2;
    timestamp = steps[step].restart ? 500'000'000 : timestamp + kCyclesPerStep;
    xe.Set("1200", 9, "drm-cycles-rcs", std::to_string(busy));
    xe.Set("1200", 9, "drm-total-cycles-rcs", std::to_string(timestamp));
    xe.now += 2 * kSecond;
    const EngineClassUsage engine = read();
    ASSERT_TRUE(engine.busyNs) << "step " << step;
    const double stepS = static_cast<double>(*engine.busyNs - previousNs) / kSecond;
    ASSERT_GE(*engine.busyNs, previousNs) << "step " << step;
    previousNs = *engine.busyNs;
    gained += stepS;
    EXPECT_NEAR(stepS, steps[step].expectedS, 1e-6) << "step " << step;
    EXPECT_LE(stepS, 2.0) << "step " << step << " reads over 100%";
    // The windowed reading agrees: no value where the ledger adds nothing,
    // else the same share of the same interval.
    if (steps[step].restart) {
      EXPECT_FALSE(engine.utilizationPercent) << "step " << step;
    } else {
      ASSERT_TRUE(engine.utilizationPercent) << "step " << step;
      EXPECT_NEAR(*engine.utilizationPercent / 100 * 2, stepS, 1e-6) << "step " << step;
    }
  }
  EXPECT_LE(gained, 2.0 * std::size(steps));
}

// A scan reads each process at its own moment, and a rate over a client
// read early in one scan and late in the next would be off by the
// difference: each entry says when its counters were read.
TEST(BusyTime, SnapshotEntriesCarryTheirOwnReadTimes) {
  MovingTree tree("pods");
  tree.tickNs = kSecond / 1000;
  const auto document = tree.Document();
  const double time = document["Time"].get<double>();
  double previous = 0;
  std::uint32_t previousProcess = 0;
  ASSERT_GE(document["Processes"].size(), 3u);
  for (const auto& process : document["Processes"]) {
    const auto id = process["ProcessID"].get<std::uint32_t>();
    ASSERT_TRUE(process.contains("Time")) << id;
    const double read = process["Time"].get<double>();
    EXPECT_LT(read, time) << id;
    // Read in id order, each process after the one before.
    if (previousProcess != 0 && previousProcess != id) {
      EXPECT_GT(read, previous) << id << " after " << previousProcess;
    }
    previous = read;
    previousProcess = id;
  }
}

// A host that asks about one process at a time (a job runner) never scans
// every process: its calls forget a process once it is gone, and a process
// that took over an id starts from nothing.
TEST(BusyTime, PerProcessCallsForgetEndedAndReplacedProcesses) {
  MovingTree tree("amdgpu");
  const HostFs fs = tree.Fs();
  // One call's collection of one process: its 3D busy seconds.
  const auto call = [&](std::uint32_t processId) -> std::optional<double> {
    const std::unique_ptr<GpuSource> source =
        CreateDrmFdinfoSource(GpuSourceContext{fs, [&tree] { return tree.now; }, tree.Ledger()});
    CollectScope scope;
    scope.allProcesses = false;
    scope.processIds = {processId};
    for (const ProcessGpuUsage& usage : source->Collect(scope).processes) {
      return static_cast<double>(usage.engines.at(0).busyNs.value_or(0)) / kSecond;
    }
    return std::nullopt;
  };

  tree.Start("1010", "1010", 100);
  EXPECT_NEAR(call(1010).value_or(0), 88.21943, 1e-6);
  // Another process of the same id, busy 1 s so far: not the old one's 88 s.
  tree.Start("1010", "1010", 9000);
  tree.Set("1010", 12, "drm-engine-gfx", "1000000000 ns");
  EXPECT_NEAR(call(1010).value_or(0), 1.0, 1e-6);

  // Flat: one short-lived process kept at a time, none once it has gone.
  const std::size_t entriesBefore = tree.Ledger().Entries();
  std::size_t entriesEarly = 0;
  for (std::uint32_t process = 5000; process < 5500; ++process) {
    tree.Start("1010", std::to_string(process), process);
    ASSERT_TRUE(call(process)) << process;
    if (process == 5009) entriesEarly = tree.Ledger().Entries();
    if (process == 5499) {
      EXPECT_EQ(tree.Ledger().Entries(), entriesEarly);
    }
    tree.Remove(std::to_string(process));
  }
  EXPECT_NEAR(call(1010).value_or(0), 1.0, 1e-6);
  EXPECT_EQ(tree.Ledger().Entries(), entriesBefore);
}

}  // namespace
}  // namespace gpuproc
