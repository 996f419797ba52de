#include "platform/linux/drm_fdinfo_source.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "platform/linux/busy_time_ledger.h"
#include "platform/linux/device_health.h"
#include "platform/linux/driver_profiles.h"
#include "platform/linux/drm_client_scan.h"
#include "platform/linux/drm_devices.h"
#include "platform/linux/drm_fd_listing.h"
#include "platform/linux/drm_usage_summary.h"
#include "platform/linux/host_fs.h"

namespace gpuproc {
namespace {

// Whether a device shares its package with the CPU, as far as sysfs alone
// tells; a driver whose kind shows only in its clients' regions has no
// package power in hwmon either way.
bool IsIntegrated(const HostFs& fs, const DriverProfile* profile, GpuDevice device) {
  if (profile == nullptr) return false;
  if (profile->kind == KindSignal::kAlwaysIntegrated) return true;
  return profile->kind == KindSignal::kKfdTopology &&
         KfdShowsIntegrated(fs.SysRootFd(), device).value_or(false);
}

// Finds each process's DRM clients, sums them per device, and adds what
// the drivers publish about each whole device.
class DrmFdinfoSource final : public GpuSource {
 public:
  explicit DrmFdinfoSource(const GpuSourceContext& context)
      : fs_(context.fs),
        ledger_(context.ledger),
        resolver_(fs_),
        lister_(context.clock),
        scanner_(context.clock),
        summary_(context.ledger) {}

  GpuSnapshot Collect(const CollectScope& scope) override;

 private:
  std::vector<AdapterUsage> ReadAdapters(bool values);

  const HostFs& fs_;
  BusyTimeLedger& ledger_;
  DrmDeviceResolver resolver_;
  GpuFdLister lister_;
  DrmClientScanner scanner_;
  DrmUsageSummary summary_;
  std::vector<std::uint32_t> processIds_;
};

std::vector<AdapterUsage> DrmFdinfoSource::ReadAdapters(bool values) {
  std::vector<AdapterUsage> adapters;
  for (const DrmDeviceResolver::Card& card : resolver_.Cards()) {
    AdapterUsage adapter;
    adapter.device = card.device;
    // An integrated GPU's memory is the system's: no adapter figures, as
    // on Windows. Where the kind shows only in a process's regions, the
    // driver's reader finds nothing on an integrated device anyway.
    const DriverProfile* profile = card.profile;
    if (values && profile != nullptr && profile->adapter != nullptr &&
        resolver_.KindOf(*profile, card.device, true) == DeviceKind::kDiscrete) {
      const AdapterFigures figures =
          profile->adapter(card.deviceDir.Get(), fs_.SysRootFd(), card.device);
      adapter.totalCommitted = figures.totalCommitted;
      adapter.free = figures.free;
    }
    if (values) {
      adapter.sysfsDevice = "class/drm/" + card.node + "/device";
      adapter.address = card.deviceName;
      adapter.readHealth = [fs = &fs_, node = card.node, profile, device = card.device] {
        return ReadSysfsHealth(*fs, "class/drm/" + node, IsIntegrated(*fs, profile, device));
      };
    }
    const bool duplicate =
        std::any_of(adapters.begin(), adapters.end(),
                    [&](const AdapterUsage& known) { return known.device == adapter.device; });
    if (!duplicate) adapters.push_back(adapter);
  }
  std::sort(adapters.begin(), adapters.end(),
            [](const AdapterUsage& a, const AdapterUsage& b) { return a.device < b.device; });
  return adapters;
}

GpuSnapshot DrmFdinfoSource::Collect(const CollectScope& scope) {
  GpuSnapshot snapshot;

  const int procRoot = fs_.ProcRootFd();
  processIds_.clear();
  if (procRoot >= 0 && scope.allProcesses) {
    // Every living process: the busy time of the others is forgotten.
    const std::vector<std::uint32_t>& living = scanner_.ListProcesses(procRoot);
    ledger_.KeepOnly(living);
    // Where no DRM device prints statistics, no fd is worth a look.
    if (resolver_.AnyNodeMayReport()) processIds_ = living;
  } else if (procRoot >= 0 && resolver_.AnyNodeMayReport()) {
    processIds_ = scope.processIds;
    std::sort(processIds_.begin(), processIds_.end());
    processIds_.erase(std::unique(processIds_.begin(), processIds_.end()), processIds_.end());
    // The full scan never sees threads; a scan limited to ids must not either.
    std::erase_if(processIds_, [&](std::uint32_t processId) {
      return scanner_.IsOtherProcessThread(procRoot, processId);
    });
  }
  if (scope.knownClientsOnly && !scope.allProcesses) {
    for (const std::uint32_t processId : processIds_) {
      std::vector<DrmClient>& clients = scanner_.ReadKnownClients(procRoot, processId, resolver_);
      if (!clients.empty()) summary_.Summarise(processId, clients, resolver_, snapshot);
    }
  } else if (!processIds_.empty()) {
    for (ProcessGpuFds& listed : lister_.List(procRoot, processIds_)) {
      std::vector<DrmClient>& clients = scanner_.ReadListedClients(procRoot, listed, resolver_);
      if (!clients.empty()) summary_.Summarise(listed.processId, clients, resolver_, snapshot);
    }
  }
  snapshot.adapters = ReadAdapters(scope.adapterValues);

  summary_.FinishCollection();
  scanner_.FinishCollection();
  return snapshot;
}

}  // namespace

std::unique_ptr<GpuSource> CreateDrmFdinfoSource(const GpuSourceContext& context) {
  return std::make_unique<DrmFdinfoSource>(context);
}

}  // namespace gpuproc
