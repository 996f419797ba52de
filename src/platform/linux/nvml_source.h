// The GPU source for NVIDIA's proprietary driver, over NVML.
//
// Per collection and device: every process in the compute, graphics and MPS
// running-process lists (one entry per process even when it is in several),
// its memory as the driver attributes it, one "3D" engine class whose
// utilisation is the process's SM utilisation, and the device's used and free
// memory.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string_view>

#include "platform/linux/busy_time_ledger.h"
#include "platform/linux/gpu_source.h"
#include "platform/linux/nvml_library.h"

namespace gpuproc {

class NvmlSource : public GpuSource {
 public:
  // `clock` is CLOCK_MONOTONIC in ns, against which the wall clock of the
  // driver's sample times is checked.
  NvmlSource(std::shared_ptr<const NvmlLibrary> library, BusyTimeLedger& ledger,
             MonotonicClock clock);
  ~NvmlSource() override;
  NvmlSource(const NvmlSource&) = delete;
  NvmlSource& operator=(const NvmlSource&) = delete;
  GpuSnapshot Collect(const CollectScope& scope) override;

 private:
  void AddProcesses(nvml::nvmlDevice_t device, GpuDevice name,
                    const std::map<std::uint32_t, unsigned long long>& memoryByPid,
                    GpuSnapshot& snapshot);
  void CollectMigDevices(nvml::nvmlDevice_t device, GpuDevice name, const CollectScope& scope,
                         GpuSnapshot& snapshot);
  // A GPU instance's graphics utilisation since this source's previous
  // sample of it, where the GPU has performance monitoring.
  std::optional<double> GpmGraphicsUtil(nvml::nvmlDevice_t device, GpuDevice instance,
                                        unsigned int gpuInstanceId);

  std::shared_ptr<const NvmlLibrary> library_;
  BusyTimeLedger& ledger_;
  MonotonicClock clock_;
  std::uint64_t collections_ = 0;
  // Each GPU instance's latest GPM sample, freed with the source.
  std::map<GpuDevice, nvml::nvmlGpmSample_t> gpmSamples_;
};

// The row of the source table: a source over the process-wide NVML library,
// or null where there is no usable NVML.
GpuSourceEntry NvmlSourceEntry();

// The device named by NVML's PCI fields; the function number comes from the
// bus id text ("dddddddd:bb:dd.f"), 0 when the text has none.
GpuDevice DeviceFromPciInfo(unsigned int domain, unsigned int bus, unsigned int device,
                            std::string_view busId);

// The time NVML stamps its utilisation samples with: CLOCK_REALTIME in
// microseconds.
std::uint64_t NvmlTimestampNow();

// How far back a collection looks for utilisation samples: the driver takes
// one every 1/6 s to 1 s, so the 50 ms between two collections alone would
// often hold none.
inline constexpr std::uint64_t kUtilizationWindowMicroseconds = 1'000'000;

}  // namespace gpuproc
