// The GPU source for every open-source kernel GPU driver: each process's DRM
// clients from /proc/<pid>/fd and /proc/<pid>/fdinfo, and amdgpu's adapter
// memory from sysfs.
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

// The <Type> of an engine instance for a driver's engine class: "3D",
// "Compute", "Copy", "VideoDecode", "VideoEncode", "VideoProcessing", or the
// class's own name with every character that could break a counter path
// replaced by '_'.
std::string EngineClassType(std::string_view driver, std::string_view engineClass);

}  // namespace gpuproc
