#include "platform/linux/counter_values.h"

#include <algorithm>
#include <map>
#include <optional>
#include <set>
#include <string_view>
#include <tuple>
#include <utility>

#include "platform/linux/counter_path.h"
#include "platform/linux/number_text.h"

namespace gpuproc {
namespace {

std::u16string Widen(std::string_view ascii) { return std::u16string(ascii.begin(), ascii.end()); }

// A supplementing source's view of a (process, device) that an earlier
// source reports too. Device memory is counted once, the larger of the
// two (both count the same VRAM allocations, each only those it sees), and
// the difference moves Local and Total Committed with it; its engines join.
void Supplement(ProcessGpuUsage& usage, const ProcessGpuUsage& more) {
  if (more.dedicatedUsage) {
    const std::uint64_t before = usage.dedicatedUsage.value_or(0);
    const std::uint64_t after = std::max(before, *more.dedicatedUsage);
    const std::uint64_t added = after - before;
    usage.dedicatedUsage = after;
    usage.localUsage = usage.localUsage ? SaturatingAdd(*usage.localUsage, added) : more.localUsage;
    usage.totalCommitted =
        usage.totalCommitted ? SaturatingAdd(*usage.totalCommitted, added) : more.totalCommitted;
  }
  if (!usage.sharedUsage) usage.sharedUsage = more.sharedUsage;
  usage.engines.insert(usage.engines.end(), more.engines.begin(), more.engines.end());
}

}  // namespace

CounterValues MergeSnapshots(const std::vector<GpuSnapshot>& snapshots) {
  struct Entry {
    std::uint32_t processId;
    std::string name;
    const ProcessGpuUsage* usage;
    std::optional<ProcessGpuUsage> supplemented;  // set where a later source added to it
  };
  std::vector<Entry> processes;
  std::vector<std::pair<std::string, const AdapterUsage*>> adapters;
  std::set<GpuDevice> claimed;
  std::map<std::pair<std::uint32_t, GpuDevice>, std::size_t> seenProcesses;
  std::set<GpuDevice> seenAdapters;
  CounterValues values;

  for (const GpuSnapshot& snapshot : snapshots) {
    values.notices.insert(values.notices.end(), snapshot.notices.begin(), snapshot.notices.end());
    if (snapshot.supplementsEarlierSources) {
      for (const ProcessGpuUsage& usage : snapshot.processes) {
        const auto known = seenProcesses.find({usage.processId, usage.device});
        if (known == seenProcesses.end()) {
          seenProcesses.emplace(std::pair(usage.processId, usage.device), processes.size());
          processes.push_back({usage.processId, ProcessInstanceName(usage.processId, usage.device),
                               &usage, std::nullopt});
          continue;
        }
        Entry& entry = processes[known->second];
        if (!entry.supplemented) entry.supplemented = *entry.usage;
        Supplement(*entry.supplemented, usage);
      }
      continue;
    }
    std::set<GpuDevice> reported;
    for (const ProcessGpuUsage& usage : snapshot.processes) {
      reported.insert(usage.device);
      if (claimed.count(usage.device) != 0) continue;
      if (!seenProcesses.emplace(std::pair(usage.processId, usage.device), processes.size()).second)
        continue;
      processes.push_back({usage.processId, ProcessInstanceName(usage.processId, usage.device),
                           &usage, std::nullopt});
    }
    for (const AdapterUsage& adapter : snapshot.adapters) {
      reported.insert(adapter.device);
      if (claimed.count(adapter.device) != 0 || !seenAdapters.insert(adapter.device).second)
        continue;
      adapters.emplace_back(DeviceInstanceName(adapter.device), &adapter);
    }
    claimed.insert(reported.begin(), reported.end());
  }

  std::sort(processes.begin(), processes.end(), [](const Entry& a, const Entry& b) {
    return std::tie(a.processId, a.name) < std::tie(b.processId, b.name);
  });
  std::sort(adapters.begin(), adapters.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });

  for (const Entry& entry : processes) {
    const ProcessGpuUsage& usage = entry.supplemented ? *entry.supplemented : *entry.usage;
    values.processes.push_back({Widen(entry.name), usage.localUsage, usage.sharedUsage,
                                usage.dedicatedUsage, usage.totalCommitted, usage.processId,
                                usage.readAtNs});
    for (std::size_t k = 0; k < usage.engines.size(); ++k) {
      const EngineClassUsage& engine = usage.engines[k];
      values.engines.push_back({Widen(EngineInstanceName(entry.name, k, engine.type)),
                                engine.utilizationPercent, engine.busyNs, engine.current});
    }
  }
  for (const auto& [name, adapter] : adapters) {
    values.adapters.push_back({Widen(name), adapter->totalCommitted, adapter->free, adapter->name,
                               adapter->sysfsDevice, adapter->address, adapter->kind,
                               adapter->readHealth});
  }
  for (const GpuSnapshot& snapshot : snapshots) {
    values.unreadableProcesses = std::max(values.unreadableProcesses, snapshot.unreadableProcesses);
  }
  return values;
}

}  // namespace gpuproc
