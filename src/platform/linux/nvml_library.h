// NVIDIA's management library, loaded at run time and initialised once.
//
// An NvmlLibrary owns one dlopen handle of libnvidia-ml.so.1 and one
// successful nvmlInit; its destructor calls nvmlShutdown and dlclose, in that
// order. Every entry point is resolved once, newest version first, and comes
// with the struct layout that version fills.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/linux/nvml_api.h"
#include "platform/linux/nvml_health.h"

namespace gpuproc {

inline constexpr const char* kNvmlLibraryName = "libnvidia-ml.so.1";

// Which struct a running-process entry point fills, by its stride in bytes.
enum class ProcessInfoLayout : std::size_t {
  kV1 = sizeof(nvml::nvmlProcessInfo_v1_t),
  kV2 = sizeof(nvml::nvmlProcessInfo_v2_t),
  kV3 = sizeof(nvml::nvmlProcessInfo_v3_t),
};

// The layout a running-process function of the given version (3, 2 or 1 for
// no suffix) fills, given which marker symbols the library exports. Only the
// R535.43 to R535.86 drivers fill the 32-byte struct from _v3: they export
// nvmlDeviceGetConfComputeMemSizeInfo but not
// nvmlDeviceGetRunningProcessDetailList.
ProcessInfoLayout ChooseProcessInfoLayout(int version, bool hasConfComputeMemSizeInfo,
                                          bool hasRunningProcessDetailList);

struct RunningProcessesEntry {
  nvml::DeviceGetRunningProcessesFunction function = nullptr;
  ProcessInfoLayout layout = ProcessInfoLayout::kV1;
};

// Whether nvmlDeviceGetPciInfo came as _v3 (nvmlPciInfo_t) or as an older
// version (nvmlPciInfoLegacy_t).
enum class PciInfoLayout { kLegacy, kV3 };

struct NvmlFunctions {
  nvml::DeviceGetCountFunction deviceGetCount = nullptr;
  nvml::DeviceGetHandleByIndexFunction deviceGetHandleByIndex = nullptr;
  nvml::DeviceGetPciInfoFunction deviceGetPciInfo = nullptr;
  PciInfoLayout pciInfoLayout = PciInfoLayout::kLegacy;
  RunningProcessesEntry computeProcesses;
  RunningProcessesEntry graphicsProcesses;
  RunningProcessesEntry mpsComputeProcesses;
  // Null where the driver has no per-process utilisation (before R340).
  nvml::DeviceGetProcessUtilizationFunction deviceGetProcessUtilization = nullptr;
  nvml::DeviceGetMemoryInfoFunction deviceGetMemoryInfo = nullptr;
  bool memoryInfoV2 = false;  // nvmlMemory_v2_t rather than nvmlMemory_t
  // Null before R550: the sample with every engine's share.
  nvml::DeviceGetProcessesUtilizationInfoFunction deviceGetProcessesUtilizationInfo = nullptr;
  // Null before R450 (no MIG).
  nvml::DeviceGetMigModeFunction deviceGetMigMode = nullptr;
  nvml::DeviceGetMaxMigDeviceCountFunction deviceGetMaxMigDeviceCount = nullptr;
  nvml::DeviceGetMigDeviceHandleByIndexFunction deviceGetMigDeviceHandleByIndex = nullptr;
  nvml::DeviceGetGpuInstanceIdFunction deviceGetGpuInstanceId = nullptr;
  // Null before R520 (no GPU performance monitoring).
  nvml::GpmSampleAllocFunction gpmSampleAlloc = nullptr;
  nvml::GpmSampleFreeFunction gpmSampleFree = nullptr;
  nvml::GpmMigSampleGetFunction gpmMigSampleGet = nullptr;
  nvml::GpmMetricsGetFunction gpmMetricsGet = nullptr;
  nvml::DeviceGetNameFunction deviceGetName = nullptr;
  // Each null where the driver lacks it.
  NvmlHealthFunctions health;
};

class NvmlLibrary {
 public:
  // Loads `fileName` (a soname searched the way the dynamic linker does, or a
  // path), resolves the entry points and initialises NVML. Null when the
  // library is missing, lacks the device functions, or nvmlInit fails (the
  // CUDA toolkit's stub library fails every call); nothing is written
  // anywhere and nothing stays loaded.
  static std::unique_ptr<NvmlLibrary> Load(const char* fileName = kNvmlLibraryName);

  ~NvmlLibrary();
  NvmlLibrary(const NvmlLibrary&) = delete;
  NvmlLibrary& operator=(const NvmlLibrary&) = delete;

  const NvmlFunctions& Functions() const { return functions_; }

 private:
  NvmlLibrary(void* handle, nvml::ShutdownFunction shutdown, const NvmlFunctions& functions);

  void* handle_;
  nvml::ShutdownFunction shutdown_;
  NvmlFunctions functions_;
};

// A failed load is tried again no sooner than this: the dynamic linker's
// search of every library folder is most of what a call costs on a machine
// without NVML, and a driver loaded later is still found within a second.
inline constexpr std::uint64_t kNvmlRetryIntervalNs = 1'000'000'000;

// Keeps one NVML library loaded and initialised between calls: nvmlInit on a
// driver without the persistence daemon brings every GPU up, far too slow to
// repeat in each call. A failed load is tried again by the first request
// kNvmlRetryIntervalNs or more after it, so a driver installed or loaded
// later is found; a kept library that can no longer count its devices (the
// kernel driver was reloaded or upgraded under it) is shut down, unloaded and
// loaded afresh at once. Not synchronised.
class NvmlKeeper {
 public:
  explicit NvmlKeeper(std::string fileName = kNvmlLibraryName);
  // `nowNs` is CLOCK_MONOTONIC; null when there is no usable NVML.
  std::shared_ptr<const NvmlLibrary> Acquire(std::uint64_t nowNs);
  // True from a reload that failed (the driver was reloaded under a kept
  // library, and a process that may no longer open its devices cannot
  // initialise NVML again) until a load succeeds.
  bool Lost() const { return lost_; }

 private:
  std::string fileName_;
  std::shared_ptr<const NvmlLibrary> library_;
  std::optional<std::uint64_t> lastFailureNs_;
  bool lost_ = false;
};

// The process's keeper's library (platform/linux/process_state.h, which
// defines this). Only called inside a call, under the library's call lock
// (src/export/call_state.h), so calls from many threads never race on it.
std::shared_ptr<const NvmlLibrary> AcquireSharedNvmlLibrary();
// Whether the process's keeper has lost its library (NvmlKeeper::Lost).
bool SharedNvmlLost();

}  // namespace gpuproc
