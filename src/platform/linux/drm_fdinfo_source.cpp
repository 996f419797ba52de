#include "platform/linux/drm_fdinfo_source.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/linux/busy_time_ledger.h"
#include "platform/linux/device_health.h"
#include "platform/linux/device_sysfs.h"
#include "platform/linux/driver_profiles.h"
#include "platform/linux/drm_client_scan.h"
#include "platform/linux/drm_devices.h"
#include "platform/linux/drm_fd_listing.h"
#include "platform/linux/drm_usage_summary.h"
#include "platform/linux/host_fs.h"
#include "platform/linux/number_text.h"

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

// When the process started, in clock ticks after boot: field 22 of
// /proc/<pid>/stat, counted after the name, which may hold spaces and
// parentheses of its own. Empty where the file cannot be read.
std::optional<std::uint64_t> ProcessStartTime(int procRoot, std::uint32_t processId) {
  char path[32];
  std::snprintf(path, sizeof path, "%u/stat", processId);
  const UniqueFd file(OpenRegularFileInRoot(procRoot, path));
  std::string text;
  if (!file.Valid() || !ReadAll(file.Get(), text)) return std::nullopt;
  std::string_view rest(text);
  const std::size_t nameEnd = rest.rfind(')');
  if (nameEnd == std::string_view::npos) return std::nullopt;
  rest.remove_prefix(nameEnd + 1);
  // Fields 3 (state) to 21 come first.
  for (int field = 3; field <= 22; ++field) {
    while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
    const std::size_t end = std::min(rest.find(' '), rest.size());
    if (field == 22) return ParseDecimal<std::uint64_t>(rest.substr(0, end));
    rest.remove_prefix(end);
  }
  return std::nullopt;
}

// Whether the process's folder is gone from the proc root: it has exited.
bool ProcessGone(int procRoot, std::uint32_t processId) {
  char name[16];
  std::snprintf(name, sizeof name, "%u", processId);
  return ::faccessat(procRoot, name, F_OK, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT;
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
        summary_(context.ledger),
        clock_(context.clock) {}

  GpuSnapshot Collect(const CollectScope& scope) override;

 private:
  std::vector<AdapterUsage> ReadAdapters(bool values);
  void ApplyDeviceFigures(bool wholeMachine, GpuSnapshot& snapshot);
  void ForgetEndedProcesses(int procRoot);

  const HostFs& fs_;
  BusyTimeLedger& ledger_;
  DrmDeviceResolver resolver_;
  GpuFdLister lister_;
  DrmClientScanner scanner_;
  DrmUsageSummary summary_;
  std::vector<std::uint32_t> processIds_;
  // A device-level busy-time file's previous reading (µs) and when.
  std::map<GpuDevice, std::pair<std::uint64_t, std::uint64_t>> previousDeviceBusy_;
  MonotonicClock clock_;
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
      adapter.sysfsDevice = NodeClassDir(card.node) + "/device";
      adapter.address = card.deviceName;
      adapter.readHealth = [fs = &fs_, node = card.node, profile, device = card.device] {
        return ReadSysfsHealth(*fs, "class/drm/" + node, IsIntegrated(*fs, profile, device));
      };
    }
    if (card.accel) adapter.kind = kNpuKind;
    const bool duplicate =
        std::any_of(adapters.begin(), adapters.end(),
                    [&](const AdapterUsage& known) { return known.device == adapter.device; });
    if (!duplicate) adapters.push_back(adapter);
  }
  std::sort(adapters.begin(), adapters.end(),
            [](const AdapterUsage& a, const AdapterUsage& b) { return a.device < b.device; });
  return adapters;
}

// What some drivers publish per device rather than per client: a switch
// without which engine time is not sampled, and busy time of the whole
// device.
void DrmFdinfoSource::ApplyDeviceFigures(bool wholeMachine, GpuSnapshot& snapshot) {
  for (const DrmDeviceResolver::Card& card : resolver_.Cards()) {
    const DriverProfile* profile = card.profile;
    if (profile == nullptr || !card.deviceDir.Valid()) continue;
    std::vector<ProcessGpuUsage*> users;
    for (ProcessGpuUsage& usage : snapshot.processes) {
      if (usage.device == card.device) users.push_back(&usage);
    }
    if (!profile->profilingSwitch.empty() && !users.empty()) {
      const std::string switchName(profile->profilingSwitch);
      // With the switch off the driver prints engine lines that never move:
      // unknown, not an idle GPU.
      if (ReadSysNumber(card.deviceDir.Get(), switchName.c_str()) == 0u) {
        for (ProcessGpuUsage* usage : users) {
          for (EngineClassUsage& engine : usage->engines) {
            engine.utilizationPercent.reset();
            engine.busyNs.reset();
          }
        }
        const std::string path = "/sys/" + NodeClassDir(card.node) + "/device/" + switchName;
        snapshot.notices.push_back(std::string(profile->name) +
                                   " samples no engine time while its " + switchName +
                                   " switch is off; turn it on as root: echo 1 > " + path);
      }
    }
    if (!profile->deviceBusyFile.empty() && wholeMachine && users.size() == 1) {
      // Busy time of the whole device: it is the process's only where no
      // other process holds the device.
      const std::string file(profile->deviceBusyFile);
      const std::optional<std::uint64_t> busyUs = ReadSysNumber(card.deviceDir.Get(), file.c_str());
      if (!busyUs) continue;
      const std::uint64_t now = clock_ ? clock_() : 0;
      EngineClassUsage engine{"Compute", std::nullopt, SaturatingMultiply(*busyUs, 1000), true};
      const auto before = previousDeviceBusy_.find(card.device);
      if (before != previousDeviceBusy_.end() && now > before->second.second) {
        const std::uint64_t busy =
            *busyUs > before->second.first ? *busyUs - before->second.first : 0;
        engine.utilizationPercent = std::clamp(static_cast<double>(busy) * 1000.0 * 100.0 /
                                                   static_cast<double>(now - before->second.second),
                                               0.0, 100.0);
      }
      previousDeviceBusy_[card.device] = {*busyUs, now};
      users.front()->engines.push_back(std::move(engine));
    }
  }
}

// A host that only ever asks about single processes never scans them all:
// the ledger is kept to living processes here instead. It keeps only GPU
// processes, so this is a few reads of /proc where a call takes many.
void DrmFdinfoSource::ForgetEndedProcesses(int procRoot) {
  for (const auto& [processId, recorded] : ledger_.KeptProcesses()) {
    if (ProcessGone(procRoot, processId)) {
      ledger_.Forget(processId);
    } else if (recorded) {
      const std::optional<std::uint64_t> startTime = ProcessStartTime(procRoot, processId);
      if (startTime && *startTime != *recorded) ledger_.Forget(processId);
    }
  }
}

GpuSnapshot DrmFdinfoSource::Collect(const CollectScope& scope) {
  GpuSnapshot snapshot;

  const int procRoot = fs_.ProcRootFd();
  processIds_.clear();
  if (procRoot >= 0 && !scope.allProcesses && !scope.knownClientsOnly) {
    ForgetEndedProcesses(procRoot);
  }
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
      if (clients.empty()) continue;
      summary_.Summarise(processId, ProcessStartTime(procRoot, processId), clients, resolver_,
                         snapshot);
    }
  } else if (!processIds_.empty()) {
    for (ProcessGpuFds& listed : lister_.List(procRoot, processIds_)) {
      std::vector<DrmClient>& clients = scanner_.ReadListedClients(procRoot, listed, resolver_);
      if (clients.empty()) continue;
      summary_.Summarise(listed.processId, ProcessStartTime(procRoot, listed.processId), clients,
                         resolver_, snapshot);
    }
    snapshot.unreadableProcesses = lister_.Refused();
  }
  ApplyDeviceFigures(scope.allProcesses || scope.knownClientsOnly, snapshot);
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
