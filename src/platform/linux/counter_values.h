// What one collection of every GPU source amounts to, named as the three
// counter objects publish it.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/gpu_source.h"

namespace gpuproc {

// One collection of every source, merged and named as the three counter
// objects publish it. Instances are in enumeration order: processes by
// ascending id, one process's devices by ascending instance name.
struct CounterValues {
  struct ProcessInstance {
    std::u16string name;
    std::optional<std::uint64_t> localUsage, sharedUsage, dedicatedUsage, totalCommitted;
    std::uint32_t processId = 0;
    std::optional<std::uint64_t> readAtNs;  // see ProcessGpuUsage::readAtNs
  };
  struct EngineInstance {
    std::u16string name;
    std::optional<double> utilizationPercent;
    std::optional<std::uint64_t> busyNs;
    bool current = true;  // see EngineClassUsage::current
  };
  struct AdapterInstance {
    std::u16string name;
    std::optional<std::uint64_t> totalCommitted, free;
    std::string deviceName, sysfsDevice, address;  // as the source gave them
    std::string kind = kGpuKind;
    std::function<DeviceHealth()> readHealth = {};
  };
  std::vector<ProcessInstance> processes;
  std::vector<EngineInstance> engines;
  std::vector<AdapterInstance> adapters;
  // The most any source was refused: the sources look at the same
  // processes, so their counts overlap rather than add up.
  std::uint32_t unreadableProcesses = 0;
  std::vector<std::string> notices = {};  // every source's, in table order
};

// Merges the sources' snapshots in table order; a device that an earlier
// source reported is ignored in the later ones, except by a source that
// supplements the earlier ones (see GpuSnapshot).
CounterValues MergeSnapshots(const std::vector<GpuSnapshot>& snapshots);

}  // namespace gpuproc
