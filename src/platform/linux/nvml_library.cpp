#include "platform/linux/nvml_library.h"

#include <dlfcn.h>
#include <pthread.h>

#include <initializer_list>
#include <mutex>
#include <utility>

namespace gpuproc {
namespace {

// Held across the library's own dlopen and dlclose of NVML, and by fork
// handlers across fork: a child forked while another thread is inside
// dlopen finds the dynamic linker's lists half-changed, and its own dlopen
// then fails an assertion in ld.so (seen with glibc 2.36). A fork waits for
// the load in progress, never for nvmlInit. Constant-initialised with a
// trivial destructor: nothing runs at exit.
std::mutex loading;

void LockLoading() { loading.lock(); }
// In the parent and in the child alike the forking thread holds it.
void UnlockLoading() { loading.unlock(); }
__attribute__((constructor)) void RegisterLoadingForkHandlers() {
  ::pthread_atfork(LockLoading, UnlockLoading, UnlockLoading);
}

void* OpenLibrary(const char* fileName, int flags) {
  const std::lock_guard<std::mutex> held(loading);
  return ::dlopen(fileName, flags);
}

void CloseLibrary(void* handle) {
  const std::lock_guard<std::mutex> held(loading);
  ::dlclose(handle);
}

struct DlCloser {
  void operator()(void* handle) const { CloseLibrary(handle); }
};
using DlHandle = std::unique_ptr<void, DlCloser>;

void* FindSymbol(void* handle, const char* name) { return ::dlsym(handle, name); }

// The first of `names` (newest first) that the library exports, with its
// position in the list.
struct FoundSymbol {
  void* address = nullptr;
  std::size_t index = 0;
};
FoundSymbol FindNewest(void* handle, std::initializer_list<const char*> names) {
  std::size_t index = 0;
  for (const char* name : names) {
    if (void* address = FindSymbol(handle, name)) return {address, index};
    ++index;
  }
  return {};
}

template <typename Function>
Function AsFunction(void* address) {
  return reinterpret_cast<Function>(address);
}

RunningProcessesEntry FindRunningProcesses(void* handle, const char* v3, const char* v2,
                                           const char* v1, bool hasConfComputeMemSizeInfo,
                                           bool hasRunningProcessDetailList) {
  const FoundSymbol found = FindNewest(handle, {v3, v2, v1});
  if (found.address == nullptr) return {};
  const int version = 3 - static_cast<int>(found.index);
  return {AsFunction<nvml::DeviceGetRunningProcessesFunction>(found.address),
          ChooseProcessInfoLayout(version, hasConfComputeMemSizeInfo, hasRunningProcessDetailList)};
}

}  // namespace

ProcessInfoLayout ChooseProcessInfoLayout(int version, bool hasConfComputeMemSizeInfo,
                                          bool hasRunningProcessDetailList) {
  switch (version) {
    case 3:
      return hasConfComputeMemSizeInfo && !hasRunningProcessDetailList ? ProcessInfoLayout::kV3
                                                                       : ProcessInfoLayout::kV2;
    case 2:
      return ProcessInfoLayout::kV2;
    default:
      return ProcessInfoLayout::kV1;
  }
}

std::unique_ptr<NvmlLibrary> NvmlLibrary::Load(const char* fileName) {
  // RTLD_LOCAL: NVML's symbols must not satisfy or shadow the host's own.
  DlHandle handle(OpenLibrary(fileName, RTLD_NOW | RTLD_LOCAL));
  if (!handle) {
    // dlopen keeps the failure text for dlerror; clear it so that a host
    // checking dlerror after its own calls does not find ours.
    ::dlerror();
    return nullptr;
  }
  void* lib = handle.get();

  NvmlFunctions functions;
  functions.deviceGetCount = AsFunction<nvml::DeviceGetCountFunction>(
      FindNewest(lib, {"nvmlDeviceGetCount_v2", "nvmlDeviceGetCount"}).address);
  functions.deviceGetHandleByIndex = AsFunction<nvml::DeviceGetHandleByIndexFunction>(
      FindNewest(lib, {"nvmlDeviceGetHandleByIndex_v2", "nvmlDeviceGetHandleByIndex"}).address);
  const FoundSymbol pci = FindNewest(
      lib, {"nvmlDeviceGetPciInfo_v3", "nvmlDeviceGetPciInfo_v2", "nvmlDeviceGetPciInfo"});
  functions.deviceGetPciInfo = AsFunction<nvml::DeviceGetPciInfoFunction>(pci.address);
  functions.pciInfoLayout = pci.index == 0 ? PciInfoLayout::kV3 : PciInfoLayout::kLegacy;

  const bool hasConfComputeMemSizeInfo =
      FindSymbol(lib, "nvmlDeviceGetConfComputeMemSizeInfo") != nullptr;
  const bool hasRunningProcessDetailList =
      FindSymbol(lib, "nvmlDeviceGetRunningProcessDetailList") != nullptr;
  functions.computeProcesses = FindRunningProcesses(
      lib, "nvmlDeviceGetComputeRunningProcesses_v3", "nvmlDeviceGetComputeRunningProcesses_v2",
      "nvmlDeviceGetComputeRunningProcesses", hasConfComputeMemSizeInfo,
      hasRunningProcessDetailList);
  functions.graphicsProcesses = FindRunningProcesses(
      lib, "nvmlDeviceGetGraphicsRunningProcesses_v3", "nvmlDeviceGetGraphicsRunningProcesses_v2",
      "nvmlDeviceGetGraphicsRunningProcesses", hasConfComputeMemSizeInfo,
      hasRunningProcessDetailList);
  functions.mpsComputeProcesses = FindRunningProcesses(
      lib, "nvmlDeviceGetMPSComputeRunningProcesses_v3",
      "nvmlDeviceGetMPSComputeRunningProcesses_v2", "nvmlDeviceGetMPSComputeRunningProcesses",
      hasConfComputeMemSizeInfo, hasRunningProcessDetailList);

  functions.deviceGetProcessUtilization = AsFunction<nvml::DeviceGetProcessUtilizationFunction>(
      FindSymbol(lib, "nvmlDeviceGetProcessUtilization"));
  const FoundSymbol memory =
      FindNewest(lib, {"nvmlDeviceGetMemoryInfo_v2", "nvmlDeviceGetMemoryInfo"});
  functions.deviceGetMemoryInfo = AsFunction<nvml::DeviceGetMemoryInfoFunction>(memory.address);
  functions.memoryInfoV2 = memory.address != nullptr && memory.index == 0;
  functions.deviceGetProcessesUtilizationInfo =
      AsFunction<nvml::DeviceGetProcessesUtilizationInfoFunction>(
          FindSymbol(lib, "nvmlDeviceGetProcessesUtilizationInfo"));
  functions.deviceGetMigMode =
      AsFunction<nvml::DeviceGetMigModeFunction>(FindSymbol(lib, "nvmlDeviceGetMigMode"));
  functions.deviceGetMaxMigDeviceCount = AsFunction<nvml::DeviceGetMaxMigDeviceCountFunction>(
      FindSymbol(lib, "nvmlDeviceGetMaxMigDeviceCount"));
  functions.deviceGetMigDeviceHandleByIndex =
      AsFunction<nvml::DeviceGetMigDeviceHandleByIndexFunction>(
          FindSymbol(lib, "nvmlDeviceGetMigDeviceHandleByIndex"));
  functions.deviceGetGpuInstanceId = AsFunction<nvml::DeviceGetGpuInstanceIdFunction>(
      FindSymbol(lib, "nvmlDeviceGetGpuInstanceId"));
  functions.gpmSampleAlloc =
      AsFunction<nvml::GpmSampleAllocFunction>(FindSymbol(lib, "nvmlGpmSampleAlloc"));
  functions.gpmSampleFree =
      AsFunction<nvml::GpmSampleFreeFunction>(FindSymbol(lib, "nvmlGpmSampleFree"));
  functions.gpmMigSampleGet =
      AsFunction<nvml::GpmMigSampleGetFunction>(FindSymbol(lib, "nvmlGpmMigSampleGet"));
  functions.gpmMetricsGet =
      AsFunction<nvml::GpmMetricsGetFunction>(FindSymbol(lib, "nvmlGpmMetricsGet"));
  functions.deviceGetName =
      AsFunction<nvml::DeviceGetNameFunction>(FindSymbol(lib, "nvmlDeviceGetName"));
  functions.health = ResolveNvmlHealthFunctions(lib);

  const auto init =
      AsFunction<nvml::InitFunction>(FindNewest(lib, {"nvmlInit_v2", "nvmlInit"}).address);
  const auto shutdown = AsFunction<nvml::ShutdownFunction>(FindSymbol(lib, "nvmlShutdown"));
  ::dlerror();  // the misses above are expected on older drivers
  // Without these there is no device to name; a library that lacks them is
  // not NVML.
  if (init == nullptr || shutdown == nullptr || functions.deviceGetCount == nullptr ||
      functions.deviceGetHandleByIndex == nullptr || functions.deviceGetPciInfo == nullptr) {
    return nullptr;
  }
  if (init() != nvml::NVML_SUCCESS) return nullptr;
  return std::unique_ptr<NvmlLibrary>(new NvmlLibrary(handle.release(), shutdown, functions));
}

NvmlLibrary::NvmlLibrary(void* handle, nvml::ShutdownFunction shutdown,
                         const NvmlFunctions& functions)
    : handle_(handle), shutdown_(shutdown), functions_(functions) {}

NvmlLibrary::~NvmlLibrary() {
  // NVML counts its initialisations; ours is undone before its code goes.
  shutdown_();
  CloseLibrary(handle_);
}

NvmlKeeper::NvmlKeeper(std::string fileName) : fileName_(std::move(fileName)) {}

std::shared_ptr<const NvmlLibrary> NvmlKeeper::Acquire(std::uint64_t nowNs) {
  if (library_) {
    // After a driver reload or upgrade the old context answers every call
    // with an error until NVML is shut down and initialised again (and the
    // library file mapped anew, for an upgrade).
    unsigned int deviceCount = 0;
    if (library_->Functions().deviceGetCount(&deviceCount) == nvml::NVML_SUCCESS) {
      return library_;
    }
    library_.reset();
    lost_ = true;  // until it loads again
  } else if (lastFailureNs_ && nowNs >= *lastFailureNs_ &&
             nowNs - *lastFailureNs_ < kNvmlRetryIntervalNs) {
    return nullptr;
  }
  library_ = NvmlLibrary::Load(fileName_.c_str());
  if (library_) {
    lastFailureNs_.reset();
    lost_ = false;
  } else {
    lastFailureNs_ = nowNs;
  }
  return library_;
}

}  // namespace gpuproc
