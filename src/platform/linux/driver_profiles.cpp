#include "platform/linux/driver_profiles.h"

#include <array>

#include "platform/linux/counter_path.h"
#include "platform/linux/device_sysfs.h"

namespace gpuproc {
namespace {

using enum RegionClass;

// amdgpu: `vram` is VRAM on a discrete GPU and the carve-out the firmware
// made for an APU (amdgpu_drm.h); the on-chip pools are no process's memory.
constexpr RegionRule kAmdgpuRegions[] = {
    {"vram", false, kDeviceLocal, kCarveOut}, {"gds", false, kIgnored, kIgnored},
    {"gws", false, kIgnored, kIgnored},       {"oa", false, kIgnored, kIgnored},
    {"doorbell", false, kIgnored, kIgnored},  {"mmioremap", false, kIgnored, kIgnored},
};
constexpr EngineTypeRule kAmdgpuEngines[] = {
    {"gfx", "3D"},
    {"compute", "Compute"},
    {"dma", "Copy"},
    {"dec", "VideoDecode"},
    {"jpeg", "VideoDecode"},
    {"enc", "VideoEncode"},
    {"enc_1", "VideoEncode"},
    {"vpe", "VideoProcessing"},
};

// i915: `local<N>` only on discrete parts; `stolen-local<N>` is carved out
// of VRAM on those and is the firmware's carve-out on Meteor Lake and later
// integrated parts (i915_pci.c: REGION_SMEM | REGION_STOLEN_LMEM);
// `stolen-system<N>` is the carve-out of earlier integrated parts. Never a
// match on "local" alone: that would make every Meteor Lake discrete.
constexpr RegionRule kI915Regions[] = {
    {"local", true, kDeviceLocal, kDeviceLocal, true},
    {"stolen-local", true, kDeviceLocal, kCarveOut},
    {"stolen-system", true, kSystem, kCarveOut},
};
constexpr EngineTypeRule kI915Engines[] = {
    {"render", "3D"},
    {"compute", "Compute"},
    {"copy", "Copy"},
    {"video", "VideoDecode"},
    {"video-enhance", "VideoProcessing"},
};

// xe: `vram<N>` only on discrete parts; `stolen` is carved out of VRAM there
// and out of system memory (by the firmware) on integrated ones.
constexpr RegionRule kXeRegions[] = {
    {"vram", true, kDeviceLocal, kDeviceLocal, true},
    {"stolen", false, kDeviceLocal, kCarveOut},
};
constexpr EngineTypeRule kXeEngines[] = {
    {"rcs", "3D"},          {"ccs", "Compute"},          {"bcs", "Copy"},
    {"vcs", "VideoDecode"}, {"vecs", "VideoProcessing"},
};

constexpr EngineTypeRule kMsmEngines[] = {{"gpu", "3D"}};
constexpr EngineTypeRule kPanfrostEngines[] = {{"fragment", "3D"}, {"vertex-tiler", "3D"}};
constexpr EngineTypeRule kPanthorEngines[] = {{"panthor", "3D"}};
constexpr EngineTypeRule kV3dEngines[] = {{"render", "3D"}, {"bin", "3D"}, {"csd", "Compute"}};
// AMD's XDNA NPU: the mainline driver and the out-of-tree one (which calls
// itself amdxdna_accel_driver) name the array's busy time differently.
constexpr EngineTypeRule kAmdxdnaEngines[] = {{"npu-amdxdna", "Compute"}, {"npu", "Compute"}};

using enum KindSignal;

// The drivers that print no usage statistics only tell the whole-machine
// scan that their devices have no client worth looking for. The device's
// `driver` link names the driver it is bound to, which for nvidia-drm and
// simpledrm is not the DRM driver's own name.
constexpr std::array kProfiles = {
    DriverProfile{"amdgpu", "", true, kAmdgpuRegions, kAmdgpuEngines, kKfdTopology, "gfx",
                  ReadMemInfoAdapter, "", ""},
    DriverProfile{"i915", "", true, kI915Regions, kI915Engines, kDiscreteRegion, "", nullptr, "",
                  ""},
    DriverProfile{"xe", "", true, kXeRegions, kXeEngines, kDiscreteRegion, "", ReadDmemVramAdapter,
                  "", ""},
    DriverProfile{"msm", "", true, {}, kMsmEngines, kAlwaysIntegrated, "", nullptr, "", ""},
    DriverProfile{"panfrost",
                  "",
                  true,
                  {},
                  kPanfrostEngines,
                  kAlwaysIntegrated,
                  "",
                  nullptr,
                  "",
                  "profiling"},
    DriverProfile{
        "panthor", "", true, {}, kPanthorEngines, kAlwaysIntegrated, "", nullptr, "", "profiling"},
    DriverProfile{"v3d", "", true, {}, kV3dEngines, kAlwaysIntegrated, "", nullptr, "", ""},
    // Compute accelerators under /dev/accel. The NPUs of client parts use
    // system memory; Gaudi's fdinfo names no region that marks it discrete.
    DriverProfile{"amdxdna", "", true, {}, kAmdxdnaEngines, kAlwaysIntegrated, "", nullptr, "", ""},
    DriverProfile{"amdxdna_accel_driver",
                  "amdxdna",
                  true,
                  {},
                  kAmdxdnaEngines,
                  kAlwaysIntegrated,
                  "",
                  nullptr,
                  "",
                  ""},
    DriverProfile{
        "intel_vpu", "", true, {}, {}, kAlwaysIntegrated, "", nullptr, "npu_busy_time_us", ""},
    DriverProfile{"habanalabs", "", true, {}, {}, kDiscreteRegion, "", nullptr, "", ""},
    DriverProfile{"nvidia-drm", "nvidia", false, {}, {}, kDiscreteRegion, "", nullptr, "", ""},
    DriverProfile{"ast", "", false, {}, {}, kDiscreteRegion, "", nullptr, "", ""},
    DriverProfile{"mgag200", "", false, {}, {}, kDiscreteRegion, "", nullptr, "", ""},
    DriverProfile{
        "simpledrm", "simple-framebuffer", false, {}, {}, kDiscreteRegion, "", nullptr, "", ""},
    // Drivers that render but print no usage statistics (nouveau, lima,
    // asahi as of Linux 6.12): their clients have nothing to read.
    DriverProfile{"nouveau", "", false, {}, {}, kDiscreteRegion, "", nullptr, "", ""},
    DriverProfile{"lima", "", false, {}, {}, kAlwaysIntegrated, "", nullptr, "", ""},
    DriverProfile{"asahi", "", false, {}, {}, kAlwaysIntegrated, "", nullptr, "", ""},
    // A driver we do not know: every region system memory, engines under
    // their own names, and no region that marks a device discrete, so Local
    // = Shared, the memory it uses being the system's.
    DriverProfile{"", "", true, {}, {}, kDiscreteRegion, "", nullptr, "", ""},
};

bool Matches(const RegionRule& rule, std::string_view region) {
  if (!rule.numbered) return region == rule.name;
  if (region.size() <= rule.name.size() || region.substr(0, rule.name.size()) != rule.name) {
    return false;
  }
  for (const char c : region.substr(rule.name.size())) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

const RegionRule* FindRule(const DriverProfile& profile, std::string_view region) {
  for (const RegionRule& rule : profile.regions) {
    if (Matches(rule, region)) return &rule;
  }
  return nullptr;
}

}  // namespace

const DriverProfile& ProfileForDriver(std::string_view drmDriver) {
  for (const DriverProfile& profile : kProfiles) {
    if (profile.name == drmDriver) return profile;
  }
  return kProfiles.back();
}

const DriverProfile* ProfileForBoundDriver(std::string_view boundDriver) {
  if (boundDriver.empty()) return nullptr;
  for (const DriverProfile& profile : kProfiles) {
    const std::string_view bound = profile.boundDriver.empty() ? profile.name : profile.boundDriver;
    if (bound == boundDriver) return &profile;
  }
  return nullptr;
}

std::span<const DriverProfile> AllDriverProfiles() { return kProfiles; }

RegionClass ClassifyRegion(const DriverProfile& profile, std::string_view region, DeviceKind kind) {
  const RegionRule* rule = FindRule(profile, region);
  if (rule == nullptr) return kSystem;
  return kind == DeviceKind::kDiscrete ? rule->onDiscrete : rule->onIntegrated;
}

bool RegionMarksDiscrete(const DriverProfile& profile, std::string_view region) {
  const RegionRule* rule = FindRule(profile, region);
  return rule != nullptr && rule->marksDiscrete;
}

std::string EngineClassType(std::string_view driver, std::string_view engineClass) {
  for (const EngineTypeRule& rule : ProfileForDriver(driver).engines) {
    if (rule.engineClass == engineClass) return std::string(rule.type);
  }
  return PathSafeName(engineClass);
}

}  // namespace gpuproc
