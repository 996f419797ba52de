#include "platform/linux/nvml_readings.h"

#include <algorithm>
#include <cstring>

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
// the fill answers INSUFFICIENT_SIZE again when the list grew meanwhile. The
// status of the call that failed, or SUCCESS.
nvmlReturn_t ReadRunningProcesses(const RunningProcessesEntry& entry, nvmlDevice_t device,
                                  std::vector<ListedProcess>* out) {
  if (entry.function == nullptr) return nvml::NVML_ERROR_FUNCTION_NOT_FOUND;
  unsigned int count = 0;
  nvmlReturn_t status = entry.function(device, &count, nullptr);
  if (status == nvml::NVML_SUCCESS) return status;
  if (status != nvml::NVML_ERROR_INSUFFICIENT_SIZE) return status;

  const auto stride = static_cast<std::size_t>(entry.layout);
  std::vector<unsigned char> buffer;
  for (int attempt = 0; attempt < kFillAttempts; ++attempt) {
    if (count > kMaxEntries) return nvml::NVML_ERROR_UNKNOWN;
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
      return status;
    }
    if (status != nvml::NVML_ERROR_INSUFFICIENT_SIZE) return status;
    count = std::max(filled, capacity + 1);
  }
  return nvml::NVML_ERROR_INSUFFICIENT_SIZE;
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
        read.push_back({samples[i].pid, samples[i].timeStamp, samples[i].smUtil, samples[i].encUtil,
                        samples[i].decUtil});
      }
      return read;
    }
    if (status != nvml::NVML_ERROR_INSUFFICIENT_SIZE) return std::nullopt;
    count = std::max(filled, capacity + 1);
  }
  return std::nullopt;
}

// The same through nvmlDeviceGetProcessesUtilizationInfo, whose caller
// passes the array and its size in a versioned struct.
std::optional<std::vector<NvmlSample>> ReadSamplesInfo(
    nvml::DeviceGetProcessesUtilizationInfoFunction function, nvmlDevice_t device,
    unsigned long long lastSeen) {
  using Samples = std::vector<NvmlSample>;
  nvml::nvmlProcessesUtilizationInfo_v1_t info{};
  info.version = nvml::nvmlProcessesUtilizationInfo_v1;
  info.lastSeenTimeStamp = lastSeen;
  nvmlReturn_t status = function(device, &info);
  if (status == nvml::NVML_SUCCESS || status == nvml::NVML_ERROR_NOT_FOUND) return Samples{};
  if (status != nvml::NVML_ERROR_INSUFFICIENT_SIZE) return std::nullopt;
  unsigned int count = info.processSamplesCount;
  std::vector<nvml::nvmlProcessUtilizationInfo_v1_t> samples;
  for (int attempt = 0; attempt < kFillAttempts; ++attempt) {
    if (count > kMaxEntries) return std::nullopt;
    const unsigned int capacity = WithHeadroom(count);
    samples.assign(capacity, nvml::nvmlProcessUtilizationInfo_v1_t{});
    info = {};
    info.version = nvml::nvmlProcessesUtilizationInfo_v1;
    info.processSamplesCount = capacity;
    info.lastSeenTimeStamp = lastSeen;
    info.procUtilArray = samples.data();
    status = function(device, &info);
    if (status == nvml::NVML_ERROR_NOT_FOUND) return Samples{};
    if (status == nvml::NVML_SUCCESS) {
      Samples read;
      for (unsigned int i = 0; i < std::min(info.processSamplesCount, capacity); ++i) {
        read.push_back({samples[i].pid, samples[i].timeStamp, samples[i].smUtil, samples[i].encUtil,
                        samples[i].decUtil});
      }
      return read;
    }
    if (status != nvml::NVML_ERROR_INSUFFICIENT_SIZE) return std::nullopt;
    count = std::max(info.processSamplesCount, capacity + 1);
  }
  return std::nullopt;
}

}  // namespace

// The compute, graphics and MPS lists of a device (or MIG device), one
// entry per pid whichever lists it is in. The driver gives the same
// usedGpuMemory in each; where one list has no value, another may. False
// when some list was refused for want of privileges.
bool ReadProcessLists(const NvmlFunctions& functions, nvmlDevice_t device,
                      const CollectScope& scope,
                      std::map<std::uint32_t, unsigned long long>& memoryByPid) {
  bool permitted = true;
  for (const RunningProcessesEntry* list :
       {&functions.computeProcesses, &functions.graphicsProcesses,
        &functions.mpsComputeProcesses}) {
    std::vector<ListedProcess> listed;
    if (ReadRunningProcesses(*list, device, &listed) == nvml::NVML_ERROR_NO_PERMISSION) {
      permitted = false;
    }
    for (const ListedProcess& process : listed) {
      if (!scope.allProcesses &&
          !std::binary_search(scope.processIds.begin(), scope.processIds.end(), process.pid)) {
        continue;
      }
      auto [it, inserted] = memoryByPid.try_emplace(process.pid, process.usedGpuMemory);
      if (!inserted && (it->second == nvml::NVML_VALUE_NOT_AVAILABLE ||
                        (process.usedGpuMemory != nvml::NVML_VALUE_NOT_AVAILABLE &&
                         process.usedGpuMemory > it->second))) {
        it->second = process.usedGpuMemory;
      }
    }
  }
  return permitted;
}

std::optional<std::vector<NvmlSample>> ReadUtilizationSamples(const NvmlFunctions& functions,
                                                              nvmlDevice_t device,
                                                              unsigned long long lastSeen) {
  // The newer call where the driver has it; a driver that exports it but
  // refuses it (an older GPU) still answers the old one.
  std::optional<std::vector<NvmlSample>> samples;
  if (functions.deviceGetProcessesUtilizationInfo != nullptr) {
    samples = ReadSamplesInfo(functions.deviceGetProcessesUtilizationInfo, device, lastSeen);
  }
  if (!samples && functions.deviceGetProcessUtilization != nullptr) {
    samples = ReadSamples(functions.deviceGetProcessUtilization, device, lastSeen);
  }
  return samples;
}

}  // namespace gpuproc
