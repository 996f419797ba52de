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

Json TextOrNull(const std::string& text) { return text.empty() ? Json(nullptr) : Json(text); }

// Name to value; null where nothing was read, as for the other members.
Json MapOrNull(const std::map<std::string, double>& values) {
  if (values.empty()) return nullptr;
  Json object = Json::object();
  for (const auto& [name, value] : values) object[name] = value;
  return object;
}

}  // namespace

std::string FormatSnapshot(const SnapshotDocument& document) {
  Json adapters = Json::array();
  for (const SnapshotAdapter& adapter : document.adapters) {
    adapters.push_back(Json{
        {"Adapter", adapter.adapter},
        {"AdapterName", adapter.name},
        {"Kind", adapter.kind},
        {"PciAddress", adapter.pciAddress},
        {"GPUMemoryTotal", MiBOrNull(adapter.totalCommittedBytes)},
        {"GPUMemoryFree", MiBOrNull(adapter.freeBytes)},
        {"PowerWatts", OrNull(adapter.powerWatts)},
        {"PowerLimitWatts", OrNull(adapter.powerLimitWatts)},
        {"PowerScope", TextOrNull(adapter.powerScope)},
        {"EnergyJoules", OrNull(adapter.energyJoules)},
        {"EnergySource", TextOrNull(adapter.energySource)},
        {"IdleEnergyJoulesEstimate", OrNull(adapter.idleEnergyJoulesEstimate)},
        {"Temperatures", MapOrNull(adapter.temperatures)},
        {"SlowdownTemperatures", MapOrNull(adapter.slowdownTemperatures)},
        {"Clocks", MapOrNull(adapter.clocks)},
        {"FanRPM", OrNull(adapter.fanRpm)},
        {"BusyPercent", OrNull(adapter.busyPercent)},
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
        {"EnergyJoulesEstimate", OrNull(process.energyJoulesEstimate)},
        {"Time", process.time},
    });
  }
  const Json root{
      {"Time", document.time},
      {"Adapters", std::move(adapters)},
      {"Processes", std::move(processes)},
      {"UnreadableProcesses", static_cast<std::uint64_t>(document.unreadableProcesses)},
      {"LostSources", document.lostSources},
  };
  return root.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace gpuproc
