#include "export/call_driver.h"

#include <array>

#include "counters/counter_query.h"
#include "counters/instance_discovery.h"
#include "process/process_name.h"
#include "report/usage_report.h"

namespace gpuproc {
namespace {

struct AdapterCounterPair {
  CounterHandle totalCommitted = nullptr;
  CounterHandle free = nullptr;
};

GPUCounterReadings SampleInstance(Platform& platform, const CounterQuery& query,
                                  std::u16string_view instanceName,
                                  const AdapterCounterPair& adapter) {
  const ProcessCounterPaths paths = MakeProcessCounterPaths(instanceName);
  std::array<CounterHandle, kProcessCounterCount> counters{};
  for (std::size_t member = 0; member < kProcessCounterCount; ++member) {
    AddCounter(platform, query, paths[member], counters[member]);
  }
  CollectTwoSamples(platform, query);

  GPUCounterReadings readings;
  readings.LocalUsage = ReadCounterValue(platform, counters[kLocalUsageMember]);
  readings.UtilizationPercentage = ReadCounterValue(platform, counters[kUtilizationMember]);
  readings.SharedUsage = ReadCounterValue(platform, counters[kSharedUsageMember]);
  readings.DedicatedUsage = ReadCounterValue(platform, counters[kDedicatedUsageMember]);
  readings.TotalCommitted = ReadCounterValue(platform, counters[kTotalCommittedMember]);
  readings.AdapterTotalCommitted = ReadCounterValue(platform, adapter.totalCommitted);
  readings.AdapterFree = ReadCounterValue(platform, adapter.free);

  for (CounterHandle& counter : counters) RemoveCounter(platform, counter);
  return readings;
}

}  // namespace

const char* CollectGPUData(Platform& platform, std::uint32_t processId, std::string& reportText,
                           std::string& printedText) {
  CounterQuery query;
  if (!OpenCounterQuery(platform, query)) return kEmptyResultText;

  GPUUsageReport report = CreateGPUUsageReport();
  {
    QueryCloser closer(platform, query);
    const std::string processName = WideToUtf8(platform, GetProcessName(platform, processId));
    const std::u16string pidPattern = MakePidPattern(processId);
    const InstanceList instances =
        ListProcessInstances(platform, kGPUProcessMemoryObject, processId);

    // The adapter pair stays in the query for the whole call and is sampled
    // with every instance, so each record carries that instance's adapter view.
    AdapterCounterPair adapter;
    AddCounter(platform, query, kAdapterTotalCommittedPath, adapter.totalCommitted);
    AddCounter(platform, query, kAdapterFreePath, adapter.free);

    for (const std::u16string& instanceName : instances) {
      if (!MatchesPidPattern(instanceName, pidPattern)) continue;
      const GPUCounterReadings readings = SampleInstance(platform, query, instanceName, adapter);
      AppendGPUUsageRecord(report, BuildGPUUsageRecord(processId, processName, readings));
    }
  }

  printedText = FormatReportIndented(report);
  reportText = FormatReportCompact(report);
  return reportText.c_str();
}

}  // namespace gpuproc
