#include "platform/linux/drm_fdinfo_source.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/linux/busy_time_ledger.h"
#include "platform/linux/drm_client_scan.h"
#include "platform/linux/drm_devices.h"
#include "platform/linux/drm_fd_listing.h"
#include "platform/linux/drm_usage_summary.h"
#include "platform/linux/host_fs.h"
#include "platform/linux/number_text.h"

namespace gpuproc {
namespace {

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
        summary_(context.ledger) {}

  GpuSnapshot Collect(const CollectScope& scope) override;

 private:
  std::vector<AdapterUsage> ReadAdapters(bool values);
  void ForgetEndedProcesses(int procRoot);

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
