// Turning the DRM clients of one process into what the counters report: per
// device, the memory its clients hold by the driver's region rules, and each
// engine class's utilisation between this collection and the previous one.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "platform/linux/drm_client_scan.h"
#include "platform/linux/drm_devices.h"
#include "platform/linux/gpu_source.h"

namespace gpuproc {

class DrmUsageSummary {
 public:
  // Begins a collection taken at `now` (monotonic ns).
  void StartCollection(std::uint64_t now);

  // Appends one ProcessGpuUsage per device of `clients` to `snapshot`, and
  // keeps the clients' engine counters for the next collection (moved out
  // of `clients`).
  void Summarise(std::uint32_t processId, std::vector<DrmClient>& clients,
                 DrmDeviceResolver& resolver, GpuSnapshot& snapshot);

  // Ends a collection: its counters become the previous ones.
  void FinishCollection();

 private:
  // The engines of every client at the previous collection, for utilisation.
  std::map<DrmClientKey, std::vector<FdinfoEngine>> previous_;
  std::map<DrmClientKey, std::vector<FdinfoEngine>> current_;
  std::optional<std::uint64_t> previousTime_;
  std::uint64_t now_ = 0;
  std::uint64_t wallNs_ = 0;
};

}  // namespace gpuproc
