// The GPU source for ROCm compute through AMD's KFD.
//
// ROCm's compute queues bypass the DRM scheduler, so a training job shows
// no engine time in amdgpu's fdinfo. KFD publishes its own per-process
// figures, readable by every user, under /sys/class/kfd/kfd/proc/<pid>/:
// VRAM in bytes (vram_<gpu_id>), SDMA busy time in microseconds
// (sdma_<gpu_id>) and the compute units occupied now
// (stats_<gpu_id>/cu_occupancy). <gpu_id> names a node of the KFD topology,
// whose properties give the device's PCI name and compute units.
//
// The source supplements DRM fdinfo: its (process, device) entries join
// those of amdgpu's clients rather than being dropped as a device another
// source already reports (see GpuSnapshot::supplementsEarlierSources).
#pragma once

#include <memory>

#include "platform/linux/gpu_source.h"

namespace gpuproc {

std::unique_ptr<GpuSource> CreateKfdSource(const GpuSourceContext& context);

}  // namespace gpuproc
