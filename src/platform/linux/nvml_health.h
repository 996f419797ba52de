// A whole NVIDIA device's health over NVML: power, the driver's total energy
// counter, the GPU temperature and its slowdown threshold, clocks, fan speed,
// utilisation and the enforced power limit. Every entry point is optional: a
// driver without one leaves its member empty, as does a call that fails
// (NOT_SUPPORTED on most consumer boards for some of them).
#pragma once

#include "platform/linux/gpu_source.h"
#include "platform/linux/nvml_api.h"

namespace gpuproc {

namespace nvml {

// nvmlTemperatureSensors_t NVML_TEMPERATURE_GPU; nvmlTemperatureThresholds_t
// NVML_TEMPERATURE_THRESHOLD_SLOWDOWN; nvmlClockType_t.
inline constexpr int NVML_TEMPERATURE_GPU = 0;
inline constexpr int NVML_TEMPERATURE_THRESHOLD_SLOWDOWN = 1;
inline constexpr int NVML_CLOCK_GRAPHICS = 0;
inline constexpr int NVML_CLOCK_SM = 1;
inline constexpr int NVML_CLOCK_MEM = 2;
inline constexpr int NVML_CLOCK_VIDEO = 3;

// Filled by nvmlDeviceGetUtilizationRates: percentages of the driver's last
// sample period.
struct nvmlUtilization_t {
  unsigned int gpu;
  unsigned int memory;
};
static_assert(sizeof(nvmlUtilization_t) == 8);

// Filled by nvmlDeviceGetFanSpeedRPM (R535 and later); the caller sets
// version to NVML_STRUCT_VERSION(FanSpeedInfo, 1) and fan to the fan's index.
struct nvmlFanSpeedInfo_t {
  unsigned int version;
  unsigned int fan;
  unsigned int speed;
};
static_assert(sizeof(nvmlFanSpeedInfo_t) == 12);
inline constexpr unsigned int nvmlFanSpeedInfo_v1 =
    static_cast<unsigned int>(sizeof(nvmlFanSpeedInfo_t)) | (1u << 24);

using DeviceGetUnsignedFunction = nvmlReturn_t (*)(nvmlDevice_t device, unsigned int* value);
using DeviceGetTotalEnergyFunction = nvmlReturn_t (*)(nvmlDevice_t device,
                                                      unsigned long long* energy);
using DeviceGetByTypeFunction = nvmlReturn_t (*)(nvmlDevice_t device, int type,
                                                 unsigned int* value);
using DeviceGetUtilizationRatesFunction = nvmlReturn_t (*)(nvmlDevice_t device,
                                                           nvmlUtilization_t* utilization);
using DeviceGetFanSpeedRpmFunction = nvmlReturn_t (*)(nvmlDevice_t device,
                                                      nvmlFanSpeedInfo_t* fanSpeed);

}  // namespace nvml

struct NvmlHealthFunctions {
  nvml::DeviceGetUnsignedFunction powerUsage = nullptr;          // mW
  nvml::DeviceGetTotalEnergyFunction totalEnergy = nullptr;      // mJ since the driver loaded
  nvml::DeviceGetByTypeFunction temperature = nullptr;           // °C
  nvml::DeviceGetByTypeFunction temperatureThreshold = nullptr;  // °C
  nvml::DeviceGetByTypeFunction clockInfo = nullptr;             // MHz
  nvml::DeviceGetFanSpeedRpmFunction fanSpeedRpm = nullptr;      // RPM
  nvml::DeviceGetUtilizationRatesFunction utilizationRates = nullptr;
  nvml::DeviceGetUnsignedFunction enforcedPowerLimit = nullptr;  // mW
};

// The health entry points `handle` (a dlopen handle of NVML) exports.
NvmlHealthFunctions ResolveNvmlHealthFunctions(void* handle);

DeviceHealth ReadNvmlHealth(const NvmlHealthFunctions& functions, nvml::nvmlDevice_t device);

}  // namespace gpuproc
