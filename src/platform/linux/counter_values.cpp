#include "platform/linux/counter_values.h"

#include <algorithm>
#include <set>
#include <string_view>
#include <tuple>
#include <utility>

#include "platform/linux/counter_path.h"

namespace gpuproc {
namespace {

std::u16string Widen(std::string_view ascii) { return std::u16string(ascii.begin(), ascii.end()); }

}  // namespace

CounterValues MergeSnapshots(const std::vector<GpuSnapshot>& snapshots) {
  struct Entry {
    std::uint32_t processId;
    std::string name;
    const ProcessGpuUsage* usage;
  };
  std::vector<Entry> processes;
  std::vector<std::pair<std::string, const AdapterUsage*>> adapters;
  std::set<GpuDevice> claimed;
  std::set<std::pair<std::uint32_t, GpuDevice>> seenProcesses;
  std::set<GpuDevice> seenAdapters;

  for (const GpuSnapshot& snapshot : snapshots) {
    std::set<GpuDevice> reported;
    for (const ProcessGpuUsage& usage : snapshot.processes) {
      reported.insert(usage.device);
      if (claimed.count(usage.device) != 0) continue;
      if (!seenProcesses.emplace(usage.processId, usage.device).second) continue;
      processes.push_back(
          {usage.processId, ProcessInstanceName(usage.processId, usage.device), &usage});
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

  CounterValues values;
  for (const Entry& entry : processes) {
    const ProcessGpuUsage& usage = *entry.usage;
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
                               adapter->sysfsDevice, adapter->address});
  }
  return values;
}

}  // namespace gpuproc
