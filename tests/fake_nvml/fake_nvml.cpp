// A fake libnvidia-ml.so.1: the NVML entry points the library calls, over
// devices and processes that tests describe through fake_nvml.h.
//
// Built in three flavours, each exporting what one generation of drivers
// exports:
//   default            current drivers: _v3 process lists filling
//                      nvmlProcessInfo_v2_t, nvmlDeviceGetRunningProcessDetailList
//                      present, nvmlDeviceGetMemoryInfo_v2, nvmlDeviceGetPciInfo_v3,
//                      nvmlDeviceGetProcessesUtilizationInfo (R550 on).
//   FAKE_NVML_R535     R535.43 to R535.86: _v3 fills the 32-byte
//                      nvmlProcessInfo_v3_t; no RunningProcessDetailList.
//   FAKE_NVML_LEGACY   before R450: only the unsuffixed functions, filling
//                      nvmlProcessInfo_v1_t and the legacy PCI struct; no MIG.
#include "fake_nvml.h"

#include <time.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "platform/linux/nvml_api.h"

#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))

using namespace gpuproc::nvml;

extern "C" int __cxa_atexit(void (*)(void*), void*, void*);
extern "C" void* __dso_handle;

namespace {

constexpr int kMaxDevices = 8;
// Control functions address a MIG device by this plus its slot.
constexpr int kFirstMigIndex = 100;

struct FakeProcess {
  unsigned int pid;
  unsigned long long usedGpuMemory;
};

struct Growth {
  unsigned int count = 0;
  unsigned int firstPid = 0;
  unsigned long long usedGpuMemory = 0;
};

struct FakeDevice {
  unsigned int domain = 0, bus = 0, device = 0, function = 0;
  unsigned long long usedBytes = 0, freeBytes = 0;
  std::array<std::vector<FakeProcess>, 3> lists;
  std::array<Growth, 3> growth;
  std::vector<nvmlProcessUtilizationSample_t> samples;
  unsigned int migMode = 0;
  std::vector<std::pair<std::string, int>> failures;
  unsigned long long lastSeenTimeStamp = 0;
  // A MIG device: its GPU (an index of State::devices), GPU instance and
  // profile; parent -1 for a GPU.
  int parent = -1;
  unsigned int gpuInstanceId = 0;
  std::string profile;
  bool gpmSupported = false;
  double gpmGraphicsUtil = 0;
  // What the device reports about itself; none of it before SetHealth.
  bool hasHealth = false;
  unsigned int powerMilliwatts = 0, limitMilliwatts = 0, temperature = 0, slowdown = 0;
  unsigned int graphicsMHz = 0, memoryMHz = 0, fanRpm = 0, gpuPercent = 0;
  unsigned long long energyMillijoules = 0;
};

struct State {
  bool stub = false;
  int initResult = NVML_SUCCESS;
  int initCount = 0;
  int deviceCount = 0;
  std::array<FakeDevice, kMaxDevices> devices;
  std::array<FakeDevice, kMaxDevices> migDevices;
  int migDeviceCount = 0;
  int processListFills = 0;
};

// The driver was restarted under the current context. Apart from State: a
// test's thread restarts the driver while the library's calls run.
std::atomic<bool> driverStale{false};

// NVIDIA's library may be finalised before the process's last exit handlers
// run: an nvmlShutdown from one of them is reported, and ends the process.
// The mark is registered by the first use and by the first nvmlInit, so
// that it runs before the handlers of whoever loaded the library.
std::atomic<bool> processExiting{false};
void MarkProcessExiting(void*) { processExiting = true; }
// Through __cxa_atexit with this library's handle, as the C library's
// atexit does: ThreadSanitizer's atexit would keep it past an unload.
void RegisterExitMark() { __cxa_atexit(MarkProcessExiting, nullptr, &__dso_handle); }

// Like a C library's, the state outlives the exit handlers (a host's thread
// may still call in while the process exits); it goes when the library is
// unloaded, whose destructors run before its own exit handlers.
State& TheState() {
  alignas(State) static unsigned char storage[sizeof(State)];
  static State* const state = [] {
    RegisterExitMark();
    return new (storage) State;
  }();
  return *state;
}

__attribute__((destructor)) void FreeStateOnUnload() {
  if (!processExiting) TheState().~State();
}

unsigned long long NowMicroseconds() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<unsigned long long>(now.tv_sec) * 1000000ull +
         static_cast<unsigned long long>(now.tv_nsec) / 1000ull;
}

FakeDevice* DeviceOf(nvmlDevice_t handle) {
  State& state = TheState();
  for (int i = 0; i < state.deviceCount; ++i) {
    if (reinterpret_cast<nvmlDevice_t>(&state.devices[i]) == handle) return &state.devices[i];
  }
  for (int i = 0; i < state.migDeviceCount; ++i) {
    if (reinterpret_cast<nvmlDevice_t>(&state.migDevices[i]) == handle) {
      return &state.migDevices[i];
    }
  }
  return nullptr;
}

// A device or MIG device by the index the control functions hand out.
FakeDevice& At(int index) {
  State& state = TheState();
  return index >= kFirstMigIndex ? state.migDevices[index - kFirstMigIndex] : state.devices[index];
}

// The answer every device call starts with: the stub's, UNINITIALIZED before
// nvmlInit, a test-chosen failure, or success.
nvmlReturn_t Precheck(nvmlDevice_t handle, std::string_view function, FakeDevice** device) {
  State& state = TheState();
  if (state.stub) return NVML_ERROR_LIBRARY_NOT_FOUND;
  if (state.initCount == 0) return NVML_ERROR_UNINITIALIZED;
  if (driverStale) return NVML_ERROR_DRIVER_NOT_LOADED;
  *device = DeviceOf(handle);
  if (*device == nullptr) return NVML_ERROR_INVALID_ARGUMENT;
  for (const auto& [name, status] : (*device)->failures) {
    if (name == function) return status;
  }
  return NVML_SUCCESS;
}

template <typename Info>
nvmlReturn_t FillProcesses(nvmlDevice_t handle, int list, unsigned int* infoCount, Info* infos,
                           const char* name) {
  FakeDevice* device = nullptr;
  if (nvmlReturn_t status = Precheck(handle, name, &device); status != NVML_SUCCESS) return status;
  if (infoCount == nullptr) return NVML_ERROR_INVALID_ARGUMENT;
  std::vector<FakeProcess>& processes = device->lists[list];
  const auto count = static_cast<unsigned int>(processes.size());
  if (*infoCount < count || (infos == nullptr && count > 0)) {
    *infoCount = count;
    Growth& growth = device->growth[list];
    for (unsigned int i = 0; i < growth.count; ++i) {
      processes.push_back({growth.firstPid + i, growth.usedGpuMemory});
    }
    growth = Growth{};
    return NVML_ERROR_INSUFFICIENT_SIZE;
  }
  for (unsigned int i = 0; i < count; ++i) {
    Info info{};
    info.pid = processes[i].pid;
    info.usedGpuMemory = processes[i].usedGpuMemory;
    if constexpr (sizeof(Info) > sizeof(nvmlProcessInfo_v1_t)) {
      info.gpuInstanceId = device->parent >= 0 ? device->gpuInstanceId : 0xFFFFFFFFu;
      info.computeInstanceId = device->parent >= 0 ? 0 : 0xFFFFFFFFu;
    }
    std::memcpy(&infos[i], &info, sizeof info);
  }
  *infoCount = count;
  if (count > 0) ++TheState().processListFills;
  return NVML_SUCCESS;
}

nvmlReturn_t Init() {
  static const bool registered = (RegisterExitMark(), true);
  (void)registered;
  State& state = TheState();
  if (state.stub) return NVML_ERROR_LIBRARY_NOT_FOUND;
  if (state.initResult != NVML_SUCCESS) return state.initResult;
  ++state.initCount;
  return NVML_SUCCESS;
}

nvmlReturn_t GetCount(unsigned int* count) {
  State& state = TheState();
  if (state.stub) return NVML_ERROR_LIBRARY_NOT_FOUND;
  if (state.initCount == 0) return NVML_ERROR_UNINITIALIZED;
  if (driverStale) return NVML_ERROR_DRIVER_NOT_LOADED;
  *count = static_cast<unsigned int>(state.deviceCount);
  return NVML_SUCCESS;
}

nvmlReturn_t GetHandle(unsigned int index, nvmlDevice_t* handle) {
  State& state = TheState();
  if (state.stub) return NVML_ERROR_LIBRARY_NOT_FOUND;
  if (state.initCount == 0) return NVML_ERROR_UNINITIALIZED;
  if (driverStale) return NVML_ERROR_DRIVER_NOT_LOADED;
  if (index >= static_cast<unsigned int>(state.deviceCount)) return NVML_ERROR_INVALID_ARGUMENT;
  FakeDevice* device = &state.devices[index];
  for (const auto& [name, status] : device->failures) {
    if (name == "nvmlDeviceGetHandleByIndex") return status;
  }
  *handle = reinterpret_cast<nvmlDevice_t>(device);
  return NVML_SUCCESS;
}

template <typename Pci>
nvmlReturn_t GetPci(nvmlDevice_t handle, Pci* pci, bool legacyText) {
  FakeDevice* device = nullptr;
  if (nvmlReturn_t status = Precheck(handle, "nvmlDeviceGetPciInfo", &device);
      status != NVML_SUCCESS) {
    return status;
  }
  *pci = Pci{};
  pci->domain = device->domain;
  pci->bus = device->bus;
  pci->device = device->device;
  char* text = reinterpret_cast<char*>(pci);  // the first member in both layouts
  std::snprintf(text, 16, "%04x:%02x:%02x.%x", device->domain, device->bus, device->device,
                device->function);
  if (!legacyText) {
    auto* v3 = reinterpret_cast<nvmlPciInfo_t*>(pci);
    std::snprintf(v3->busId, sizeof v3->busId, "%08x:%02x:%02x.%x", device->domain, device->bus,
                  device->device, device->function);
  }
  return NVML_SUCCESS;
}

}  // namespace

// ---- control functions ----

FAKE_EXPORT void FakeNvml_Reset(void) {
  State& state = TheState();
  const int initCount = state.initCount;
  state = State{};
  state.initCount = initCount;
  driverStale = false;
}

FAKE_EXPORT void FakeNvml_SetHealth(int deviceIndex, unsigned int powerMilliwatts,
                                    unsigned int limitMilliwatts,
                                    unsigned long long energyMillijoules, unsigned int temperature,
                                    unsigned int slowdown, unsigned int graphicsMHz,
                                    unsigned int memoryMHz, unsigned int fanRpm,
                                    unsigned int gpuPercent) {
  FakeDevice& device = TheState().devices[deviceIndex];
  device.hasHealth = true;
  device.powerMilliwatts = powerMilliwatts;
  device.limitMilliwatts = limitMilliwatts;
  device.energyMillijoules = energyMillijoules;
  device.temperature = temperature;
  device.slowdown = slowdown;
  device.graphicsMHz = graphicsMHz;
  device.memoryMHz = memoryMHz;
  device.fanRpm = fanRpm;
  device.gpuPercent = gpuPercent;
}

FAKE_EXPORT void FakeNvml_SetStub(int stub) { TheState().stub = stub != 0; }

FAKE_EXPORT void FakeNvml_SetInitResult(int status) { TheState().initResult = status; }

FAKE_EXPORT int FakeNvml_AddDevice(unsigned int domain, unsigned int bus, unsigned int device,
                                   unsigned int function, unsigned long long usedBytes,
                                   unsigned long long freeBytes) {
  State& state = TheState();
  if (state.deviceCount == kMaxDevices) return -1;
  FakeDevice& added = state.devices[state.deviceCount];
  added.domain = domain;
  added.bus = bus;
  added.device = device;
  added.function = function;
  added.usedBytes = usedBytes;
  added.freeBytes = freeBytes;
  return state.deviceCount++;
}

FAKE_EXPORT void FakeNvml_AddProcess(int deviceIndex, int list, unsigned int pid,
                                     unsigned long long usedGpuMemory) {
  At(deviceIndex).lists[list].push_back({pid, usedGpuMemory});
}

FAKE_EXPORT void FakeNvml_AddVideoSample(int deviceIndex, unsigned int pid, unsigned int smUtil,
                                         unsigned int encUtil, unsigned int decUtil,
                                         unsigned long long ageMicroseconds) {
  nvmlProcessUtilizationSample_t sample{};
  sample.pid = pid;
  sample.timeStamp = NowMicroseconds() - ageMicroseconds;
  sample.smUtil = smUtil;
  sample.memUtil = smUtil / 2;
  sample.encUtil = encUtil;
  sample.decUtil = decUtil;
  At(deviceIndex).samples.push_back(sample);
}

FAKE_EXPORT void FakeNvml_AddSample(int deviceIndex, unsigned int pid, unsigned int smUtil,
                                    unsigned long long ageMicroseconds) {
  FakeNvml_AddVideoSample(deviceIndex, pid, smUtil, 0, 0, ageMicroseconds);
}

// Samples are the library's to free; the count shows one that is not.
namespace {
std::atomic<int> gpmSamplesHeld{0};
}  // namespace

FAKE_EXPORT void FakeNvml_SetGpmGraphicsUtil(int migIndex, double percent) {
  At(migIndex).gpmSupported = true;
  At(migIndex).gpmGraphicsUtil = percent;
}

FAKE_EXPORT int FakeNvml_GpmSamplesHeld(void) { return gpmSamplesHeld; }

FAKE_EXPORT int FakeNvml_AddMigDevice(int deviceIndex, unsigned int gpuInstanceId,
                                      const char* profile, unsigned long long usedBytes,
                                      unsigned long long freeBytes) {
  State& state = TheState();
  if (state.migDeviceCount == kMaxDevices) return -1;
  FakeDevice& added = state.migDevices[state.migDeviceCount];
  added = state.devices[deviceIndex];
  added.lists = {};
  added.samples.clear();
  added.failures.clear();
  added.parent = deviceIndex;
  added.gpuInstanceId = gpuInstanceId;
  added.profile = profile;
  added.usedBytes = usedBytes;
  added.freeBytes = freeBytes;
  return kFirstMigIndex + state.migDeviceCount++;
}

FAKE_EXPORT void FakeNvml_SetMigMode(int deviceIndex, unsigned int currentMode) {
  At(deviceIndex).migMode = currentMode;
}

FAKE_EXPORT void FakeNvml_FailCall(int deviceIndex, const char* functionName, int status) {
  At(deviceIndex).failures.emplace_back(functionName, status);
}

FAKE_EXPORT void FakeNvml_GrowAfterSizeQuery(int deviceIndex, int list, unsigned int count,
                                             unsigned int firstPid,
                                             unsigned long long usedGpuMemory) {
  TheState().devices[deviceIndex].growth[list] = Growth{count, firstPid, usedGpuMemory};
}

FAKE_EXPORT void FakeNvml_RestartDriver(void) { driverStale = true; }

FAKE_EXPORT int FakeNvml_InitCount(void) { return TheState().initCount; }

FAKE_EXPORT unsigned long long FakeNvml_LastSeenTimeStamp(int deviceIndex) {
  return TheState().devices[deviceIndex].lastSeenTimeStamp;
}

FAKE_EXPORT int FakeNvml_ProcessListFills(void) { return TheState().processListFills; }

// ---- NVML ----

FAKE_EXPORT nvmlReturn_t nvmlInit(void) { return Init(); }

FAKE_EXPORT nvmlReturn_t nvmlShutdown(void) {
  if (processExiting) {
    std::fputs("fake NVML: nvmlShutdown while the process exits\n", stderr);
    std::_Exit(70);
  }
  State& state = TheState();
  if (state.stub) return NVML_ERROR_LIBRARY_NOT_FOUND;
  if (state.initCount == 0) return NVML_ERROR_UNINITIALIZED;
  if (--state.initCount == 0) driverStale = false;  // the next nvmlInit starts afresh
  return NVML_SUCCESS;
}

FAKE_EXPORT nvmlReturn_t nvmlDeviceGetCount(unsigned int* count) { return GetCount(count); }

FAKE_EXPORT nvmlReturn_t nvmlDeviceGetHandleByIndex(unsigned int index, nvmlDevice_t* handle) {
  return GetHandle(index, handle);
}

FAKE_EXPORT nvmlReturn_t nvmlDeviceGetPciInfo(nvmlDevice_t handle, nvmlPciInfoLegacy_t* pci) {
  return GetPci(handle, pci, true);
}

FAKE_EXPORT nvmlReturn_t nvmlDeviceGetComputeRunningProcesses(nvmlDevice_t handle,
                                                              unsigned int* count,
                                                              nvmlProcessInfo_v1_t* infos) {
  return FillProcesses(handle, kFakeNvmlCompute, count, infos,
                       "nvmlDeviceGetComputeRunningProcesses");
}
FAKE_EXPORT nvmlReturn_t nvmlDeviceGetGraphicsRunningProcesses(nvmlDevice_t handle,
                                                               unsigned int* count,
                                                               nvmlProcessInfo_v1_t* infos) {
  return FillProcesses(handle, kFakeNvmlGraphics, count, infos,
                       "nvmlDeviceGetGraphicsRunningProcesses");
}
FAKE_EXPORT nvmlReturn_t nvmlDeviceGetMPSComputeRunningProcesses(nvmlDevice_t handle,
                                                                 unsigned int* count,
                                                                 nvmlProcessInfo_v1_t* infos) {
  return FillProcesses(handle, kFakeNvmlMpsCompute, count, infos,
                       "nvmlDeviceGetMPSComputeRunningProcesses");
}

FAKE_EXPORT nvmlReturn_t nvmlDeviceGetMemoryInfo(nvmlDevice_t handle, nvmlMemory_t* memory) {
  FakeDevice* device = nullptr;
  if (nvmlReturn_t status = Precheck(handle, "nvmlDeviceGetMemoryInfo", &device);
      status != NVML_SUCCESS) {
    return status;
  }
  memory->used = device->usedBytes;
  memory->free = device->freeBytes;
  memory->total = device->usedBytes + device->freeBytes;
  return NVML_SUCCESS;
}

// The health entry points: NOT_SUPPORTED until the test describes the
// device's health, as on boards that lack a sensor.
namespace {
nvmlReturn_t HealthPrecheck(nvmlDevice_t handle, const char* name, FakeDevice** device) {
  if (nvmlReturn_t status = Precheck(handle, name, device); status != NVML_SUCCESS) return status;
  return (*device)->hasHealth ? NVML_SUCCESS : NVML_ERROR_NOT_SUPPORTED;
}
}  // namespace

FAKE_EXPORT nvmlReturn_t nvmlDeviceGetPowerUsage(nvmlDevice_t handle, unsigned int* power) {
  FakeDevice* device = nullptr;
  if (nvmlReturn_t status = HealthPrecheck(handle, "nvmlDeviceGetPowerUsage", &device))
    return status;
  *power = device->powerMilliwatts;
  return NVML_SUCCESS;
}
FAKE_EXPORT nvmlReturn_t nvmlDeviceGetEnforcedPowerLimit(nvmlDevice_t handle, unsigned int* limit) {
  FakeDevice* device = nullptr;
  if (nvmlReturn_t status = HealthPrecheck(handle, "nvmlDeviceGetEnforcedPowerLimit", &device))
    return status;
  *limit = device->limitMilliwatts;
  return NVML_SUCCESS;
}
FAKE_EXPORT nvmlReturn_t nvmlDeviceGetTotalEnergyConsumption(nvmlDevice_t handle,
                                                             unsigned long long* energy) {
  FakeDevice* device = nullptr;
  if (nvmlReturn_t status = HealthPrecheck(handle, "nvmlDeviceGetTotalEnergyConsumption", &device))
    return status;
  *energy = device->energyMillijoules;
  return NVML_SUCCESS;
}
FAKE_EXPORT nvmlReturn_t nvmlDeviceGetTemperature(nvmlDevice_t handle, int sensor,
                                                  unsigned int* temperature) {
  FakeDevice* device = nullptr;
  if (nvmlReturn_t status = HealthPrecheck(handle, "nvmlDeviceGetTemperature", &device))
    return status;
  if (sensor != 0) return NVML_ERROR_INVALID_ARGUMENT;
  *temperature = device->temperature;
  return NVML_SUCCESS;
}
FAKE_EXPORT nvmlReturn_t nvmlDeviceGetTemperatureThreshold(nvmlDevice_t handle, int threshold,
                                                           unsigned int* temperature) {
  FakeDevice* device = nullptr;
  if (nvmlReturn_t status = HealthPrecheck(handle, "nvmlDeviceGetTemperatureThreshold", &device))
    return status;
  if (threshold != 1) return NVML_ERROR_NOT_SUPPORTED;  // only the slowdown threshold
  *temperature = device->slowdown;
  return NVML_SUCCESS;
}
FAKE_EXPORT nvmlReturn_t nvmlDeviceGetClockInfo(nvmlDevice_t handle, int type,
                                                unsigned int* clock) {
  FakeDevice* device = nullptr;
  if (nvmlReturn_t status = HealthPrecheck(handle, "nvmlDeviceGetClockInfo", &device))
    return status;
  // Graphics and memory only, as on boards without separate SM or video
  // clock domains.
  if (type == 0)
    *clock = device->graphicsMHz;
  else if (type == 2)
    *clock = device->memoryMHz;
  else
    return NVML_ERROR_NOT_SUPPORTED;
  return NVML_SUCCESS;
}
struct FakeFanSpeedInfo {
  unsigned int version, fan, speed;
};
FAKE_EXPORT nvmlReturn_t nvmlDeviceGetFanSpeedRPM(nvmlDevice_t handle, FakeFanSpeedInfo* info) {
  FakeDevice* device = nullptr;
  if (nvmlReturn_t status = HealthPrecheck(handle, "nvmlDeviceGetFanSpeedRPM", &device))
    return status;
  if (info->version != (sizeof(FakeFanSpeedInfo) | (1u << 24)) || info->fan != 0)
    return NVML_ERROR_INVALID_ARGUMENT;
  info->speed = device->fanRpm;
  return NVML_SUCCESS;
}
struct FakeUtilization {
  unsigned int gpu, memory;
};
FAKE_EXPORT nvmlReturn_t nvmlDeviceGetUtilizationRates(nvmlDevice_t handle,
                                                       FakeUtilization* utilization) {
  FakeDevice* device = nullptr;
  if (nvmlReturn_t status = HealthPrecheck(handle, "nvmlDeviceGetUtilizationRates", &device))
    return status;
  utilization->gpu = device->gpuPercent;
  utilization->memory = 0;
  return NVML_SUCCESS;
}

FAKE_EXPORT nvmlReturn_t nvmlDeviceGetName(nvmlDevice_t handle, char* name, unsigned int length) {
  FakeDevice* device = nullptr;
  if (nvmlReturn_t status = Precheck(handle, "nvmlDeviceGetName", &device);
      status != NVML_SUCCESS) {
    return status;
  }
  // The driver names a MIG device "<GPU name> MIG <profile>".
  const int written = device->parent >= 0
                          ? std::snprintf(name, length, "Fake NVIDIA GPU %02x MIG %s", device->bus,
                                          device->profile.c_str())
                          : std::snprintf(name, length, "Fake NVIDIA GPU %02x", device->bus);
  return written >= 0 && static_cast<unsigned int>(written) < length ? NVML_SUCCESS
                                                                     : NVML_ERROR_INSUFFICIENT_SIZE;
}

FAKE_EXPORT nvmlReturn_t nvmlDeviceGetProcessUtilization(nvmlDevice_t handle,
                                                         nvmlProcessUtilizationSample_t* out,
                                                         unsigned int* count,
                                                         unsigned long long lastSeenTimeStamp) {
  FakeDevice* device = nullptr;
  if (nvmlReturn_t status = Precheck(handle, "nvmlDeviceGetProcessUtilization", &device);
      status != NVML_SUCCESS) {
    return status;
  }
  device->lastSeenTimeStamp = lastSeenTimeStamp;
  // The driver's own rule: no utilisation per process while MIG is on.
  if (device->migMode != 0) return NVML_ERROR_NOT_SUPPORTED;
  std::vector<nvmlProcessUtilizationSample_t> recent;
  for (const auto& sample : device->samples) {
    if (sample.timeStamp > lastSeenTimeStamp) recent.push_back(sample);
  }
  if (recent.empty()) return NVML_ERROR_NOT_FOUND;
  const auto needed = static_cast<unsigned int>(recent.size());
  if (out == nullptr || *count < needed) {
    *count = needed;
    return NVML_ERROR_INSUFFICIENT_SIZE;
  }
  std::memcpy(out, recent.data(), recent.size() * sizeof recent[0]);
  *count = needed;
  return NVML_SUCCESS;
}

#ifndef FAKE_NVML_LEGACY

FAKE_EXPORT nvmlReturn_t nvmlInit_v2(void) { return Init(); }

FAKE_EXPORT nvmlReturn_t nvmlDeviceGetCount_v2(unsigned int* count) { return GetCount(count); }

FAKE_EXPORT nvmlReturn_t nvmlDeviceGetHandleByIndex_v2(unsigned int index, nvmlDevice_t* handle) {
  return GetHandle(index, handle);
}

FAKE_EXPORT nvmlReturn_t nvmlDeviceGetPciInfo_v3(nvmlDevice_t handle, nvmlPciInfo_t* pci) {
  return GetPci(handle, pci, false);
}

#define FAKE_PROCESS_LIST(Name, Suffix, Info, List)                                              \
  FAKE_EXPORT nvmlReturn_t Name##Suffix(nvmlDevice_t handle, unsigned int* count, Info* infos) { \
    return FillProcesses(handle, List, count, infos, #Name);                                     \
  }

FAKE_PROCESS_LIST(nvmlDeviceGetComputeRunningProcesses, _v2, nvmlProcessInfo_v2_t, kFakeNvmlCompute)
FAKE_PROCESS_LIST(nvmlDeviceGetGraphicsRunningProcesses, _v2, nvmlProcessInfo_v2_t,
                  kFakeNvmlGraphics)
FAKE_PROCESS_LIST(nvmlDeviceGetMPSComputeRunningProcesses, _v2, nvmlProcessInfo_v2_t,
                  kFakeNvmlMpsCompute)

namespace gpuproc::nvml {
struct nvmlGpmSample_st {
  bool filled = false;
  double graphicsUtil = 0;
};
}  // namespace gpuproc::nvml

FAKE_EXPORT nvmlReturn_t nvmlGpmSampleAlloc(nvmlGpmSample_t* sample) {
  *sample = new nvmlGpmSample_st;
  ++gpmSamplesHeld;
  return NVML_SUCCESS;
}

FAKE_EXPORT nvmlReturn_t nvmlGpmSampleFree(nvmlGpmSample_t sample) {
  delete sample;
  --gpmSamplesHeld;
  return NVML_SUCCESS;
}

FAKE_EXPORT nvmlReturn_t nvmlGpmMigSampleGet(nvmlDevice_t handle, unsigned int gpuInstanceId,
                                             nvmlGpmSample_t sample) {
  FakeDevice* device = nullptr;
  if (nvmlReturn_t status = Precheck(handle, "nvmlGpmMigSampleGet", &device);
      status != NVML_SUCCESS) {
    return status;
  }
  State& state = TheState();
  for (int i = 0; i < state.migDeviceCount; ++i) {
    const FakeDevice& mig = state.migDevices[i];
    if (&state.devices[mig.parent] != device || mig.gpuInstanceId != gpuInstanceId) continue;
    if (!mig.gpmSupported) return NVML_ERROR_NOT_SUPPORTED;
    sample->filled = true;
    sample->graphicsUtil = mig.gpmGraphicsUtil;
    return NVML_SUCCESS;
  }
  return NVML_ERROR_NOT_FOUND;
}

FAKE_EXPORT nvmlReturn_t nvmlGpmMetricsGet(nvmlGpmMetricsGet_t* metrics) {
  if (metrics->version != NVML_GPM_METRICS_GET_VERSION) return 25;
  if (!metrics->sample1->filled || !metrics->sample2->filled) return NVML_ERROR_INVALID_ARGUMENT;
  for (unsigned int i = 0; i < metrics->numMetrics; ++i) {
    nvmlGpmMetric_t& metric = metrics->metrics[i];
    metric.nvmlReturn =
        metric.metricId == NVML_GPM_METRIC_GRAPHICS_UTIL ? NVML_SUCCESS : NVML_ERROR_NOT_SUPPORTED;
    metric.value = metrics->sample2->graphicsUtil;
  }
  return NVML_SUCCESS;
}

#if !defined(FAKE_NVML_R535)
// R550 and later: every engine's share, in a versioned struct.
FAKE_EXPORT nvmlReturn_t nvmlDeviceGetProcessesUtilizationInfo(
    nvmlDevice_t handle, nvmlProcessesUtilizationInfo_v1_t* info) {
  FakeDevice* device = nullptr;
  if (nvmlReturn_t status = Precheck(handle, "nvmlDeviceGetProcessesUtilizationInfo", &device);
      status != NVML_SUCCESS) {
    return status;
  }
  if (info->version != nvmlProcessesUtilizationInfo_v1) return 25;  // ARGUMENT_VERSION_MISMATCH
  device->lastSeenTimeStamp = info->lastSeenTimeStamp;
  if (device->migMode != 0) return NVML_ERROR_NOT_SUPPORTED;
  std::vector<nvmlProcessUtilizationInfo_v1_t> recent;
  for (const auto& sample : device->samples) {
    if (sample.timeStamp <= info->lastSeenTimeStamp) continue;
    recent.push_back({sample.timeStamp, sample.pid, sample.smUtil, sample.memUtil, sample.encUtil,
                      sample.decUtil, 0, 0});
  }
  if (recent.empty()) return NVML_ERROR_NOT_FOUND;
  const auto needed = static_cast<unsigned int>(recent.size());
  if (info->procUtilArray == nullptr || info->processSamplesCount < needed) {
    info->processSamplesCount = needed;
    return NVML_ERROR_INSUFFICIENT_SIZE;
  }
  std::memcpy(info->procUtilArray, recent.data(), recent.size() * sizeof recent[0]);
  info->processSamplesCount = needed;
  return NVML_SUCCESS;
}
#endif

#ifdef FAKE_NVML_R535
using V3Info = nvmlProcessInfo_v3_t;
#else
using V3Info = nvmlProcessInfo_v2_t;
FAKE_EXPORT nvmlReturn_t nvmlDeviceGetRunningProcessDetailList(nvmlDevice_t, void*) {
  return NVML_ERROR_NOT_SUPPORTED;
}
#endif
FAKE_EXPORT nvmlReturn_t nvmlDeviceGetConfComputeMemSizeInfo(nvmlDevice_t, void*) {
  return NVML_ERROR_NOT_SUPPORTED;
}

FAKE_PROCESS_LIST(nvmlDeviceGetComputeRunningProcesses, _v3, V3Info, kFakeNvmlCompute)
FAKE_PROCESS_LIST(nvmlDeviceGetGraphicsRunningProcesses, _v3, V3Info, kFakeNvmlGraphics)
FAKE_PROCESS_LIST(nvmlDeviceGetMPSComputeRunningProcesses, _v3, V3Info, kFakeNvmlMpsCompute)

FAKE_EXPORT nvmlReturn_t nvmlDeviceGetMemoryInfo_v2(nvmlDevice_t handle, nvmlMemory_v2_t* memory) {
  FakeDevice* device = nullptr;
  if (nvmlReturn_t status = Precheck(handle, "nvmlDeviceGetMemoryInfo", &device);
      status != NVML_SUCCESS) {
    return status;
  }
  // NVML_ERROR_ARGUMENT_VERSION_MISMATCH, as the driver answers a wrong version.
  if (memory->version != nvmlMemory_v2) return 25;
  memory->reserved = 300ull << 20;
  memory->used = device->usedBytes;
  memory->free = device->freeBytes;
  memory->total = device->usedBytes + device->freeBytes + memory->reserved;
  return NVML_SUCCESS;
}

FAKE_EXPORT nvmlReturn_t nvmlDeviceGetMaxMigDeviceCount(nvmlDevice_t handle, unsigned int* count) {
  FakeDevice* device = nullptr;
  if (nvmlReturn_t status = Precheck(handle, "nvmlDeviceGetMaxMigDeviceCount", &device);
      status != NVML_SUCCESS) {
    return status;
  }
  if (device->parent >= 0) return NVML_ERROR_INVALID_ARGUMENT;
  *count = 7;  // an A100's or H100's most GPU instances
  return NVML_SUCCESS;
}

FAKE_EXPORT nvmlReturn_t nvmlDeviceGetMigDeviceHandleByIndex(nvmlDevice_t handle,
                                                             unsigned int index,
                                                             nvmlDevice_t* migHandle) {
  FakeDevice* device = nullptr;
  if (nvmlReturn_t status = Precheck(handle, "nvmlDeviceGetMigDeviceHandleByIndex", &device);
      status != NVML_SUCCESS) {
    return status;
  }
  State& state = TheState();
  unsigned int seen = 0;
  for (int i = 0; i < state.migDeviceCount; ++i) {
    if (&state.devices[state.migDevices[i].parent] != device) continue;
    if (seen++ == index) {
      *migHandle = reinterpret_cast<nvmlDevice_t>(&state.migDevices[i]);
      return NVML_SUCCESS;
    }
  }
  return NVML_ERROR_NOT_FOUND;
}

FAKE_EXPORT nvmlReturn_t nvmlDeviceGetGpuInstanceId(nvmlDevice_t handle, unsigned int* id) {
  FakeDevice* device = nullptr;
  if (nvmlReturn_t status = Precheck(handle, "nvmlDeviceGetGpuInstanceId", &device);
      status != NVML_SUCCESS) {
    return status;
  }
  if (device->parent < 0) return NVML_ERROR_INVALID_ARGUMENT;
  *id = device->gpuInstanceId;
  return NVML_SUCCESS;
}

FAKE_EXPORT nvmlReturn_t nvmlDeviceGetMigMode(nvmlDevice_t handle, unsigned int* current,
                                              unsigned int* pending) {
  FakeDevice* device = nullptr;
  if (nvmlReturn_t status = Precheck(handle, "nvmlDeviceGetMigMode", &device);
      status != NVML_SUCCESS) {
    return status;
  }
  *current = device->migMode;
  *pending = device->migMode;
  return NVML_SUCCESS;
}

#endif  // FAKE_NVML_LEGACY
