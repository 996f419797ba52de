// NVML's lists read with its size-then-fill protocols: the running-process
// lists of a device and its per-process utilisation samples. A list that
// grows between the size query and the fill is read again; a count no
// driver gives is a broken answer, not a reason to allocate gigabytes.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "platform/linux/busy_time_ledger.h"
#include "platform/linux/gpu_source.h"
#include "platform/linux/nvml_library.h"

namespace gpuproc {

// The compute, graphics and MPS lists of a device (or MIG device), one
// entry per pid in `scope` whichever lists it is in, with its usedGpuMemory
// (NVML's "not available" where no list has a value). False when some list
// was refused for want of privileges.
bool ReadProcessLists(const NvmlFunctions& functions, nvml::nvmlDevice_t device,
                      const CollectScope& scope,
                      std::map<std::uint32_t, unsigned long long>& memoryByPid);

// Every utilisation sample newer than `lastSeen` (the driver's sample time),
// through nvmlDeviceGetProcessesUtilizationInfo where the driver has it and
// answers, else nvmlDeviceGetProcessUtilization. An empty list: no sample;
// empty: utilisation cannot be read on this device.
std::optional<std::vector<NvmlSample>> ReadUtilizationSamples(const NvmlFunctions& functions,
                                                              nvml::nvmlDevice_t device,
                                                              unsigned long long lastSeen);

}  // namespace gpuproc
