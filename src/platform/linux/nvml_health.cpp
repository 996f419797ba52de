#include "platform/linux/nvml_health.h"

#include <dlfcn.h>

namespace gpuproc {
namespace {

using nvml::NVML_SUCCESS;

template <typename Function>
Function Find(void* handle, const char* name) {
  return reinterpret_cast<Function>(::dlsym(handle, name));
}

constexpr double kPerMilli = 1e-3;
constexpr double kHzPerMHz = 1e6;

}  // namespace

NvmlHealthFunctions ResolveNvmlHealthFunctions(void* handle) {
  NvmlHealthFunctions functions;
  functions.powerUsage = Find<nvml::DeviceGetUnsignedFunction>(handle, "nvmlDeviceGetPowerUsage");
  functions.totalEnergy =
      Find<nvml::DeviceGetTotalEnergyFunction>(handle, "nvmlDeviceGetTotalEnergyConsumption");
  functions.temperature = Find<nvml::DeviceGetByTypeFunction>(handle, "nvmlDeviceGetTemperature");
  functions.temperatureThreshold =
      Find<nvml::DeviceGetByTypeFunction>(handle, "nvmlDeviceGetTemperatureThreshold");
  functions.clockInfo = Find<nvml::DeviceGetByTypeFunction>(handle, "nvmlDeviceGetClockInfo");
  functions.fanSpeedRpm =
      Find<nvml::DeviceGetFanSpeedRpmFunction>(handle, "nvmlDeviceGetFanSpeedRPM");
  functions.utilizationRates =
      Find<nvml::DeviceGetUtilizationRatesFunction>(handle, "nvmlDeviceGetUtilizationRates");
  functions.enforcedPowerLimit =
      Find<nvml::DeviceGetUnsignedFunction>(handle, "nvmlDeviceGetEnforcedPowerLimit");
  ::dlerror();  // older drivers lack some of them
  return functions;
}

DeviceHealth ReadNvmlHealth(const NvmlHealthFunctions& functions, nvml::nvmlDevice_t device) {
  DeviceHealth health;
  unsigned int value = 0;
  if (functions.powerUsage && functions.powerUsage(device, &value) == NVML_SUCCESS)
    health.powerWatts = value * kPerMilli;
  if (functions.enforcedPowerLimit &&
      functions.enforcedPowerLimit(device, &value) == NVML_SUCCESS && value > 0) {
    health.powerLimitWatts = value * kPerMilli;
  }
  unsigned long long energy = 0;
  if (functions.totalEnergy && functions.totalEnergy(device, &energy) == NVML_SUCCESS)
    health.energyJoules = static_cast<double>(energy) * kPerMilli;
  // NVML has one die sensor; the memory's is a field value few boards fill.
  if (functions.temperature &&
      functions.temperature(device, nvml::NVML_TEMPERATURE_GPU, &value) == NVML_SUCCESS) {
    health.temperatures.emplace("gpu", value);
    if (functions.temperatureThreshold &&
        functions.temperatureThreshold(device, nvml::NVML_TEMPERATURE_THRESHOLD_SLOWDOWN, &value) ==
            NVML_SUCCESS &&
        value > 0) {
      health.slowdownTemperatures.emplace("gpu", value);
    }
  }
  if (functions.clockInfo) {
    const struct {
      int type;
      const char* name;
    } clocks[] = {{nvml::NVML_CLOCK_GRAPHICS, "graphics"},
                  {nvml::NVML_CLOCK_SM, "sm"},
                  {nvml::NVML_CLOCK_MEM, "memory"},
                  {nvml::NVML_CLOCK_VIDEO, "video"}};
    for (const auto& clock : clocks) {
      if (functions.clockInfo(device, clock.type, &value) == NVML_SUCCESS)
        health.clocks.emplace(clock.name, value * kHzPerMHz);
    }
  }
  // nvmlDeviceGetFanSpeed answers a percentage of the fan's maximum, not a
  // speed: only the RPM call gives what FanRPM means.
  nvml::nvmlFanSpeedInfo_t fan{};
  fan.version = nvml::nvmlFanSpeedInfo_v1;
  fan.fan = 0;
  if (functions.fanSpeedRpm && functions.fanSpeedRpm(device, &fan) == NVML_SUCCESS)
    health.fanRpm = fan.speed;
  nvml::nvmlUtilization_t utilization{};
  if (functions.utilizationRates &&
      functions.utilizationRates(device, &utilization) == NVML_SUCCESS && utilization.gpu <= 100) {
    health.busyPercent = utilization.gpu;
  }
  return health;
}

}  // namespace gpuproc
