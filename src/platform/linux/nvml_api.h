// Our own declarations of the part of NVML (libnvidia-ml.so.1) that the NVML
// source calls. No NVIDIA header or library is needed at build time: the
// library is found with dlopen on the host and every entry point with dlsym.
//
// Names are NVML's own, so that each line can be checked against NVIDIA's
// NVML API reference. Layouts are pinned by static_asserts on x86-64 and
// aarch64 (LP64, 8-byte alignment of unsigned long long).
#pragma once

#include <cstddef>
#include <cstdint>

namespace gpuproc::nvml {

// nvmlReturn_t is a C enum: int-sized on every Linux ABI we build for.
using nvmlReturn_t = int;
inline constexpr nvmlReturn_t NVML_SUCCESS = 0;
inline constexpr nvmlReturn_t NVML_ERROR_UNINITIALIZED = 1;
inline constexpr nvmlReturn_t NVML_ERROR_INVALID_ARGUMENT = 2;
inline constexpr nvmlReturn_t NVML_ERROR_NOT_SUPPORTED = 3;
inline constexpr nvmlReturn_t NVML_ERROR_NO_PERMISSION = 4;
inline constexpr nvmlReturn_t NVML_ERROR_NOT_FOUND = 6;
inline constexpr nvmlReturn_t NVML_ERROR_INSUFFICIENT_SIZE = 7;
inline constexpr nvmlReturn_t NVML_ERROR_DRIVER_NOT_LOADED = 9;
inline constexpr nvmlReturn_t NVML_ERROR_LIBRARY_NOT_FOUND = 12;
inline constexpr nvmlReturn_t NVML_ERROR_FUNCTION_NOT_FOUND = 13;
inline constexpr nvmlReturn_t NVML_ERROR_GPU_IS_LOST = 15;
inline constexpr nvmlReturn_t NVML_ERROR_UNKNOWN = 999;

// NVML_VALUE_NOT_AVAILABLE is (-1) in nvml.h; stored in an unsigned long long
// field it has all bits set. usedGpuMemory carries it when the driver cannot
// attribute memory to the process (no permission, some MIG setups).
inline constexpr unsigned long long NVML_VALUE_NOT_AVAILABLE = ~0ull;

// NVML_DEVICE_MIG_ENABLE, the currentMode of nvmlDeviceGetMigMode.
inline constexpr unsigned int NVML_DEVICE_MIG_ENABLE = 1;

// An opaque device handle.
using nvmlDevice_t = struct nvmlDevice_st*;

// Filled by nvmlDeviceGet{Compute,Graphics,MPSCompute}RunningProcesses (no
// suffix): drivers before R450.
struct nvmlProcessInfo_v1_t {
  unsigned int pid;
  unsigned long long usedGpuMemory;
};

// Filled by the _v2 functions (R450 and later) and by the _v3 functions of
// every driver except R535.43 to R535.86 (R510 to R530 declared _v3 with this
// struct; R535.104 re-added _v3 with it after R535.98 had dropped _v3).
// gpuInstanceId and computeInstanceId are 0xFFFFFFFF outside MIG mode.
struct nvmlProcessInfo_v2_t {
  unsigned int pid;
  unsigned long long usedGpuMemory;
  unsigned int gpuInstanceId;
  unsigned int computeInstanceId;
};

// Filled by the _v3 functions of R535.43 to R535.86 only: those drivers grew
// the struct by usedGpuCcProtectedMemory without renaming the functions. The
// drivers that have it export nvmlDeviceGetConfComputeMemSizeInfo but not yet
// nvmlDeviceGetRunningProcessDetailList, which is how the library tells them
// apart.
struct nvmlProcessInfo_v3_t {
  unsigned int pid;
  unsigned long long usedGpuMemory;
  unsigned int gpuInstanceId;
  unsigned int computeInstanceId;
  unsigned long long usedGpuCcProtectedMemory;
};

// The first two members sit at the same offsets in every version, so one
// reader serves all three strides.
static_assert(sizeof(nvmlProcessInfo_v1_t) == 16);
static_assert(sizeof(nvmlProcessInfo_v2_t) == 24);
static_assert(sizeof(nvmlProcessInfo_v3_t) == 32);
static_assert(offsetof(nvmlProcessInfo_v2_t, usedGpuMemory) == 8);
static_assert(offsetof(nvmlProcessInfo_v3_t, usedGpuMemory) == 8);
// The largest stride: process-list buffers are sized for it, so a driver that
// writes a larger struct than we expect never writes past the buffer.
inline constexpr std::size_t kMaxProcessInfoSize = sizeof(nvmlProcessInfo_v3_t);

// Filled by nvmlDeviceGetProcessUtilization. timeStamp is the CPU time of the
// sample in microseconds since the epoch (CLOCK_REALTIME); the utilisation
// values are percentages of the sample period.
struct nvmlProcessUtilizationSample_t {
  unsigned int pid;
  unsigned long long timeStamp;
  unsigned int smUtil;
  unsigned int memUtil;
  unsigned int encUtil;
  unsigned int decUtil;
};
static_assert(sizeof(nvmlProcessUtilizationSample_t) == 32);

// Filled through nvmlDeviceGetProcessesUtilizationInfo (R550, NVML 12.4 and
// later), which adds the JPEG and optical-flow engines to the older sample.
struct nvmlProcessUtilizationInfo_v1_t {
  unsigned long long timeStamp;
  unsigned int pid;
  unsigned int smUtil;
  unsigned int memUtil;
  unsigned int encUtil;
  unsigned int decUtil;
  unsigned int jpgUtil;
  unsigned int ofaUtil;
};
static_assert(sizeof(nvmlProcessUtilizationInfo_v1_t) == 40);
// The caller sets version and the array and its size; the driver answers
// INSUFFICIENT_SIZE with the count needed, or fills the array.
struct nvmlProcessesUtilizationInfo_v1_t {
  unsigned int version;
  unsigned int processSamplesCount;
  unsigned long long lastSeenTimeStamp;
  nvmlProcessUtilizationInfo_v1_t* procUtilArray;
};
static_assert(sizeof(nvmlProcessesUtilizationInfo_v1_t) == 24);
inline constexpr unsigned int nvmlProcessesUtilizationInfo_v1 =
    static_cast<unsigned int>(sizeof(nvmlProcessesUtilizationInfo_v1_t)) | (1u << 24);

// Filled by nvmlDeviceGetMemoryInfo: used includes the memory the driver
// reserves for itself.
struct nvmlMemory_t {
  unsigned long long total;
  unsigned long long free;
  unsigned long long used;
};
static_assert(sizeof(nvmlMemory_t) == 24);

// Filled by nvmlDeviceGetMemoryInfo_v2 (R510 and later): used no longer
// includes reserved, which is what nvidia-smi shows as memory.used. The caller
// sets version to NVML_STRUCT_VERSION(Memory, 2) = sizeof | 2 << 24.
struct nvmlMemory_v2_t {
  unsigned int version;
  unsigned long long total;
  unsigned long long reserved;
  unsigned long long free;
  unsigned long long used;
};
static_assert(sizeof(nvmlMemory_v2_t) == 40);
inline constexpr unsigned int nvmlMemory_v2 =
    static_cast<unsigned int>(sizeof(nvmlMemory_v2_t)) | (2u << 24);

// Filled by nvmlDeviceGetPciInfo_v3 (R384 and later). busId is
// "dddddddd:bb:dd.f" (8-digit domain).
struct nvmlPciInfo_t {
  char busIdLegacy[16];
  unsigned int domain;
  unsigned int bus;
  unsigned int device;
  unsigned int pciDeviceId;
  unsigned int pciSubSystemId;
  char busId[32];
};
static_assert(sizeof(nvmlPciInfo_t) == 68);

// Filled by nvmlDeviceGetPciInfo_v2 and nvmlDeviceGetPciInfo (older drivers):
// the bus id string comes first and is 16 bytes; domain, bus and device sit at
// the same offsets as in nvmlPciInfo_t.
struct nvmlPciInfoLegacy_t {
  char busId[16];
  unsigned int domain;
  unsigned int bus;
  unsigned int device;
  unsigned int pciDeviceId;
  unsigned int pciSubSystemId;
  unsigned int reserved0;
  unsigned int reserved1;
  unsigned int reserved2;
  unsigned int reserved3;
};
static_assert(sizeof(nvmlPciInfoLegacy_t) == 52);
static_assert(offsetof(nvmlPciInfoLegacy_t, domain) == offsetof(nvmlPciInfo_t, domain));
static_assert(offsetof(nvmlPciInfoLegacy_t, device) == offsetof(nvmlPciInfo_t, device));

// Entry points, by the signature of the versions we call.
using InitFunction = nvmlReturn_t (*)();
using ShutdownFunction = nvmlReturn_t (*)();
using DeviceGetCountFunction = nvmlReturn_t (*)(unsigned int* deviceCount);
using DeviceGetHandleByIndexFunction = nvmlReturn_t (*)(unsigned int index, nvmlDevice_t* device);
// The struct pointer is typed by the caller after it has chosen the layout.
using DeviceGetPciInfoFunction = nvmlReturn_t (*)(nvmlDevice_t device, void* pci);
using DeviceGetRunningProcessesFunction = nvmlReturn_t (*)(nvmlDevice_t device,
                                                           unsigned int* infoCount, void* infos);
using DeviceGetProcessUtilizationFunction =
    nvmlReturn_t (*)(nvmlDevice_t device, nvmlProcessUtilizationSample_t* utilization,
                     unsigned int* processSamplesCount, unsigned long long lastSeenTimeStamp);
using DeviceGetMemoryInfoFunction = nvmlReturn_t (*)(nvmlDevice_t device, void* memory);
// NVML_DEVICE_NAME_V2_BUFFER_SIZE: the longest name, NUL included.
inline constexpr unsigned int kDeviceNameBufferSize = 96;
using DeviceGetNameFunction = nvmlReturn_t (*)(nvmlDevice_t device, char* name,
                                               unsigned int length);
using DeviceGetMigModeFunction = nvmlReturn_t (*)(nvmlDevice_t device, unsigned int* currentMode,
                                                  unsigned int* pendingMode);
using DeviceGetProcessesUtilizationInfoFunction =
    nvmlReturn_t (*)(nvmlDevice_t device, nvmlProcessesUtilizationInfo_v1_t* info);
// MIG (R450 and later): a GPU in MIG mode has up to this many MIG devices,
// each reached by index (NOT_FOUND for an index no instance uses), each with
// the id of its GPU instance.
using DeviceGetMaxMigDeviceCountFunction = nvmlReturn_t (*)(nvmlDevice_t device,
                                                            unsigned int* count);
using DeviceGetMigDeviceHandleByIndexFunction = nvmlReturn_t (*)(nvmlDevice_t device,
                                                                 unsigned int index,
                                                                 nvmlDevice_t* migDevice);
using DeviceGetGpuInstanceIdFunction = nvmlReturn_t (*)(nvmlDevice_t device, unsigned int* id);

// GPU performance monitoring (Hopper and later, R520 on): a sample of a GPU
// instance's counters, allocated by the library; two samples give metrics
// over the time between them.
using nvmlGpmSample_t = struct nvmlGpmSample_st*;
inline constexpr unsigned int NVML_GPM_METRIC_GRAPHICS_UTIL = 1;
inline constexpr unsigned int NVML_GPM_METRICS_GET_VERSION = 1;
struct nvmlGpmMetric_t {
  unsigned int metricId;
  nvmlReturn_t nvmlReturn;
  double value;
  struct {
    char* shortName;
    char* longName;
    char* unit;
  } metricInfo;
};
static_assert(sizeof(nvmlGpmMetric_t) == 40);
// nvml.h sizes the array NVML_GPM_METRIC_MAX, which grows with each
// release; the library reads only the first numMetrics entries, and this
// version asks for one.
struct nvmlGpmMetricsGet_t {
  unsigned int version;
  unsigned int numMetrics;
  nvmlGpmSample_t sample1;
  nvmlGpmSample_t sample2;
  nvmlGpmMetric_t metrics[1];
};
using GpmSampleAllocFunction = nvmlReturn_t (*)(nvmlGpmSample_t* sample);
using GpmSampleFreeFunction = nvmlReturn_t (*)(nvmlGpmSample_t sample);
using GpmMigSampleGetFunction = nvmlReturn_t (*)(nvmlDevice_t device, unsigned int gpuInstanceId,
                                                 nvmlGpmSample_t sample);
using GpmMetricsGetFunction = nvmlReturn_t (*)(nvmlGpmMetricsGet_t* metrics);

}  // namespace gpuproc::nvml
