// A whole device's health as the kernel publishes it in sysfs, without
// opening the device: the hwmon folder under the device (power, energy,
// temperatures, clocks, fan, power cap) and the drivers' own files beside it
// (amdgpu's gpu_busy_percent, i915's gt_act_freq_mhz, xe's per-GT act_freq).
// Every read goes through the sysfs root of the tree being read; anything
// unreadable stays empty.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/linux/gpu_source.h"

namespace gpuproc {

class HostFs;

// `cardFolder` is the DRM card's folder below the sysfs root
// ("class/drm/card0"), whose `device` is the device's folder. `integrated`
// says the device shares its package with the CPU, so that the power its
// hwmon reports is the package's.
DeviceHealth ReadSysfsHealth(const HostFs& fs, std::string_view cardFolder, bool integrated);

// The name a sensor or clock is published under, from its hwmon label:
// lower case, with amdgpu's short names spelled out ("mem" is "memory",
// "sclk" is "graphics", "mclk" is "memory").
std::string TemperatureName(std::string_view label);
std::string ClockName(std::string_view label);

}  // namespace gpuproc
