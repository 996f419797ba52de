// Device health in snapshots over recorded trees: each driver's hwmon
// folder and its own busy and frequency files, the energy they add up to
// between snapshots, and each process's share of it.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "export/snapshot_driver.h"
#include "platform/linux/busy_time_ledger.h"
#include "platform/linux/device_health.h"
#include "platform/linux/drm_fdinfo_source.h"
#include "platform/linux/linux_platform.h"

namespace gpuproc {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

constexpr std::uint64_t kSecond = 1'000'000'000;

// A recorded tree copied where the test may change it, read by one platform
// per snapshot over one ledger and one energy account, as the library's
// calls are.
class Tree {
 public:
  explicit Tree(const std::string& fixture) {
    std::string pattern = (fs::temp_directory_path() / "gpuproc-health-XXXXXX").string();
    root_ = ::mkdtemp(pattern.data());
    fs::copy(std::string(GPUPROC_FIXTURES_DIR) + "/" + fixture, root_,
             fs::copy_options::recursive | fs::copy_options::copy_symlinks);
  }
  ~Tree() { fs::remove_all(root_); }

  void Write(const std::string& relative, const std::string& text) {
    std::ofstream(root_ / relative, std::ios::trunc) << text << "\n";
  }
  void Copy(const std::string& from, const std::string& to) {
    fs::copy(root_ / from, root_ / to, fs::copy_options::copy_symlinks);
  }
  void Remove(const std::string& relative) { fs::remove(root_ / relative); }

  Json Snapshot() {
    LinuxPlatform platform(
        {{"drm-fdinfo", CreateDrmFdinfoSource}},
        HostFs((root_ / "proc").string(), (root_ / "sys").string()), [this] { return now; },
        ledger_, energy_);
    std::string text;
    CollectSnapshot(platform, text);
    return Json::parse(text);
  }

  std::uint64_t now = 100 * kSecond;

 private:
  fs::path root_;
  std::shared_ptr<BusyTimeLedger> ledger_ = std::make_shared<BusyTimeLedger>();
  std::shared_ptr<EnergyAccount> energy_ = std::make_shared<EnergyAccount>();
};

const Json* AdapterAt(const Json& document, const std::string& pciAddress) {
  for (const Json& adapter : document["Adapters"])
    if (adapter["PciAddress"] == pciAddress) return &adapter;
  return nullptr;
}

TEST(DeviceHealth, EachDriversTreeGivesItsRecordedValues) {
  struct Case {
    const char* fixture;
    const char* pciAddress;
    const char* expected;  // the adapter's health members
  };
  const Json nulls = Json::parse(R"({"PowerWatts":null,"PowerLimitWatts":null,"PowerScope":null,
      "EnergyJoules":null,"EnergySource":null,"IdleEnergyJoulesEstimate":null,
      "Temperatures":null,"SlowdownTemperatures":null,"Clocks":null,"FanRPM":null,
      "BusyPercent":null})");
  const Case cases[] = {
      // Average power and its cap, three labelled sensors and their limits,
      // two clocks, the fan and the busy share; energy from the power.
      {"amdgpu", "0000:03:00.0", R"({"PowerWatts":87.0,"PowerLimitWatts":203.0,
          "PowerScope":"device","EnergyJoules":0.0,"EnergySource":"integrated",
          "IdleEnergyJoulesEstimate":0.0,
          "Temperatures":{"edge":54.0,"junction":61.0,"memory":58.0},
          "SlowdownTemperatures":{"edge":100.0,"junction":110.0,"memory":105.0},
          "Clocks":{"graphics":2.1e9,"memory":1.0e9},"FanRPM":1450.0,"BusyPercent":37.0})"},
      // The APU's socket power includes its CPU cores.
      {"amdgpu-apu", "0000:c4:00.0", R"({"PowerWatts":23.0,"PowerScope":"package",
          "EnergyJoules":0.0,"EnergySource":"integrated","IdleEnergyJoulesEstimate":0.0,
          "Temperatures":{"edge":48.0},"Clocks":{"graphics":8.0e8},"BusyPercent":12.0})"},
      // The discrete GPU beside it has no hwmon folder: nothing at all.
      {"amdgpu-apu", "0000:03:00.0", "{}"},
      // i915 discrete: the energy counter and PL1, no power reading yet; the
      // card's actual frequency.
      {"i915", "0000:03:00.0", R"({"PowerLimitWatts":190.0,"PowerScope":"device",
          "EnergyJoules":1234.56789,"EnergySource":"counter","IdleEnergyJoulesEstimate":0.0,
          "Clocks":{"graphics":2.4e9}})"},
      // An integrated i915 has no hwmon; its clock is still read.
      {"i915", "0000:00:02.0", R"({"Clocks":{"graphics":1.3e9}})"},
      // xe discrete: the card's energy counter, PL1, package and VRAM
      // sensors, the GT's actual frequency.
      {"xe", "0000:03:00.0", R"({"PowerLimitWatts":150.0,"PowerScope":"device",
          "EnergyJoules":52000.0,"EnergySource":"counter","IdleEnergyJoulesEstimate":0.0,
          "Temperatures":{"package":66.0,"memory":71.0},"Clocks":{"graphics":2.05e9}})"},
      // Integrated i915 on Meteor Lake, recorded without any of these files.
      {"i915-mtl", "0000:00:02.0", "{}"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.fixture) + " " + c.pciAddress);
    Tree tree(c.fixture);
    const Json document = tree.Snapshot();
    const Json* adapter = AdapterAt(document, c.pciAddress);
    ASSERT_NE(adapter, nullptr) << document.dump();
    Json expected = nulls;
    expected.update(Json::parse(c.expected));
    for (const auto& [key, value] : expected.items()) {
      SCOPED_TRACE(key);
      if (value.is_number_float()) {
        ASSERT_TRUE((*adapter)[key].is_number());
        EXPECT_DOUBLE_EQ((*adapter)[key].get<double>(), value.get<double>());
      } else {
        EXPECT_EQ((*adapter)[key], value);
      }
    }
  }
}

TEST(DeviceHealth, EnergyGrowsBetweenSnapshotsAndAClosedClientKeepsItsShare) {
  const std::string kFdinfo = "proc/1010/fdinfo/";
  Tree tree("amdgpu");
  // A second client of the same process, 1 s of gfx busy so far.
  tree.Copy("proc/1010/fd/12", "proc/1010/fd/14");
  tree.Copy(kFdinfo + "12", kFdinfo + "14");
  std::ifstream in(std::string(GPUPROC_FIXTURES_DIR) + "/amdgpu/" + kFdinfo + "12");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const auto replaced = [](std::string copy, const std::string& from, const std::string& to) {
    copy.replace(copy.find(from), from.size(), to);
    return copy;
  };
  const std::string second = replaced(text, "drm-client-id:\t57", "drm-client-id:\t58");
  const auto setGfx = [&](const std::string& fd, const std::string& base, std::uint64_t ns) {
    tree.Write(kFdinfo + fd, replaced(base, "drm-engine-gfx:\t88219430020 ns",
                                      "drm-engine-gfx:\t" + std::to_string(ns) + " ns"));
  };
  setGfx("12", text, 88'219'430'020);
  setGfx("14", second, 1'000'000'000);
  const Json first = tree.Snapshot();
  const double firstEnergy = (*AdapterAt(first, "0000:03:00.0"))["EnergyJoules"].get<double>();

  // 10 s at 87 W; the two clients busy 2 s and 0.5 s of it.
  tree.now += 10 * kSecond;
  setGfx("12", text, 90'219'430'020);
  setGfx("14", second, 1'500'000'000);
  const Json busy = tree.Snapshot();
  const Json& adapter = *AdapterAt(busy, "0000:03:00.0");
  EXPECT_DOUBLE_EQ(adapter["EnergyJoules"].get<double>() - firstEnergy, 870.0);
  const double estimate = busy["Processes"][0]["EnergyJoulesEstimate"].get<double>();
  EXPECT_NEAR(estimate, 870.0 * 2.5 / 10, 1e-6);
  EXPECT_NEAR(adapter["IdleEnergyJoulesEstimate"].get<double>(), 870.0 * 7.5 / 10, 1e-6);

  // The second client closes: its time stays counted, the estimate never
  // falls, and it grows by what the remaining client does.
  tree.Remove("proc/1010/fd/14");
  tree.Remove(kFdinfo + "14");
  tree.now += 10 * kSecond;
  const Json closed = tree.Snapshot();
  EXPECT_NEAR(closed["Processes"][0]["EnergyJoulesEstimate"].get<double>(), estimate, 1e-6);
  tree.now += 10 * kSecond;
  setGfx("12", text, 95'219'430'020);
  const Json later = tree.Snapshot();
  EXPECT_NEAR(later["Processes"][0]["EnergyJoulesEstimate"].get<double>(),
              estimate + 870.0 * 5 / 10, 1e-6);
}

TEST(DeviceHealth, CounterEnergyGivesMeanPowerAndGoesBackOnlyWithTheCounter) {
  Tree tree("i915");
  const std::string energy =
      "sys/devices/pci0000:00/0000:00:01.0/0000:01:00.0/0000:02:01.0/0000:03:00.0/hwmon/hwmon3/"
      "energy1_input";
  tree.Snapshot();
  tree.Write(energy, "1334567890");  // 100 J more, 2 s later: 50 W
  tree.now += 2 * kSecond;
  const Json* adapter = nullptr;
  const Json document = tree.Snapshot();
  adapter = AdapterAt(document, "0000:03:00.0");
  ASSERT_NE(adapter, nullptr);
  EXPECT_DOUBLE_EQ((*adapter)["EnergyJoules"].get<double>(), 1334.56789);
  EXPECT_DOUBLE_EQ((*adapter)["PowerWatts"].get<double>(), 50.0);
}

TEST(DeviceHealth, LabelsAreNamedAlikeAcrossDrivers) {
  const struct {
    const char* label;
    const char* temperature;
    const char* clock;
  } cases[] = {{"edge", "edge", "edge"},
               {"mem", "memory", "mem"},
               {"vram", "memory", "vram"},
               {"pkg", "package", "pkg"},
               {"sclk", "sclk", "graphics"},
               {"mclk", "mclk", "memory"},
               {"Junction", "junction", "junction"}};
  for (const auto& c : cases) {
    EXPECT_EQ(TemperatureName(c.label), c.temperature) << c.label;
    EXPECT_EQ(ClockName(c.label), c.clock) << c.label;
  }
}

}  // namespace
}  // namespace gpuproc
