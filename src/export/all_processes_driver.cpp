#include "export/all_processes_driver.h"

#include <algorithm>
#include <array>
#include <map>
#include <tuple>

#include "counters/adapter_memory.h"
#include "counters/counter_query.h"
#include "counters/instance_discovery.h"
#include "process/process_name.h"
#include "report/usage_report.h"

namespace gpuproc {
namespace {

// The process counters: the adapter pair after them is added and read as a
// pair, with its fallback where the system has no "Free".
constexpr std::size_t kAllProcessCounters = kAllAdapterTotalCommitted;
static_assert(kAllProcessesCounterPaths[kAllAdapterTotalCommitted] == kAdapterTotalCommittedPath);
static_assert(kAllProcessesCounterPaths[kAllAdapterFree] == kAdapterFreePath);
using AllReadings = std::array<std::vector<InstanceReading>, kAllProcessCounters>;

// Everything read for one (process, GPU) instance.
struct InstanceGroup {
  GPUCounterReadings readings;
  std::map<std::u16string, double> engines;  // type -> busiest engine, -1 when none read
};

// Keyed by process id, then instance name: the report's order.
using InstanceGroups = std::map<std::tuple<std::uint32_t, std::u16string>, InstanceGroup>;

InstanceGroup* GroupOf(InstanceGroups& groups, std::u16string_view processInstance) {
  const std::optional<ProcessInstanceParts> parts = SplitProcessInstance(processInstance);
  // Without a process id there is no record to put it in.
  if (!parts) return nullptr;
  return &groups[{parts->processId, std::u16string(processInstance)}];
}

InstanceGroups GroupReadings(const AllReadings& all, const AdapterReadings& adapters,
                             const std::vector<AdapterDescription>& descriptions) {
  InstanceGroups groups;
  constexpr std::pair<AllProcessesCounter, double GPUCounterReadings::*> kMemory[] = {
      {kAllLocalUsage, &GPUCounterReadings::LocalUsage},
      {kAllSharedUsage, &GPUCounterReadings::SharedUsage},
      {kAllDedicatedUsage, &GPUCounterReadings::DedicatedUsage},
      {kAllTotalCommitted, &GPUCounterReadings::TotalCommitted},
  };
  for (const auto& [counter, member] : kMemory) {
    for (const InstanceReading& reading : all[counter]) {
      if (InstanceGroup* group = GroupOf(groups, reading.instance)) {
        group->readings.*member = reading.value;
      }
    }
  }
  for (const InstanceReading& reading : all[kAllUtilization]) {
    const std::optional<EngineInstanceParts> engine = SplitEngineInstance(reading.instance);
    if (!engine) continue;
    InstanceGroup* group = GroupOf(groups, engine->processInstance);
    if (group == nullptr) continue;
    // A failed engine reads -1 and every readable one reads 0 or more, so the
    // busiest engine of a type is -1 only when none of them could be read.
    const auto [slot, added] = group->engines.try_emplace(std::u16string(engine->type), -1.0);
    slot->second = std::max(slot->second, reading.value);
  }
  for (auto& [key, group] : groups) {
    const std::u16string_view gpu = AdapterOf(SplitProcessInstance(std::get<1>(key))->adapter);
    group.readings.AdapterTotalCommitted = adapters.TotalCommitted(gpu);
    group.readings.AdapterFree = adapters.Free(gpu, descriptions);
    const auto threeD = group.engines.find(u"3D");
    group.readings.UtilizationPercentage = threeD != group.engines.end() ? threeD->second : -1.0;
  }
  return groups;
}

}  // namespace

const char* CollectAllGPUData(Platform& platform, std::string& reportText) {
  CounterQuery query;
  if (!OpenCounterQuery(platform, query)) return kEmptyResultText;

  GPUUsageReport report = GPUUsageReport::array();
  {
    QueryCloser closer(platform, query);
    // One window for every instance: all counters in one query, sampled
    // together, however many processes use a GPU.
    std::array<CounterHandle, kAllProcessCounters> counters{};
    for (std::size_t counter = 0; counter < kAllProcessCounters; ++counter) {
      AddCounter(platform, query, kAllProcessesCounterPaths[counter], counters[counter]);
    }
    AdapterCounterPair adapterPair;
    AddAdapterCounterPair(platform, query, adapterPair);
    CollectTwoSamples(platform, query);
    AllReadings all;
    for (std::size_t counter = 0; counter < kAllProcessCounters; ++counter) {
      all[counter] = ReadCounterArray(platform, counters[counter]);
    }
    const AdapterReadings adapters = AdapterReadings::Read(platform, adapterPair);

    // Names for the records' GPUs, asked of the system only when there are
    // records to name.
    const bool anyProcess =
        std::any_of(all.begin(), all.end(), [](const auto& readings) { return !readings.empty(); });
    const std::vector<AdapterDescription> descriptions =
        anyProcess ? platform.DescribeAdapters(query.handle) : std::vector<AdapterDescription>();

    std::optional<std::uint32_t> namedProcess;
    std::string processName;
    for (const auto& [key, group] : GroupReadings(all, adapters, descriptions)) {
      const auto& [processId, instance] = key;
      // One name lookup per process, however many GPUs it uses.
      if (namedProcess != processId) {
        processName = WideToUtf8(platform, GetProcessName(platform, processId));
        namedProcess = processId;
      }
      EngineReadings engines;
      for (const auto& [type, percent] : group.engines) {
        engines.emplace(WideToUtf8(platform, type), percent);
      }
      const std::u16string_view adapter = SplitProcessInstance(instance)->adapter;
      const AdapterDescription* description =
          FindAdapterDescription(AdapterOf(adapter), descriptions);
      AppendGPUUsageRecord(
          report, BuildAllProcessesRecord(processId, processName, WideToUtf8(platform, adapter),
                                          description ? description->name : std::string(),
                                          group.readings, engines));
    }
  }

  reportText = FormatReportCompact(report);
  return reportText.c_str();
}

}  // namespace gpuproc
