#include "platform/linux/nvml_source.h"

#include <time.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <utility>
#include <vector>

#include "platform/linux/device_sysfs.h"
#include "platform/linux/nvml_readings.h"
#include "platform/linux/utf16.h"

namespace gpuproc {
namespace {

using nvml::nvmlDevice_t;
using nvml::nvmlReturn_t;

// The memory figures of one listed process; NVML has no per-process
// system-memory figure: what the driver maps from system memory is not in
// usedGpuMemory.
ProcessGpuUsage ListedUsage(std::uint32_t pid, GpuDevice device, unsigned long long memory) {
  ProcessGpuUsage usage;
  usage.processId = pid;
  usage.device = device;
  if (memory != nvml::NVML_VALUE_NOT_AVAILABLE) {
    usage.localUsage = memory;
    usage.dedicatedUsage = memory;
    usage.totalCommitted = memory;
  }
  usage.sharedUsage = 0;
  return usage;
}

// "<GPU name> MIG <profile>": the driver names a MIG device so itself, but
// the parent's name is taken from the parent, so that the two always agree.
std::string MigAdapterName(const std::string& parent, const std::string& migDevice) {
  const std::size_t at = migDevice.rfind("MIG ");
  return parent + " MIG " + (at == std::string::npos ? migDevice : migDevice.substr(at + 4));
}

std::optional<GpuDevice> ReadDevice(const NvmlFunctions& functions, nvmlDevice_t device) {
  // Big enough for either layout; both put domain, bus and device at the same
  // offsets.
  nvml::nvmlPciInfo_t pci{};
  if (functions.deviceGetPciInfo(device, &pci) != nvml::NVML_SUCCESS) return std::nullopt;
  std::string_view busId;
  if (functions.pciInfoLayout == PciInfoLayout::kV3) {
    busId = std::string_view(pci.busId, strnlen(pci.busId, sizeof pci.busId));
  } else {
    busId = std::string_view(pci.busIdLegacy, strnlen(pci.busIdLegacy, sizeof pci.busIdLegacy));
  }
  return DeviceFromPciInfo(pci.domain, pci.bus, pci.device, busId);
}

// The product name ("NVIDIA GeForce RTX 4090"); empty where NVML gives none.
std::string ReadName(const NvmlFunctions& functions, nvmlDevice_t device) {
  char name[nvml::kDeviceNameBufferSize] = {};
  if (functions.deviceGetName == nullptr ||
      functions.deviceGetName(device, name, sizeof name) != nvml::NVML_SUCCESS) {
    return {};
  }
  // Never trust the driver to end it, nor to write UTF-8.
  return Utf16ToUtf8(Utf8ToUtf16(std::string_view(name, strnlen(name, sizeof name))));
}

AdapterUsage ReadAdapter(const NvmlFunctions& functions, nvmlDevice_t device, GpuDevice name,
                         bool values) {
  AdapterUsage adapter;
  adapter.device = name;
  if (!values) return adapter;
  adapter.name = ReadName(functions, device);
  if (functions.deviceGetMemoryInfo == nullptr) return adapter;
  if (functions.memoryInfoV2) {
    nvml::nvmlMemory_v2_t memory{};
    memory.version = nvml::nvmlMemory_v2;
    if (functions.deviceGetMemoryInfo(device, &memory) == nvml::NVML_SUCCESS) {
      adapter.totalCommitted = memory.used;
      adapter.free = memory.free;
    }
  } else {
    nvml::nvmlMemory_t memory{};
    if (functions.deviceGetMemoryInfo(device, &memory) == nvml::NVML_SUCCESS) {
      adapter.totalCommitted = memory.used;
      adapter.free = memory.free;
    }
  }
  return adapter;
}

bool InMigMode(const NvmlFunctions& functions, nvmlDevice_t device) {
  if (functions.deviceGetMigMode == nullptr) return false;
  unsigned int current = 0;
  unsigned int pending = 0;
  // NOT_SUPPORTED on GPUs without MIG: not in MIG mode.
  return functions.deviceGetMigMode(device, &current, &pending) == nvml::NVML_SUCCESS &&
         current == nvml::NVML_DEVICE_MIG_ENABLE;
}

}  // namespace

GpuDevice DeviceFromPciInfo(unsigned int domain, unsigned int bus, unsigned int device,
                            std::string_view busId) {
  unsigned int function = 0;
  const std::size_t dot = busId.rfind('.');
  if (dot != std::string_view::npos && dot + 1 < busId.size()) {
    // PCI functions are 0 to 7: one octal digit, written as hex by NVML.
    const char digit = busId[dot + 1];
    if (digit >= '0' && digit <= '7' && dot + 2 == busId.size()) {
      function = static_cast<unsigned int>(digit - '0');
    }
  }
  return GpuDevice{domain, (bus & 0xFFu) << 8 | (device & 0x1Fu) << 3 | function};
}

std::uint64_t NvmlTimestampNow() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000u +
         static_cast<std::uint64_t>(now.tv_nsec) / 1'000u;
}

NvmlSource::NvmlSource(std::shared_ptr<const NvmlLibrary> library, BusyTimeLedger& ledger,
                       MonotonicClock clock)
    : library_(std::move(library)), ledger_(ledger), clock_(std::move(clock)) {}

NvmlSource::~NvmlSource() {
  for (const auto& [instance, sample] : gpmSamples_) library_->Functions().gpmSampleFree(sample);
}

std::optional<double> NvmlSource::GpmGraphicsUtil(nvmlDevice_t device, GpuDevice instance,
                                                  unsigned int gpuInstanceId) {
  const NvmlFunctions& functions = library_->Functions();
  if (functions.gpmSampleAlloc == nullptr || functions.gpmSampleFree == nullptr ||
      functions.gpmMigSampleGet == nullptr || functions.gpmMetricsGet == nullptr) {
    return std::nullopt;
  }
  nvml::nvmlGpmSample_t sample = nullptr;
  if (functions.gpmSampleAlloc(&sample) != nvml::NVML_SUCCESS || sample == nullptr) {
    return std::nullopt;
  }
  // GPUs before Hopper answer NOT_SUPPORTED: no utilisation, as before.
  if (functions.gpmMigSampleGet(device, gpuInstanceId, sample) != nvml::NVML_SUCCESS) {
    functions.gpmSampleFree(sample);
    return std::nullopt;
  }
  std::optional<double> percent;
  const auto previous = gpmSamples_.find(instance);
  if (previous != gpmSamples_.end()) {
    nvml::nvmlGpmMetricsGet_t metrics{};
    metrics.version = nvml::NVML_GPM_METRICS_GET_VERSION;
    metrics.numMetrics = 1;
    metrics.sample1 = previous->second;
    metrics.sample2 = sample;
    metrics.metrics[0].metricId = nvml::NVML_GPM_METRIC_GRAPHICS_UTIL;
    if (functions.gpmMetricsGet(&metrics) == nvml::NVML_SUCCESS &&
        metrics.metrics[0].nvmlReturn == nvml::NVML_SUCCESS &&
        metrics.metrics[0].value == metrics.metrics[0].value) {  // not NaN
      percent = std::clamp(metrics.metrics[0].value, 0.0, 100.0);
    }
    functions.gpmSampleFree(previous->second);
    previous->second = sample;
  } else {
    gpmSamples_.emplace(instance, sample);
  }
  return percent;
}

GpuSnapshot NvmlSource::Collect(const CollectScope& scope) {
  ++collections_;
  GpuSnapshot snapshot;
  const NvmlFunctions& functions = library_->Functions();
  unsigned int deviceCount = 0;
  if (functions.deviceGetCount(&deviceCount) != nvml::NVML_SUCCESS) return snapshot;
  const bool wantsProcesses = scope.allProcesses || !scope.processIds.empty();

  for (unsigned int index = 0; index < deviceCount; ++index) {
    // Any call on a device can answer NO_PERMISSION or GPU_IS_LOST; each
    // failure leaves out only what it was asked for.
    nvmlDevice_t device = nullptr;
    if (functions.deviceGetHandleByIndex(index, &device) != nvml::NVML_SUCCESS) continue;
    const std::optional<GpuDevice> name = ReadDevice(functions, device);
    if (!name) continue;  // a device we cannot name cannot be reported
    snapshot.adapters.push_back(ReadAdapter(functions, device, *name, scope.adapterValues));
    if (scope.adapterValues) {
      // The library stays loaded while the collection that holds this does.
      snapshot.adapters.back().readHealth = [library = library_, device] {
        return ReadNvmlHealth(library->Functions().health, device);
      };
    }
    if (InMigMode(functions, device)) {
      CollectMigDevices(device, *name, scope, snapshot);
      continue;
    }
    if (!wantsProcesses) continue;

    std::map<std::uint32_t, unsigned long long> memoryByPid;
    ReadProcessLists(functions, device, scope, memoryByPid);
    if (memoryByPid.empty()) continue;
    AddProcesses(device, *name, memoryByPid, snapshot);
  }
  return snapshot;
}

// Samples for pids outside the lists are kept for their busy time but not
// reported: their process has no instance on this device.
void NvmlSource::AddProcesses(nvmlDevice_t device, GpuDevice name,
                              const std::map<std::uint32_t, unsigned long long>& memoryByPid,
                              GpuSnapshot& snapshot) {
  const NvmlFunctions& functions = library_->Functions();
  // Utilisation compares with an earlier collection: the first has none.
  const bool wantsUtilization = collections_ >= 2;
  const std::uint64_t now = NvmlTimestampNow();
  bool windowTrusted = true;
  std::optional<std::map<std::uint32_t, BusyTimeLedger::NvmlProcessTime>> times;
  if (functions.deviceGetProcessesUtilizationInfo != nullptr ||
      functions.deviceGetProcessUtilization != nullptr) {
    windowTrusted = ledger_.NvmlWindowTrusted(now, clock_ ? clock_() / 1000 : 0,
                                              kUtilizationWindowMicroseconds);
    std::optional<std::uint64_t> lastSeen = ledger_.NvmlLastSeen(name);
    if (lastSeen && *lastSeen > now + kUtilizationWindowMicroseconds) {
      // The wall clock went back: samples seen on the old one say nothing.
      ledger_.RestartNvmlDevice(name);
      lastSeen.reset();
    }
    const unsigned long long since = lastSeen.value_or(
        now > kUtilizationWindowMicroseconds ? now - kUtilizationWindowMicroseconds : 0);
    std::optional<std::vector<NvmlSample>> samples =
        ReadUtilizationSamples(functions, device, since);
    if (samples) {
      std::erase_if(*samples, [&](const NvmlSample& sample) {
        return sample.timeStampUs > now + kUtilizationWindowMicroseconds;
      });
      times = ledger_.RecordNvmlSamples(name, *samples);
    }
  }

  for (const auto& [pid, memory] : memoryByPid) {
    ProcessGpuUsage usage = ListedUsage(pid, name, memory);
    if (!times) {
      usage.engines.push_back({"3D", std::nullopt, std::nullopt, true});
      snapshot.processes.push_back(std::move(usage));
      continue;
    }
    const auto time = times->find(pid);
    const std::optional<NvmlSample> newest =
        time == times->end() ? std::nullopt : time->second.newest;
    const bool recent = newest && newest->timeStampUs + kUtilizationWindowMicroseconds > now;
    // The SMs are the 3D engine, as Windows counts compute and graphics
    // work alike; NVENC and NVDEC are the video engines Windows shows.
    const struct {
      const char* type;
      std::uint64_t busyNs;
      unsigned int percent;
    } engines[] = {
        {"3D", time == times->end() ? 0 : time->second.busyNs, newest ? newest->smUtil : 0},
        {"VideoEncode", time == times->end() ? 0 : time->second.encBusyNs,
         newest ? newest->encUtil : 0},
        {"VideoDecode", time == times->end() ? 0 : time->second.decBusyNs,
         newest ? newest->decUtil : 0},
    };
    for (const auto& engine : engines) {
      EngineClassUsage usageOf{engine.type, std::nullopt, engine.busyNs, true};
      // A listed process with no sample in the window did not run on the
      // engine; a share above 100 (seen on some drivers) is clamped. Across a
      // step of the wall clock the window says nothing: no value.
      if (wantsUtilization && windowTrusted) {
        usageOf.utilizationPercent =
            recent ? static_cast<double>(std::min(engine.percent, 100u)) : 0.0;
      }
      usage.engines.push_back(std::move(usageOf));
    }
    snapshot.processes.push_back(std::move(usage));
  }
}

// A GPU in MIG mode is split into GPU instances, each a GPU of its own to
// the processes that use it: an adapter named luid_0x<domain>_0x<(id + 1)
// << 16 | bus, device, function>, with its own memory and processes. NVML
// has no per-process utilisation there.
void NvmlSource::CollectMigDevices(nvmlDevice_t device, GpuDevice name, const CollectScope& scope,
                                   GpuSnapshot& snapshot) {
  const NvmlFunctions& functions = library_->Functions();
  unsigned int count = 0;
  if (functions.deviceGetMaxMigDeviceCount == nullptr ||
      functions.deviceGetMigDeviceHandleByIndex == nullptr ||
      functions.deviceGetGpuInstanceId == nullptr ||
      functions.deviceGetMaxMigDeviceCount(device, &count) != nvml::NVML_SUCCESS) {
    return;
  }
  const std::string parentName = scope.adapterValues ? ReadName(functions, device) : std::string();
  const bool wantsProcesses = scope.allProcesses || !scope.processIds.empty();
  // A GPU instance holds one or more compute instances, each a MIG device
  // of its own to NVML: one adapter per GPU instance, its processes merged.
  std::map<unsigned int, std::map<std::uint32_t, unsigned long long>> processesByInstance;
  bool refused = false;
  for (unsigned int index = 0; index < std::min(count, 64u); ++index) {
    nvmlDevice_t migDevice = nullptr;
    unsigned int instance = 0;
    if (functions.deviceGetMigDeviceHandleByIndex(device, index, &migDevice) !=
            nvml::NVML_SUCCESS ||
        functions.deviceGetGpuInstanceId(migDevice, &instance) != nvml::NVML_SUCCESS ||
        instance >= 0xFFFFu) {
      continue;
    }
    const GpuDevice migName{name.high, (instance + 1) << kMigInstanceShift | (name.low & 0xFFFFu)};
    const auto [known, added] = processesByInstance.try_emplace(instance);
    if (added) {
      AdapterUsage adapter = ReadAdapter(functions, migDevice, migName, scope.adapterValues);
      if (scope.adapterValues) adapter.name = MigAdapterName(parentName, adapter.name);
      snapshot.adapters.push_back(std::move(adapter));
    }
    if (wantsProcesses && !ReadProcessLists(functions, migDevice, scope, known->second)) {
      refused = true;
    }
  }
  for (const auto& [instance, memoryByPid] : processesByInstance) {
    const GpuDevice migName{name.high, (instance + 1) << kMigInstanceShift | (name.low & 0xFFFFu)};
    // The instance's graphics activity is its process's only where it has
    // one; NVML does not say how several share it.
    std::optional<double> percent;
    if (wantsProcesses) percent = GpmGraphicsUtil(device, migName, instance);
    for (const auto& [pid, memory] : memoryByPid) {
      ProcessGpuUsage usage = ListedUsage(pid, migName, memory);
      usage.engines.push_back(
          {"3D", memoryByPid.size() == 1 ? percent : std::nullopt, std::nullopt, true});
      snapshot.processes.push_back(std::move(usage));
    }
  }
  if (refused) {
    // Without this line a MIG GPU whose lists need privileges would read as
    // a GPU nobody uses.
    snapshot.notices.push_back("NVML: the processes of the MIG instances of the GPU at " +
                               PciName(name) +
                               " can be listed only with privileges this process lacks "
                               "(NVML_ERROR_NO_PERMISSION); run as root or grant it "
                               "CAP_SYS_ADMIN to see them.");
  }
}

GpuSourceEntry NvmlSourceEntry() {
  return {"nvml",
          [](const GpuSourceContext& context) -> std::unique_ptr<GpuSource> {
            std::shared_ptr<const NvmlLibrary> library = AcquireSharedNvmlLibrary();
            if (!library) return nullptr;
            return std::make_unique<NvmlSource>(std::move(library), context.ledger, context.clock);
          },
          []() -> std::string {
            if (!SharedNvmlLost()) return {};
            return "nvmlInit_v2: NVML stopped answering (the NVIDIA driver was reloaded or "
                   "upgraded) and could not be loaded and initialised again: NVIDIA GPUs are "
                   "left out.";
          }};
}

}  // namespace gpuproc
