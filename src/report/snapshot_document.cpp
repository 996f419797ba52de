#include "report/snapshot_document.h"

#include <nlohmann/json.hpp>

namespace gpuproc {
namespace {

using Json = nlohmann::ordered_json;

Json MiBOrNull(const std::optional<double>& bytes) {
  if (!bytes) return nullptr;
  constexpr double kPerKiB = 0.0009765625;
  return *bytes * kPerKiB * kPerKiB;
}

Json OrNull(const std::optional<double>& value) { return value ? Json(*value) : Json(nullptr); }

}  // namespace

std::string FormatSnapshot(const SnapshotDocument& document) {
  Json adapters = Json::array();
  for (const SnapshotAdapter& adapter : document.adapters) {
    adapters.push_back(Json{
        {"Adapter", adapter.adapter},
        {"AdapterName", adapter.name},
        {"PciAddress", adapter.pciAddress},
        {"GPUMemoryTotal", MiBOrNull(adapter.totalCommittedBytes)},
        {"GPUMemoryFree", MiBOrNull(adapter.freeBytes)},
    });
  }
  Json processes = Json::array();
  for (const SnapshotProcess& process : document.processes) {
    Json engines = nullptr;
    if (process.engineBusySeconds) {
      engines = Json::object();
      for (const auto& [type, seconds] : *process.engineBusySeconds)
        engines[type] = OrNull(seconds);
    }
    processes.push_back(Json{
        {"ProcessID", static_cast<std::uint64_t>(process.processId)},
        {"Name", process.name},
        {"Adapter", process.adapter},
        {"GPUProcessMemoryDedicatedUsage", MiBOrNull(process.dedicatedUsage)},
        {"GPUProcessMemorySharedUsage", MiBOrNull(process.sharedUsage)},
        {"GPUProcessMemoryLocalUsage", MiBOrNull(process.localUsage)},
        {"GPUProcessMemoryTotalCommitted", MiBOrNull(process.totalCommitted)},
        {"EngineBusySeconds", std::move(engines)},
        {"Time", process.time},
    });
  }
  const Json root{
      {"Time", document.time},
      {"Adapters", std::move(adapters)},
      {"Processes", std::move(processes)},
      {"LostSources", document.lostSources},
  };
  return root.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace gpuproc
