#include "snapshot_rounds.h"

#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <utility>

namespace gpuproc::tool {
namespace {

// The all-processes records mark an unread memory figure as -1 byte, in MiB.
constexpr double kUnreadMiB = -1.0 / 1048576.0;
constexpr double kUnreadPercent = -1.0;

bool IsSnapshot(const nlohmann::json& document) {
  if (!document.is_object()) return false;
  const auto time = document.find("Time");
  const auto adapters = document.find("Adapters");
  const auto processes = document.find("Processes");
  return time != document.end() && time->is_number() && adapters != document.end() &&
         adapters->is_array() && processes != document.end() && processes->is_array();
}

nlohmann::json Mebibytes(const nlohmann::json& object, const char* key) {
  const auto found = object.find(key);
  return found != object.end() && found->is_number() ? *found : nlohmann::json(kUnreadMiB);
}

std::string Text(const nlohmann::json& object, const char* key) {
  const auto found = object.find(key);
  return found != object.end() && found->is_string() ? found->get<std::string>() : std::string();
}

std::uint64_t ProcessId(const nlohmann::json& process) {
  const auto found = process.find("ProcessID");
  return found != process.end() && found->is_number_unsigned() ? found->get<std::uint64_t>() : 0;
}

const nlohmann::json& Busy(const nlohmann::json& process) {
  static const nlohmann::json kNone = nlohmann::json::object();
  const auto found = process.find("EngineBusySeconds");
  return found != process.end() && found->is_object() ? *found : kNone;
}

}  // namespace

nlohmann::json RecordsBetween(const nlohmann::json& before, const nlohmann::json& after) {
  nlohmann::json records = nlohmann::json::array();
  if (!IsSnapshot(before) || !IsSnapshot(after)) return records;
  const double interval = after["Time"].get<double>() - before["Time"].get<double>();

  // (process id, adapter, engine type) -> busy seconds at `before`.
  std::map<std::tuple<std::uint64_t, std::string, std::string>, double> earlier;
  for (const nlohmann::json& process : before["Processes"]) {
    if (!process.is_object()) continue;
    for (const auto& [type, seconds] : Busy(process).items()) {
      if (seconds.is_number()) {
        earlier[{ProcessId(process), Text(process, "Adapter"), type}] = seconds.get<double>();
      }
    }
  }
  std::map<std::string, const nlohmann::json*> adapters;
  for (const nlohmann::json& adapter : after["Adapters"]) {
    if (adapter.is_object()) adapters[Text(adapter, "Adapter")] = &adapter;
  }

  for (const nlohmann::json& process : after["Processes"]) {
    if (!process.is_object()) continue;
    const std::uint64_t processId = ProcessId(process);
    const std::string adapterId = Text(process, "Adapter");
    nlohmann::json engines = nlohmann::json::object();
    for (const auto& [type, seconds] : Busy(process).items()) {
      const auto start = earlier.find({processId, adapterId, type});
      // A counter that went back belongs to a new process under a reused id.
      const bool known = seconds.is_number() && start != earlier.end() && interval > 0 &&
                         seconds.get<double>() >= start->second;
      engines[type] =
          known ? (seconds.get<double>() - start->second) / interval * 100.0 : kUnreadPercent;
    }
    const auto adapter = adapters.find(adapterId);
    const nlohmann::json& figures =
        adapter != adapters.end() ? *adapter->second : nlohmann::json::object();
    nlohmann::json record = {
        {"Adapter", adapterId},
        {"AdapterName", Text(figures, "AdapterName")},
        {"GPUMemoryFree", Mebibytes(figures, "GPUMemoryFree")},
        {"GPUMemoryTotal", Mebibytes(figures, "GPUMemoryTotal")},
        {"GPUProcessMemoryDedicatedUsage", Mebibytes(process, "GPUProcessMemoryDedicatedUsage")},
        {"GPUProcessMemoryLocalUsage", Mebibytes(process, "GPUProcessMemoryLocalUsage")},
        {"GPUProcessMemorySharedUsage", Mebibytes(process, "GPUProcessMemorySharedUsage")},
        {"GPUProcessMemoryTotalCommitted", Mebibytes(process, "GPUProcessMemoryTotalCommitted")},
        {"GPUUtilizationPercent", engines.value("3D", kUnreadPercent)},
        {"Name", Text(process, "Name")},
        {"ProcessID", processId},
    };
    record["Engines"] = std::move(engines);
    records.push_back(std::move(record));
  }
  return records;
}

}  // namespace gpuproc::tool
