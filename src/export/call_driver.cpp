#include "export/call_driver.h"

#include <array>

#include "counters/adapter_memory.h"
#include "counters/counter_query.h"
#include "counters/instance_discovery.h"
#include "process/process_name.h"
#include "report/usage_report.h"

namespace gpuproc {
namespace {

// The adapters' descriptions, asked of the system once per call and only
// where free memory has to be computed from them.
class AdapterDescriptions {
 public:
  AdapterDescriptions(Platform& platform, const CounterQuery& query)
      : platform_(platform), query_(query) {}
  const std::vector<AdapterDescription>& Get() {
    if (!described_) adapters_ = platform_.DescribeAdapters(query_.handle);
    described_ = true;
    return adapters_;
  }

 private:
  Platform& platform_;
  const CounterQuery& query_;
  bool described_ = false;
  std::vector<AdapterDescription> adapters_;
};

GPUCounterReadings SampleInstance(Platform& platform, const CounterQuery& query,
                                  std::u16string_view instanceName,
                                  const AdapterCounterPair& adapter,
                                  AdapterDescriptions& descriptions) {
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
  // Every GPU's pair, of which this record takes its own GPU's figures.
  const AdapterReadings adapters = AdapterReadings::Read(platform, adapter);
  const std::optional<ProcessInstanceParts> parts = SplitProcessInstance(instanceName);
  const std::u16string_view gpu = AdapterOf(parts ? parts->adapter : instanceName);
  const std::vector<AdapterDescription> none;
  readings.AdapterTotalCommitted = adapters.TotalCommitted(gpu);
  readings.AdapterFree =
      adapters.Free(gpu, adapters.NeedsDescriptions() ? descriptions.Get() : none);

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
    // with every instance, so each record carries its own GPU's figures as
    // they stood at that instance's window.
    AdapterCounterPair adapter;
    AddAdapterCounterPair(platform, query, adapter);
    AdapterDescriptions descriptions(platform, query);

    for (const std::u16string& instanceName : instances) {
      if (!MatchesPidPattern(instanceName, pidPattern)) continue;
      const GPUCounterReadings readings =
          SampleInstance(platform, query, instanceName, adapter, descriptions);
      AppendGPUUsageRecord(report, BuildGPUUsageRecord(processId, processName, readings));
    }
  }

  printedText = FormatReportIndented(report);
  reportText = FormatReportCompact(report);
  return reportText.c_str();
}

}  // namespace gpuproc
