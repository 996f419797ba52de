#include "export/snapshot_driver.h"

#include <algorithm>
#include <array>
#include <map>
#include <optional>
#include <set>
#include <tuple>

#include "counters/adapter_memory.h"
#include "counters/counter_query.h"
#include "counters/instance_discovery.h"
#include "process/process_name.h"
#include "report/energy_account.h"
#include "report/snapshot_document.h"

namespace gpuproc {
namespace {

// The four process memory counters lead the whole-machine list.
constexpr std::array<AllProcessesCounter, 4> kMemoryCounters = {kAllDedicatedUsage, kAllSharedUsage,
                                                                kAllLocalUsage, kAllTotalCommitted};
constexpr std::array<std::optional<double> SnapshotProcess::*, 4> kMemoryMembers = {
    &SnapshotProcess::dedicatedUsage, &SnapshotProcess::sharedUsage, &SnapshotProcess::localUsage,
    &SnapshotProcess::totalCommitted};

constexpr double kRunningTimeUnitsPerSecond = 1e7;

// Running time of one engine type, summed in the counter's integer units so
// that the sum is exact; `readable` false once any of its engines was not.
struct EngineTime {
  std::int64_t units = 0;
  bool readable = true;
};

struct ProcessGroup {
  SnapshotProcess process;
  std::map<std::u16string, EngineTime> engines;
};

// Keyed by process id, then adapter: the document's order.
using ProcessGroups = std::map<std::tuple<std::uint32_t, std::u16string>, ProcessGroup>;

ProcessGroup* GroupOf(ProcessGroups& groups, std::u16string_view processInstance) {
  const std::optional<ProcessInstanceParts> parts = SplitProcessInstance(processInstance);
  if (!parts) return nullptr;
  const std::u16string adapter(AdapterOf(parts->adapter));
  ProcessGroup& group = groups[{parts->processId, adapter}];
  group.process.processId = parts->processId;
  return &group;
}

void AddRunningTimes(ProcessGroups& groups, const std::vector<RawCounterItem>& items) {
  for (const RawCounterItem& item : items) {
    const std::optional<EngineInstanceParts> engine = SplitEngineInstance(item.instance);
    if (!engine) continue;
    ProcessGroup* group = GroupOf(groups, engine->processInstance);
    if (group == nullptr) continue;
    EngineTime& time = group->engines[std::u16string(engine->type)];
    const bool valid = item.status == kPdhCStatusValidData || item.status == kPdhCStatusNewData;
    // A sum that silently left out one engine would read as a counter that
    // went down: the whole type is unknown instead.
    if (!valid || item.firstValue < 0) {
      time.readable = false;
    } else {
      time.units += item.firstValue;
    }
  }
}

std::optional<double> Known(double reading) {
  return reading < 0 ? std::nullopt : std::optional<double>(reading);
}

// Each listed GPU's health: read once per GPU, never per process.
void AddHealth(Platform& platform, QueryHandle query, std::vector<SnapshotAdapter>& adapters) {
  const std::vector<AdapterHealth> health = platform.ReadAdapterHealth(query);
  for (SnapshotAdapter& adapter : adapters) {
    const auto found = std::find_if(health.begin(), health.end(), [&](const AdapterHealth& h) {
      const std::string luid(h.luid.begin(), h.luid.end());
      return !luid.empty() && adapter.adapter.rfind(luid + "_phys_", 0) == 0;
    });
    if (found == health.end()) continue;
    adapter.powerWatts = found->powerWatts;
    adapter.powerLimitWatts = found->powerLimitWatts;
    adapter.energyJoules = found->energyJoules;
    adapter.temperatures = found->temperatures;
    adapter.slowdownTemperatures = found->slowdownTemperatures;
    adapter.clocks = found->clocks;
    adapter.fanRpm = found->fanRpm;
    adapter.busyPercent = found->busyPercent;
    if (found->powerWatts || found->energyJoules)
      adapter.powerScope = found->packagePower ? "package" : "device";
  }
}

}  // namespace

const char* CollectSnapshot(Platform& platform, std::string& snapshotText) {
  CounterQuery query;
  if (!OpenCounterQuery(platform, query)) return kEmptyResultText;

  SnapshotDocument document;
  {
    QueryCloser closer(platform, query);
    std::array<CounterHandle, kMemoryCounters.size()> memory{};
    for (std::size_t member = 0; member < kMemoryCounters.size(); ++member) {
      AddCounter(platform, query, kAllProcessesCounterPaths[kMemoryCounters[member]],
                 memory[member]);
    }
    CounterHandle runningTime = nullptr;
    AddCounter(platform, query, kEngineRunningTimePath, runningTime);
    AdapterCounterPair adapterPair;
    AddAdapterCounterPair(platform, query, adapterPair);
    // Levels and cumulative times need one collection: no pause.
    platform.CollectQueryData(query.handle);
    document.time = platform.MonotonicSeconds();

    ProcessGroups groups;
    for (std::size_t member = 0; member < kMemoryCounters.size(); ++member) {
      for (const InstanceReading& reading : ReadCounterArray(platform, memory[member])) {
        if (ProcessGroup* group = GroupOf(groups, reading.instance)) {
          group->process.*kMemoryMembers[member] = Known(reading.value);
        }
      }
    }
    std::vector<RawCounterItem> times;
    // Never ask about a counter that was not added (see ReadCounterArray).
    const bool timesRead =
        runningTime != nullptr && platform.GetRawCounterArray(runningTime, &times) == kPdhSuccess;
    if (timesRead) AddRunningTimes(groups, times);

    document.unreadableProcesses = platform.UnreadableProcesses(query.handle);
    // Read all at once unless the platform says otherwise.
    for (auto& [key, group] : groups) group.process.time = document.time;
    for (const InstanceReadTime& read : platform.ProcessReadTimes(query.handle)) {
      const std::optional<ProcessInstanceParts> parts = SplitProcessInstance(read.instance);
      if (!parts) continue;
      const auto found = groups.find({parts->processId, std::u16string(AdapterOf(parts->adapter))});
      if (found != groups.end()) found->second.process.time = read.seconds;
    }

    document.lostSources = platform.LostSources(query.handle);

    const AdapterReadings adapters = AdapterReadings::Read(platform, adapterPair);
    const std::vector<AdapterDescription> descriptions =
        groups.empty() ? std::vector<AdapterDescription>()
                       : platform.DescribeAdapters(query.handle);

    std::set<std::u16string> used;
    std::optional<std::uint32_t> namedProcess;
    std::string processName;
    for (auto& [key, group] : groups) {
      const auto& [processId, adapter] = key;
      // One name lookup per process, however many GPUs it uses.
      if (namedProcess != processId) {
        processName = WideToUtf8(platform, GetProcessName(platform, processId));
        namedProcess = processId;
      }
      SnapshotProcess& process = group.process;
      process.name = processName;
      process.adapter = WideToUtf8(platform, adapter);
      if (timesRead) {
        process.engineBusySeconds.emplace();
        for (const auto& [type, time] : group.engines) {
          (*process.engineBusySeconds)[WideToUtf8(platform, type)] =
              time.readable ? std::optional<double>(static_cast<double>(time.units) /
                                                    kRunningTimeUnitsPerSecond)
                            : std::nullopt;
        }
      }
      used.insert(adapter);
      document.processes.push_back(std::move(process));
    }
    for (const std::u16string& adapter : used) {
      const AdapterDescription* description = FindAdapterDescription(adapter, descriptions);
      document.adapters.push_back(
          {WideToUtf8(platform, adapter), description ? description->name : std::string(),
           description ? description->pciAddress : std::string(),
           Known(adapters.TotalCommitted(adapter)), Known(adapters.Free(adapter, descriptions)),
           description ? description->kind : std::string("GPU")});
    }
    if (!document.adapters.empty()) {
      AddHealth(platform, query.handle, document.adapters);
      if (EnergyAccount* account = platform.KeptEnergyAccount()) account->Account(document);
    }
  }

  snapshotText = FormatSnapshot(document);
  return snapshotText.c_str();
}

}  // namespace gpuproc
