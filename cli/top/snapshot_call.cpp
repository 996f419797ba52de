// The snapshot built from GetGPUDataForAllProcesses: its 100 ms utilisation
// integrated into busy seconds per (process, GPU, engine type).
#include "snapshot_call.h"

#include <chrono>
#include <map>
#include <nlohmann/json.hpp>
#include <tuple>

#include "gpuproc/gpuproc.h"
#include "process_table.h"

namespace gpuproc::tool {

std::string TakeSnapshotDocument() {
  using Key = std::tuple<std::uint64_t, std::string, std::string>;
  static std::map<Key, double> busy;
  static double last = 0;
  const std::string report = GetGPUDataForAllProcesses();
  if (report.empty()) return {};
  const nlohmann::json records = nlohmann::json::parse(report, nullptr, false);
  if (!records.is_array()) return {};
  const double now =
      std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
  const double elapsed = last > 0 ? now - last : 0;
  last = now;
  nlohmann::json snapshot = {
      {"Time", now}, {"Adapters", nlohmann::json::array()}, {"Processes", nlohmann::json::array()}};
  for (const GpuSummary& gpu : SummariseGpus(records)) {
    const auto memory = [](double value) {
      return value < 0 ? nlohmann::json() : nlohmann::json(value);
    };
    snapshot["Adapters"].push_back({{"Adapter", gpu.adapter},
                                    {"AdapterName", gpu.name},
                                    {"PciAddress", AdapterPciAddress(gpu.adapter)},
                                    {"GPUMemoryTotal", memory(gpu.committed)},
                                    {"GPUMemoryFree", memory(gpu.free)}});
  }
  std::map<Key, double> next;
  for (const nlohmann::json& record : records) {
    nlohmann::json entry = record;
    nlohmann::json engines = nlohmann::json::object();
    static const nlohmann::json kNone = nlohmann::json::object();
    const auto found = record.find("Engines");
    const nlohmann::json& percents = found != record.end() && found->is_object() ? *found : kNone;
    for (const auto& [type, percent] : percents.items()) {
      if (!percent.is_number()) continue;
      const Key key{record.value("ProcessID", std::uint64_t{0}), record.value("Adapter", ""), type};
      const double seconds = busy[key] + percent.get<double>() / 100 * elapsed;
      next[key] = seconds;
      engines[type] = seconds;
    }
    entry["EngineBusySeconds"] = engines;
    snapshot["Processes"].push_back(entry);
  }
  busy = std::move(next);
  return snapshot.dump();
}

}  // namespace gpuproc::tool
