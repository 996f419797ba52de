// What the kernel publishes about a whole GPU device without opening it:
// the readers the driver profiles name. Every read goes through the sysfs
// root of the tree being read; anything unreadable is empty.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "platform/linux/gpu_source.h"

namespace gpuproc {

// Adapter-wide figures in bytes, each empty when not published.
struct AdapterFigures {
  std::optional<std::uint64_t> totalCommitted;
  std::optional<std::uint64_t> free;
};

// Reads a discrete device's figures from sysfs: `deviceDir` is its device
// folder, `sysRoot` the root of the sysfs tree.
using AdapterReader = AdapterFigures (*)(int deviceDir, int sysRoot, GpuDevice device);

// A decimal number in the attribute file `name` of the folder `dirFd`.
std::optional<std::uint64_t> ReadSysNumber(int dirFd, const char* name);

// The KFD compute topology's verdict on a PCI device: true when its node
// shows CPU cores and SIMDs together (an APU described as one node), false
// when its node has SIMDs alone, empty when no node names the device or the
// topology cannot be read.
std::optional<bool> KfdShowsIntegrated(int sysRoot, GpuDevice device);

// A GPU of the KFD compute topology: the device its node names (domain and
// location_id) and its compute units (simd_count / simd_per_cu).
struct KfdGpu {
  GpuDevice device;
  std::optional<std::uint64_t> computeUnits;
};
// Every GPU node of /sys/class/kfd/kfd/topology/nodes, by its gpu_id (the
// number KFD's per-process files are named by); CPU nodes have gpu_id 0.
std::map<std::uint32_t, KfdGpu> ReadKfdGpus(int sysRoot);

// The device folder's mem_info_vram_total, mem_info_vram_used and
// mem_info_gtt_used: committed = VRAM used + GTT used, free = VRAM total -
// VRAM used.
AdapterFigures ReadMemInfoAdapter(int deviceDir, int sysRoot, GpuDevice device);

// The dmem cgroup controller's root files (fs/cgroup/dmem.capacity and
// dmem.current), summed over the device's `vram<N>` regions: committed =
// used, free = capacity - used. Only the root cgroup has dmem.capacity, so a
// container's own cgroup folder gives nothing rather than its share.
AdapterFigures ReadDmemVramAdapter(int deviceDir, int sysRoot, GpuDevice device);

// "dddd:bb:dd.f" of a device, as the kernel names PCI devices.
std::string PciName(GpuDevice device);

}  // namespace gpuproc
