// Turning the DRM clients of one process into what the counters report: per
// device, the memory its clients hold by the driver's region rules, and each
// engine class's utilisation between this collection and the previous one,
// each client over its own interval, and its cumulative busy time.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "platform/linux/drm_client_scan.h"
#include "platform/linux/drm_devices.h"
#include "platform/linux/gpu_source.h"

namespace gpuproc {

class BusyTimeLedger;

class DrmUsageSummary {
 public:
  explicit DrmUsageSummary(BusyTimeLedger& ledger) : ledger_(ledger) {}

  // Appends one ProcessGpuUsage per device of `clients` to `snapshot`, hands
  // the readings to the ledger, and keeps the clients' engine counters for
  // the next collection (moved out of `clients`).
  // `startTime` is the process's (see BusyTimeLedger::RecordClients).
  void Summarise(std::uint32_t processId, std::optional<std::uint64_t> startTime,
                 std::vector<DrmClient>& clients, DrmDeviceResolver& resolver,
                 GpuSnapshot& snapshot);

  // Ends a collection: its counters become the previous ones.
  void FinishCollection();

 private:
  // One client's engines as read, and when.
  struct Reading {
    std::uint64_t readAtNs = 0;
    std::vector<FdinfoEngine> engines;
  };

  BusyTimeLedger& ledger_;
  // Every client at the previous collection, for utilisation.
  std::map<DrmClientKey, Reading> previous_;
  std::map<DrmClientKey, Reading> current_;
};

}  // namespace gpuproc
