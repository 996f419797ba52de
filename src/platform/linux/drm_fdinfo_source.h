// The GPU source for every open-source kernel GPU driver: each process's DRM
// clients from /proc/<pid>/fd and /proc/<pid>/fdinfo, and the adapter
// memory the drivers publish in sysfs. What each driver means is in
// driver_profiles.h.
#pragma once

#include <memory>

#include "platform/linux/drm_devices.h"
#include "platform/linux/gpu_source.h"

namespace gpuproc {

std::unique_ptr<GpuSource> CreateDrmFdinfoSource(const GpuSourceContext& context);

}  // namespace gpuproc
