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

double Mebibytes(const Figure& figure) { return figure.value_or(kUnreadMiB); }

struct BusyAt {
  double seconds;
  double time;  // when the process's counters were read
};

}  // namespace

nlohmann::json RecordsBetween(const SnapshotDocument& before, const SnapshotDocument& after) {
  // (process id, adapter, engine type) -> busy seconds at `before`.
  std::map<std::tuple<std::uint32_t, std::string, std::string>, BusyAt> earlier;
  for (const SnapshotProcess& process : before.processes) {
    if (!process.engineBusySeconds) continue;
    for (const auto& [type, seconds] : *process.engineBusySeconds) {
      if (seconds) earlier[{process.processId, process.adapter, type}] = {*seconds, process.time};
    }
  }
  std::map<std::string, const SnapshotAdapter*> adapters;
  for (const SnapshotAdapter& adapter : after.adapters) adapters[adapter.adapter] = &adapter;

  static const SnapshotAdapter kNoAdapter;
  static const std::vector<EngineBusy> kUnknown;
  nlohmann::json records = nlohmann::json::array();
  for (const SnapshotProcess& process : after.processes) {
    nlohmann::json engines = nlohmann::json::object();
    for (const auto& [type, seconds] :
         process.engineBusySeconds ? *process.engineBusySeconds : kUnknown) {
      const auto start = earlier.find({process.processId, process.adapter, type});
      const double interval = start != earlier.end() ? process.time - start->second.time : 0;
      // A counter that went back belongs to a new process under a reused id.
      const bool known = seconds && interval > 0 && *seconds >= start->second.seconds;
      engines[type] =
          known ? (*seconds - start->second.seconds) / interval * 100.0 : kUnreadPercent;
    }
    const auto adapter = adapters.find(process.adapter);
    const SnapshotAdapter& figures = adapter != adapters.end() ? *adapter->second : kNoAdapter;
    nlohmann::json record = {
        {"Adapter", process.adapter},
        {"AdapterName", figures.adapterName},
        {"GPUMemoryFree", Mebibytes(figures.freeMiB)},
        {"GPUMemoryTotal", Mebibytes(figures.committedMiB)},
        {"GPUProcessMemoryDedicatedUsage", Mebibytes(process.memoryMiB[kDedicatedMemory])},
        {"GPUProcessMemoryLocalUsage", Mebibytes(process.memoryMiB[kLocalMemory])},
        {"GPUProcessMemorySharedUsage", Mebibytes(process.memoryMiB[kSharedMemory])},
        {"GPUProcessMemoryTotalCommitted", Mebibytes(process.memoryMiB[kCommittedMemory])},
        {"GPUUtilizationPercent", engines.value("3D", kUnreadPercent)},
        {"Name", process.name},
        {"ProcessID", process.processId},
    };
    record["Engines"] = std::move(engines);
    records.push_back(std::move(record));
  }
  return records;
}

}  // namespace gpuproc::tool
