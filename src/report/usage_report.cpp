#include "report/usage_report.h"

namespace gpuproc {
namespace {

// Bytes to MiB as two exact scalings by 2^-10: the same double as one
// division by 1048576, and -1 (a failed read) stays recognisable as -2^-20.
double BytesToMiB(double bytes) {
  constexpr double kPerKiB = 0.0009765625;
  return bytes * kPerKiB * kPerKiB;
}

std::string Format(const GPUUsageReport& report, int indent) {
  return report.dump(indent, ' ', false, nlohmann::json::error_handler_t::strict);
}

}  // namespace

GPUUsageReport CreateGPUUsageReport() { return nullptr; }

GPUUsageRecord BuildGPUUsageRecord(std::uint32_t processId, const std::string& processName,
                                   const GPUCounterReadings& readings) {
  // Explicit kinds: every reading is a float even when it is integral, and the
  // id stays unsigned so 4294967295 never turns negative.
  return GPUUsageRecord{
      {"GPUMemoryFree", BytesToMiB(readings.AdapterFree)},
      {"GPUMemoryTotal", BytesToMiB(readings.AdapterTotalCommitted)},
      {"GPUProcessMemoryDedicatedUsage", BytesToMiB(readings.DedicatedUsage)},
      {"GPUProcessMemoryLocalUsage", BytesToMiB(readings.LocalUsage)},
      {"GPUProcessMemorySharedUsage", BytesToMiB(readings.SharedUsage)},
      {"GPUProcessMemoryTotalCommitted", BytesToMiB(readings.TotalCommitted)},
      {"GPUUtilizationPercent", readings.UtilizationPercentage},
      {"Name", processName},
      {"ProcessID", static_cast<std::uint64_t>(processId)},
  };
}

GPUUsageRecord BuildAllProcessesRecord(std::uint32_t processId, const std::string& processName,
                                       const std::string& adapter, const std::string& adapterName,
                                       const GPUCounterReadings& readings,
                                       const EngineReadings& engines) {
  GPUUsageRecord record = BuildGPUUsageRecord(processId, processName, readings);
  record["Adapter"] = adapter;
  record["AdapterName"] = adapterName;
  // An object even when empty: readers index it by type.
  record["Engines"] = nlohmann::json::object();
  for (const auto& [type, percent] : engines) record["Engines"][type] = percent;
  return record;
}

void AppendGPUUsageRecord(GPUUsageReport& report, GPUUsageRecord record) {
  report.push_back(std::move(record));
}

std::string FormatReportIndented(const GPUUsageReport& report) { return Format(report, 4); }

std::string FormatReportCompact(const GPUUsageReport& report) { return Format(report, -1); }

}  // namespace gpuproc
