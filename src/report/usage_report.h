// The report document: one record per GPU counter instance of the process,
// and its two text forms.
#pragma once

#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <string>

namespace gpuproc {

// The seven raw readings of one matching instance, each in the counter's own
// unit (bytes, or percent for utilisation); -1 marks a failed read.
struct GPUCounterReadings {
  double LocalUsage = -1;
  double UtilizationPercentage = -1;
  double SharedUsage = -1;
  double DedicatedUsage = -1;
  double TotalCommitted = -1;
  double AdapterTotalCommitted = -1;
  double AdapterFree = -1;
};

using GPUUsageRecord = nlohmann::json;
// Null until the first record is appended, then an array of records.
using GPUUsageReport = nlohmann::json;

GPUUsageReport CreateGPUUsageReport();
GPUUsageRecord BuildGPUUsageRecord(std::uint32_t processId, const std::string& processName,
                                   const GPUCounterReadings& readings);
// Engine type ("3D", "Compute", ...) to its busiest engine in percent, -1
// where no engine of that type could be read.
using EngineReadings = std::map<std::string, double>;

// The record of one (process, GPU) instance in a whole-machine report: the
// per-process record plus the adapter's instance name, the GPU's name (UTF-8,
// empty when unknown) and every engine type.
GPUUsageRecord BuildAllProcessesRecord(std::uint32_t processId, const std::string& processName,
                                       const std::string& adapter, const std::string& adapterName,
                                       const GPUCounterReadings& readings,
                                       const EngineReadings& engines);
void AppendGPUUsageRecord(GPUUsageReport& report, GPUUsageRecord record);
std::string FormatReportIndented(const GPUUsageReport& report);
std::string FormatReportCompact(const GPUUsageReport& report);

}  // namespace gpuproc
