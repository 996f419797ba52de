#include "platform/linux/drm_usage_summary.h"

#include <algorithm>
#include <string_view>
#include <utility>

#include "platform/linux/busy_time_ledger.h"
#include "platform/linux/counter_path.h"
#include "platform/linux/driver_profiles.h"
#include "platform/linux/number_text.h"

namespace gpuproc {
namespace {

// One client's use of one engine class between two collections.
std::optional<double> ClientEnginePercent(const FdinfoEngine& now, const FdinfoEngine* before,
                                          std::uint64_t wallNs) {
  const double capacity =
      (now.capacity && *now.capacity > 0) ? static_cast<double>(*now.capacity) : 1.0;
  if (now.busyNs) {
    if (wallNs == 0) return std::nullopt;
    // A busy-time line the previous collection lacked had not counted yet:
    // amdgpu prints an engine only once its time is above 0.
    const std::uint64_t earlier = (before && before->busyNs) ? *before->busyNs : 0;
    const std::uint64_t busy = *now.busyNs > earlier ? *now.busyNs - earlier : 0;
    return static_cast<double>(busy) * 100.0 / static_cast<double>(wallNs) / capacity;
  }
  if (now.cycles && now.totalCycles) {
    if (before == nullptr || !before->cycles || !before->totalCycles) return std::nullopt;
    // The ledger's rule (BusyTimeLedger): an interval over which the GPU
    // timestamp went back or stood still has no value.
    const std::optional<double> share =
        CycleBusyShare({*before->cycles, *before->totalCycles}, {*now.cycles, *now.totalCycles},
                       now.capacity.value_or(1));
    if (!share) return std::nullopt;
    return *share * 100.0 / capacity;
  }
  return std::nullopt;
}

}  // namespace

void DrmUsageSummary::Summarise(std::uint32_t processId, std::optional<std::uint64_t> startTime,
                                std::vector<DrmClient>& clients, DrmDeviceResolver& resolver,
                                GpuSnapshot& snapshot) {
  std::vector<GpuDevice> devices;
  for (const DrmClient& client : clients) devices.push_back(client.key.device);
  std::sort(devices.begin(), devices.end());
  devices.erase(std::unique(devices.begin(), devices.end()), devices.end());
  const ClassBusyTimes busyTimes = ledger_.RecordClients(processId, startTime, clients);

  for (const GpuDevice& device : devices) {
    ProcessGpuUsage usage;
    usage.processId = processId;
    usage.device = device;

    bool hasMemory = false;
    bool reportsDiscreteRegion = false;
    std::uint64_t dedicated = 0;
    std::uint64_t shared = 0;
    std::uint64_t committed = 0;
    std::vector<std::pair<std::string_view, std::string_view>> classes;  // driver, class
    const DriverProfile* profile = nullptr;

    for (const DrmClient& client : clients) {
      if (client.key.device != device) continue;
      // The process's clients are read one after the other: its counters
      // are as of the last of them.
      usage.readAtNs = std::max(usage.readAtNs.value_or(0), client.readAtNs);
      profile = &ProfileForDriver(client.info.driver);
      for (const FdinfoRegion& region : client.info.regions) {
        if (RegionMarksDiscrete(*profile, region.name)) reportsDiscreteRegion = true;
      }
    }
    const DeviceKind kind = resolver.KindOf(*profile, device, reportsDiscreteRegion);

    for (const DrmClient& client : clients) {
      if (client.key.device != device) continue;
      const DrmFdinfo& info = client.info;
      const DriverProfile& clientProfile = ProfileForDriver(info.driver);
      if (!info.clientName.empty() && std::find(usage.clientNames.begin(), usage.clientNames.end(),
                                                info.clientName) == usage.clientNames.end()) {
        usage.clientNames.push_back(info.clientName);
      }
      for (const FdinfoRegion& region : info.regions) {
        hasMemory = true;
        const RegionClass regionClass = ClassifyRegion(clientProfile, region.name, kind);
        if (regionClass == RegionClass::kIgnored) continue;
        const std::optional<std::uint64_t> resident = region.ResidentBytes();
        // Windows' dedicated memory: VRAM, or the firmware's carve-out of
        // an integrated GPU.
        if (regionClass == RegionClass::kSystem) {
          shared = SaturatingAdd(shared, resident.value_or(0));
        } else {
          dedicated = SaturatingAdd(dedicated, resident.value_or(0));
        }
        committed = SaturatingAdd(committed, region.total.value_or(resident.value_or(0)));
      }
      for (const FdinfoEngine& engine : info.engines) {
        const bool listed = std::any_of(classes.begin(), classes.end(), [&](const auto& known) {
          return known.second == engine.name;
        });
        if (!listed) classes.emplace_back(info.driver, engine.name);
      }
    }
    if (hasMemory) {
      usage.dedicatedUsage = dedicated;
      usage.sharedUsage = shared;
      // On an integrated GPU the local segment and system memory are the
      // same memory (a UMA adapter, as Windows counts it).
      usage.localUsage =
          kind == DeviceKind::kDiscrete ? dedicated : SaturatingAdd(dedicated, shared);
      usage.totalCommitted = committed;
    }

    for (const auto& [driver, engineClass] : classes) {
      double sum = 0;
      bool contributed = false;
      for (const DrmClient& client : clients) {
        if (client.key.device != device) continue;
        const FdinfoEngine* now = client.info.FindEngine(engineClass);
        if (now == nullptr) continue;
        const auto before = previous_.find(client.key);
        if (before == previous_.end()) continue;
        const FdinfoEngine* earlier = nullptr;
        for (const FdinfoEngine& engine : before->second.engines) {
          if (engine.name == engineClass) earlier = &engine;
        }
        // The client's own interval: a scan of many processes takes long
        // enough that one clock reading per collection would shrink the
        // rate of every client read late in the first scan.
        const std::uint64_t intervalNs = client.readAtNs > before->second.readAtNs
                                             ? client.readAtNs - before->second.readAtNs
                                             : 0;
        if (const std::optional<double> percent = ClientEnginePercent(*now, earlier, intervalNs)) {
          sum += *percent;
          contributed = true;
        }
      }
      EngineClassUsage engine;
      engine.type = EngineClassType(driver, engineClass);
      if (contributed) engine.utilizationPercent = std::clamp(sum, 0.0, 100.0);
      const auto busy = busyTimes.find({device, std::string(engineClass)});
      if (busy != busyTimes.end()) engine.busyNs = busy->second;
      usage.engines.push_back(std::move(engine));
    }
    // Classes that only closed clients used keep their time, after the
    // current ones so that those keep their places.
    for (const auto& [key, busyNs] : busyTimes) {
      if (key.first != device) continue;
      const std::string& engineClass = key.second;
      const bool listed = std::any_of(classes.begin(), classes.end(), [&](const auto& known) {
        return known.second == engineClass;
      });
      if (listed) continue;
      usage.engines.push_back(
          {EngineClassType(profile->name, key.second), std::nullopt, busyNs, false});
    }
    snapshot.processes.push_back(std::move(usage));
  }

  // Keep this collection's counters for the next one. A counter that went
  // down keeps its larger earlier value until the driver catches up with it
  // (the DRM usage-stats rule), so the dip is not counted twice.
  for (DrmClient& client : clients) {
    std::vector<FdinfoEngine>& engines = client.info.engines;
    const auto before = previous_.find(client.key);
    if (before != previous_.end()) {
      for (FdinfoEngine& engine : engines) {
        for (const FdinfoEngine& earlier : before->second.engines) {
          if (earlier.name != engine.name) continue;
          if (engine.busyNs && earlier.busyNs && *earlier.busyNs > *engine.busyNs) {
            engine.busyNs = earlier.busyNs;
          }
          if (engine.cycles && engine.totalCycles && earlier.cycles && earlier.totalCycles) {
            const CycleReading base = NextCycleBase({*earlier.cycles, *earlier.totalCycles},
                                                    {*engine.cycles, *engine.totalCycles});
            engine.cycles = base.cycles;
          }
        }
      }
    }
    current_[client.key] = Reading{client.readAtNs, std::move(engines)};
  }
}

void DrmUsageSummary::FinishCollection() {
  std::swap(previous_, current_);
  current_.clear();
}

}  // namespace gpuproc
