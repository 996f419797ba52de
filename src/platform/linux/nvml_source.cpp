#include "platform/linux/nvml_source.h"

#include <time.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <utility>
#include <vector>

#include "platform/linux/utf16.h"

namespace gpuproc {
namespace {

using nvml::nvmlDevice_t;
using nvml::nvmlReturn_t;

// A driver never lists this many processes or samples on one device; a count
// beyond it is a broken answer, not a reason to allocate gigabytes.
constexpr unsigned int kMaxEntries = 1u << 16;
// Each list can grow between the size query and the fill; after this many
// rounds of growth we give up on the list for this collection.
constexpr int kFillAttempts = 4;

unsigned int WithHeadroom(unsigned int count) {
  return std::min(kMaxEntries, count + count / 4 + 8);
}

struct ListedProcess {
  std::uint32_t pid = 0;
  unsigned long long usedGpuMemory = nvml::NVML_VALUE_NOT_AVAILABLE;
};

// One running-process list with NVML's size protocol: a call with no buffer
// answers INSUFFICIENT_SIZE and the count (or SUCCESS when the list is empty),
// the fill answers INSUFFICIENT_SIZE again when the list grew meanwhile. False
// when the list could not be read.
bool ReadRunningProcesses(const RunningProcessesEntry& entry, nvmlDevice_t device,
                          std::vector<ListedProcess>* out) {
  if (entry.function == nullptr) return false;
  unsigned int count = 0;
  nvmlReturn_t status = entry.function(device, &count, nullptr);
  if (status == nvml::NVML_SUCCESS) return true;
  if (status != nvml::NVML_ERROR_INSUFFICIENT_SIZE) return false;

  const auto stride = static_cast<std::size_t>(entry.layout);
  std::vector<unsigned char> buffer;
  for (int attempt = 0; attempt < kFillAttempts; ++attempt) {
    if (count > kMaxEntries) return false;
    const unsigned int capacity = WithHeadroom(count);
    // Sized for the largest struct whatever the stride we expect, so that a
    // driver whose _v3 fills a bigger struct cannot write past the buffer.
    buffer.assign(static_cast<std::size_t>(capacity) * nvml::kMaxProcessInfoSize, 0);
    unsigned int filled = capacity;
    status = entry.function(device, &filled, buffer.data());
    if (status == nvml::NVML_SUCCESS) {
      filled = std::min(filled, capacity);
      for (unsigned int i = 0; i < filled; ++i) {
        const unsigned char* info = buffer.data() + i * stride;
        ListedProcess process;
        // pid at offset 0 and usedGpuMemory at offset 8 in every version.
        std::memcpy(&process.pid, info, sizeof process.pid);
        std::memcpy(&process.usedGpuMemory, info + 8, sizeof process.usedGpuMemory);
        out->push_back(process);
      }
      return true;
    }
    if (status != nvml::NVML_ERROR_INSUFFICIENT_SIZE) return false;
    count = std::max(filled, capacity + 1);
  }
  return false;
}

// Every sample since `lastSeen`. Empty list: no sample (NVML answers
// NOT_FOUND when none is newer). Empty optional: utilisation cannot be read on
// this device.
std::optional<std::vector<NvmlSample>> ReadSamples(
    nvml::DeviceGetProcessUtilizationFunction function, nvmlDevice_t device,
    unsigned long long lastSeen) {
  using Samples = std::vector<NvmlSample>;
  unsigned int count = 0;
  nvmlReturn_t status = function(device, nullptr, &count, lastSeen);
  if (status == nvml::NVML_SUCCESS || status == nvml::NVML_ERROR_NOT_FOUND) return Samples{};
  if (status != nvml::NVML_ERROR_INSUFFICIENT_SIZE) return std::nullopt;

  std::vector<nvml::nvmlProcessUtilizationSample_t> samples;
  for (int attempt = 0; attempt < kFillAttempts; ++attempt) {
    if (count > kMaxEntries) return std::nullopt;
    const unsigned int capacity = WithHeadroom(count);
    samples.assign(capacity, nvml::nvmlProcessUtilizationSample_t{});
    unsigned int filled = capacity;
    status = function(device, samples.data(), &filled, lastSeen);
    if (status == nvml::NVML_ERROR_NOT_FOUND) return Samples{};
    if (status == nvml::NVML_SUCCESS) {
      Samples read;
      for (unsigned int i = 0; i < std::min(filled, capacity); ++i) {
        read.push_back({samples[i].pid, samples[i].timeStamp, samples[i].smUtil});
      }
      return read;
    }
    if (status != nvml::NVML_ERROR_INSUFFICIENT_SIZE) return std::nullopt;
    count = std::max(filled, capacity + 1);
  }
  return std::nullopt;
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

bool InScope(const CollectScope& scope, std::uint32_t pid) {
  return scope.allProcesses ||
         std::binary_search(scope.processIds.begin(), scope.processIds.end(), pid);
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

GpuSnapshot NvmlSource::Collect(const CollectScope& scope) {
  ++collections_;
  GpuSnapshot snapshot;
  const NvmlFunctions& functions = library_->Functions();
  unsigned int deviceCount = 0;
  if (functions.deviceGetCount(&deviceCount) != nvml::NVML_SUCCESS) return snapshot;
  const bool wantsProcesses = scope.allProcesses || !scope.processIds.empty();
  // Utilisation compares with an earlier collection: the first has none.
  const bool wantsUtilization = collections_ >= 2;

  for (unsigned int index = 0; index < deviceCount; ++index) {
    // Any call on a device can answer NO_PERMISSION or GPU_IS_LOST; each
    // failure leaves out only what it was asked for.
    nvmlDevice_t device = nullptr;
    if (functions.deviceGetHandleByIndex(index, &device) != nvml::NVML_SUCCESS) continue;
    const std::optional<GpuDevice> name = ReadDevice(functions, device);
    if (!name) continue;  // a device we cannot name cannot be reported
    snapshot.adapters.push_back(ReadAdapter(functions, device, *name, scope.adapterValues));
    if (!wantsProcesses) continue;

    // One entry per pid, whichever lists it is in. The driver gives the same
    // usedGpuMemory in each; where one list has no value, another may.
    std::map<std::uint32_t, unsigned long long> memoryByPid;
    for (const RunningProcessesEntry* list :
         {&functions.computeProcesses, &functions.graphicsProcesses,
          &functions.mpsComputeProcesses}) {
      std::vector<ListedProcess> listed;
      ReadRunningProcesses(*list, device, &listed);
      for (const ListedProcess& process : listed) {
        if (!InScope(scope, process.pid)) continue;
        auto [it, inserted] = memoryByPid.try_emplace(process.pid, process.usedGpuMemory);
        if (!inserted && (it->second == nvml::NVML_VALUE_NOT_AVAILABLE ||
                          (process.usedGpuMemory != nvml::NVML_VALUE_NOT_AVAILABLE &&
                           process.usedGpuMemory > it->second))) {
          it->second = process.usedGpuMemory;
        }
      }
    }
    if (memoryByPid.empty()) continue;

    // Samples for pids outside the lists are kept for their busy time but
    // not reported: their process has no instance on this device.
    const std::uint64_t now = NvmlTimestampNow();
    bool windowTrusted = true;
    std::optional<std::map<std::uint32_t, BusyTimeLedger::NvmlProcessTime>> times;
    if (functions.deviceGetProcessUtilization != nullptr && !InMigMode(functions, device)) {
      windowTrusted = ledger_.NvmlWindowTrusted(now, clock_ ? clock_() / 1000 : 0,
                                                kUtilizationWindowMicroseconds);
      std::optional<std::uint64_t> lastSeen = ledger_.NvmlLastSeen(*name);
      if (lastSeen && *lastSeen > now + kUtilizationWindowMicroseconds) {
        // The wall clock went back: samples seen on the old one say nothing.
        ledger_.RestartNvmlDevice(*name);
        lastSeen.reset();
      }
      std::optional<std::vector<NvmlSample>> samples = ReadSamples(
          functions.deviceGetProcessUtilization, device,
          lastSeen.value_or(
              now > kUtilizationWindowMicroseconds ? now - kUtilizationWindowMicroseconds : 0));
      if (samples) {
        std::erase_if(*samples, [&](const NvmlSample& sample) {
          return sample.timeStampUs > now + kUtilizationWindowMicroseconds;
        });
        times = ledger_.RecordNvmlSamples(*name, *samples);
      }
    }

    for (const auto& [pid, memory] : memoryByPid) {
      ProcessGpuUsage usage;
      usage.processId = pid;
      usage.device = *name;
      if (memory != nvml::NVML_VALUE_NOT_AVAILABLE) {
        usage.localUsage = memory;
        usage.dedicatedUsage = memory;
        usage.totalCommitted = memory;
      }
      // NVML has no per-process system-memory figure: what the driver maps
      // from system memory is not in usedGpuMemory.
      usage.sharedUsage = 0;
      EngineClassUsage engine{"3D", std::nullopt, std::nullopt, true};
      if (times) {
        const auto time = times->find(pid);
        engine.busyNs = time == times->end() ? 0 : time->second.busyNs;
        const std::optional<NvmlSample> newest =
            time == times->end() ? std::nullopt : time->second.newest;
        // A listed process with no sample in the window did not run on the
        // SMs; smUtil above 100 (seen on some drivers) is clamped. Across a
        // step of the wall clock the window says nothing: no value.
        if (wantsUtilization && windowTrusted) {
          engine.utilizationPercent =
              newest && newest->timeStampUs + kUtilizationWindowMicroseconds > now
                  ? static_cast<double>(std::min(newest->smUtil, 100u))
                  : 0.0;
        }
      }
      usage.engines.push_back(std::move(engine));
      snapshot.processes.push_back(std::move(usage));
    }
  }
  return snapshot;
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
