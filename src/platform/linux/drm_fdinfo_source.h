// The GPU source for every open-source kernel GPU driver: each process's DRM
// clients from /proc/<pid>/fd and /proc/<pid>/fdinfo, and the adapter
// memory the drivers publish in sysfs. What each driver means is in
// driver_profiles.h.
#pragma once

#include <memory>
#include <optional>
#include <string_view>

#include "platform/linux/gpu_source.h"

namespace gpuproc {

std::unique_ptr<GpuSource> CreateDrmFdinfoSource(const GpuSourceContext& context);

// "dddd:bb:dd.f" (the domain may have up to 8 hex digits) as a device name;
// empty when the text is not a PCI address.
std::optional<GpuDevice> ParsePciAddress(std::string_view text);

}  // namespace gpuproc
