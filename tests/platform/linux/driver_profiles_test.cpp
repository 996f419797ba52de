// The driver profile table replayed row by row: every engine type, region
// class, device-kind signal and quirk, and the names a device's driver link
// may carry.
#include "platform/linux/driver_profiles.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

namespace gpuproc {
namespace {

TEST(DriverProfiles, EveryRowReadsAsTheKernelMeansIt) {
  using enum RegionClass;
  // "driver class=Type ...": every engine row, then names nobody maps (the
  // same class on another driver keeps its own name, made safe for paths).
  const char* const engines[] = {
      ("amdgpu gfx=3D compute=Compute dma=Copy dec=VideoDecode jpeg=VideoDecode enc=VideoEncode "
       "enc_1=VideoEncode vpe=VideoProcessing"),
      "i915 render=3D compute=Compute copy=Copy video=VideoDecode video-enhance=VideoProcessing",
      "xe rcs=3D ccs=Compute bcs=Copy vcs=VideoDecode vecs=VideoProcessing render=render",
      "msm gpu=3D",
      "panfrost fragment=3D vertex-tiler=3D",
      "panthor panthor=3D",
      "v3d render=3D bin=3D csd=Compute tfu=tfu",
      "amdxdna npu-amdxdna=Compute npu=Compute",
      "amdxdna_accel_driver npu-amdxdna=Compute npu=Compute",
      "newgpu compute=compute a(b)\\c*d#e/f=a_b__c_d_e_f",
  };
  for (const char* line : engines) {
    std::istringstream words(line);
    std::string driver, row;
    words >> driver;
    while (words >> row) {
      const std::size_t equals = row.find('=');
      EXPECT_EQ(EngineClassType(driver, row.substr(0, equals)), row.substr(equals + 1))
          << driver << " " << row;
    }
  }

  const struct {
    const char* driver;
    const char* region;
    RegionClass onDiscrete, onIntegrated;
    bool marksDiscrete;
  } regions[] = {
      {"amdgpu", "vram", kDeviceLocal, kCarveOut, false},
      {"amdgpu", "gtt", kSystem, kSystem, false},
      {"amdgpu", "cpu", kSystem, kSystem, false},
      {"amdgpu", "gds", kIgnored, kIgnored, false},
      {"amdgpu", "gws", kIgnored, kIgnored, false},
      {"amdgpu", "oa", kIgnored, kIgnored, false},
      {"amdgpu", "doorbell", kIgnored, kIgnored, false},
      {"amdgpu", "mmioremap", kIgnored, kIgnored, false},
      {"i915", "local0", kDeviceLocal, kDeviceLocal, true},
      {"i915", "local12", kDeviceLocal, kDeviceLocal, true},
      {"i915", "stolen-local0", kDeviceLocal, kCarveOut, false},
      {"i915", "stolen-system0", kSystem, kCarveOut, false},
      {"i915", "system0", kSystem, kSystem, false},
      {"i915", "local", kSystem, kSystem, false},  // no instance: not i915's
      {"i915", "localx", kSystem, kSystem, false},
      {"xe", "vram0", kDeviceLocal, kDeviceLocal, true},
      {"xe", "vram1", kDeviceLocal, kDeviceLocal, true},
      {"xe", "stolen", kDeviceLocal, kCarveOut, false},
      {"xe", "gtt", kSystem, kSystem, false},
      {"xe", "system", kSystem, kSystem, false},
      {"xe", "vram", kSystem, kSystem, false},
      {"msm", "memory", kSystem, kSystem, false},
      {"newgpu", "vram0", kSystem, kSystem, false},
  };
  for (const auto& row : regions) {
    SCOPED_TRACE(std::string(row.driver) + " " + row.region);
    const DriverProfile& profile = ProfileForDriver(row.driver);
    EXPECT_EQ(ClassifyRegion(profile, row.region, DeviceKind::kDiscrete), row.onDiscrete);
    EXPECT_EQ(ClassifyRegion(profile, row.region, DeviceKind::kIntegrated), row.onIntegrated);
    EXPECT_EQ(RegionMarksDiscrete(profile, row.region), row.marksDiscrete);
  }

  // How each driver's devices are told apart, its quirk and whether it
  // publishes adapter figures.
  const struct {
    const char* driver;
    KindSignal kind;
    const char* alwaysListed;
    bool adapter;
    const char* deviceBusyFile = "";
    const char* profilingSwitch = "";
  } drivers[] = {
      {"amdgpu", KindSignal::kKfdTopology, "gfx", true},
      {"i915", KindSignal::kDiscreteRegion, "", false},
      {"xe", KindSignal::kDiscreteRegion, "", true},
      {"msm", KindSignal::kAlwaysIntegrated, "", false},
      {"panfrost", KindSignal::kAlwaysIntegrated, "", false, "", "profiling"},
      {"panthor", KindSignal::kAlwaysIntegrated, "", false, "", "profiling"},
      {"v3d", KindSignal::kAlwaysIntegrated, "", false},
      {"intel_vpu", KindSignal::kAlwaysIntegrated, "", false, "npu_busy_time_us"},
      {"habanalabs", KindSignal::kDiscreteRegion, "", false},
      {"newgpu", KindSignal::kDiscreteRegion, "", false},
  };
  for (const auto& row : drivers) {
    SCOPED_TRACE(row.driver);
    const DriverProfile& profile = ProfileForDriver(row.driver);
    EXPECT_EQ(profile.kind, row.kind);
    EXPECT_EQ(profile.alwaysListedEngine, row.alwaysListed);
    EXPECT_EQ(profile.adapter != nullptr, row.adapter);
    EXPECT_EQ(profile.deviceBusyFile, row.deviceBusyFile);
    EXPECT_EQ(profile.profilingSwitch, row.profilingSwitch);
    EXPECT_TRUE(profile.reportsUsage);
  }

  // A device's `driver` link names the driver it is bound to: only known
  // non-reporting drivers let the whole-machine scan be skipped.
  const struct {
    const char* bound;
    const char* profile;  // nullptr: unknown, always scanned
    bool reports;
  } bound[] = {
      {"nvidia", "nvidia-drm", false},
      {"ast", "ast", false},
      {"mgag200", "mgag200", false},
      {"simple-framebuffer", "simpledrm", false},
      {"amdgpu", "amdgpu", true},
      {"xe", "xe", true},
      // Render drivers that print no usage statistics: nothing to scan for.
      {"nouveau", "nouveau", false},
      {"lima", "lima", false},
      {"asahi", "asahi", false},
      // NPUs under /dev/accel, the out-of-tree XDNA driver bound as amdxdna.
      {"amdxdna", "amdxdna", true},
      {"intel_vpu", "intel_vpu", true},
      {"habanalabs", "habanalabs", true},
      {"nvidia-drm", nullptr, false},
      {"", nullptr, false},
  };
  for (const auto& row : bound) {
    SCOPED_TRACE(row.bound);
    const DriverProfile* profile = ProfileForBoundDriver(row.bound);
    ASSERT_EQ(profile != nullptr, row.profile != nullptr);
    if (profile == nullptr) continue;
    EXPECT_EQ(profile->name, row.profile);
    EXPECT_EQ(profile->reportsUsage, row.reports);
  }
}

}  // namespace
}  // namespace gpuproc
