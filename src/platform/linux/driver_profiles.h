// What gpuproc knows about each DRM driver, in one table: how its fdinfo
// memory regions count, what its engine classes are, how to tell its
// integrated devices from discrete ones, and what it publishes about a whole
// device in sysfs. The scan and the summing consult the table and know no
// driver by name; adding a driver is one entry here and one fixture.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/linux/device_sysfs.h"
#include "platform/linux/gpu_source.h"

namespace gpuproc {

// What a region's resident bytes are, in the terms Windows uses: VRAM, or
// memory the firmware set aside for an integrated GPU, or system memory the
// GPU maps, or on-chip pools that are no process's memory.
enum class RegionClass { kDeviceLocal, kCarveOut, kSystem, kIgnored };

enum class DeviceKind { kDiscrete, kIntegrated };

struct RegionRule {
  std::string_view name;  // the region, or its prefix when `numbered`
  bool numbered;          // `name` followed by a decimal instance number
  RegionClass onDiscrete;
  RegionClass onIntegrated;
  // A client that reports this region is on a discrete device.
  bool marksDiscrete = false;
};

struct EngineTypeRule {
  std::string_view engineClass;
  std::string_view type;
};

// How a driver's devices are told apart.
enum class KindSignal {
  kDiscreteRegion,  // discrete when a client reports a region that marks it
  kAlwaysIntegrated,
  kKfdTopology,  // integrated when the compute topology shows the GPU beside CPU cores
};

struct DriverProfile {
  std::string_view name;         // drm-driver in fdinfo
  std::string_view boundDriver;  // the device's `driver` link where it differs from `name`
  // False for drivers whose fdinfo carries no usage statistics at all: a
  // machine whose every DRM device has one has no client to scan for.
  bool reportsUsage;
  std::span<const RegionRule> regions;  // first match wins; no match is system memory
  std::span<const EngineTypeRule> engines;
  KindSignal kind;
  // An engine class every client has even when the driver leaves its line
  // out (amdgpu prints an engine only once its busy time is above 0).
  std::string_view alwaysListedEngine;
  AdapterReader adapter;  // null: the driver publishes no adapter figures
  // A file of the device's sysfs folder with the whole device's busy time in
  // microseconds (ivpu's npu_busy_time_us), for a driver whose fdinfo has
  // none; empty where there is no such file.
  std::string_view deviceBusyFile;
  // A sysfs switch of the device folder that must read 1 before the driver
  // samples engine time at all (panfrost's and panthor's `profiling`).
  std::string_view profilingSwitch;
};

// The profile for a drm-driver name; the generic profile (every region
// system memory, engines under their own names) for a driver not in the
// table.
const DriverProfile& ProfileForDriver(std::string_view drmDriver);
// The profile for the name of the driver a device is bound to (the last
// component of its `device/driver` link); null when not in the table.
const DriverProfile* ProfileForBoundDriver(std::string_view boundDriver);
// Every profile of the table, the generic one last.
std::span<const DriverProfile> AllDriverProfiles();

RegionClass ClassifyRegion(const DriverProfile& profile, std::string_view region, DeviceKind kind);
bool RegionMarksDiscrete(const DriverProfile& profile, std::string_view region);

// The <Type> of an engine instance for a driver's engine class: "3D",
// "Compute", "Copy", "VideoDecode", "VideoEncode", "VideoProcessing", or the
// class's own name with every character that could break a counter path
// replaced by '_'.
std::string EngineClassType(std::string_view driver, std::string_view engineClass);

}  // namespace gpuproc
