#include "snapshot.h"

#include <nlohmann/json.hpp>

#include "process_table.h"

namespace gpuproc::tool {
namespace {

std::optional<double> Number(const nlohmann::json& object, const char* key) {
  const auto found = object.find(key);
  if (found == object.end() || !found->is_number()) return std::nullopt;
  return found->get<double>();
}

std::string Text(const nlohmann::json& object, const char* key) {
  const auto found = object.find(key);
  return found != object.end() && found->is_string() ? found->get<std::string>() : std::string();
}

}  // namespace

std::optional<Snapshot> ParseSnapshot(std::string_view document, std::string& error) {
  const nlohmann::json root = nlohmann::json::parse(document, nullptr, false);
  if (!root.is_object() || !Number(root, "Time")) {
    error = "the library's snapshot is not a JSON object with a Time";
    return std::nullopt;
  }
  Snapshot snapshot;
  snapshot.time = *Number(root, "Time");
  if (const auto adapters = root.find("Adapters"); adapters != root.end() && adapters->is_array()) {
    for (const nlohmann::json& entry : *adapters) {
      if (!entry.is_object()) continue;
      std::string adapter = Text(entry, "Adapter");
      std::string pciAddress = Text(entry, "PciAddress");
      // The Linux back end's adapter names carry the address where a
      // library leaves the member empty.
      if (pciAddress.empty()) pciAddress = AdapterPciAddress(adapter);
      snapshot.adapters.push_back({std::move(adapter), Text(entry, "AdapterName"),
                                   std::move(pciAddress), Number(entry, "GPUMemoryTotal"),
                                   Number(entry, "GPUMemoryFree")});
    }
  }
  const auto processes = root.find("Processes");
  if (processes == root.end() || !processes->is_array()) return snapshot;
  snapshot.processes.reserve(processes->size());
  for (const nlohmann::json& entry : *processes) {
    if (!entry.is_object()) continue;
    const auto id = entry.find("ProcessID");
    if (id == entry.end() || !id->is_number_unsigned() || id->get<std::uint64_t>() > UINT32_MAX) {
      continue;
    }
    SnapshotProcess process;
    process.processId = id->get<std::uint32_t>();
    process.name = Text(entry, "Name");
    process.adapter = Text(entry, "Adapter");
    process.dedicated = Number(entry, "GPUProcessMemoryDedicatedUsage");
    process.shared = Number(entry, "GPUProcessMemorySharedUsage");
    process.local = Number(entry, "GPUProcessMemoryLocalUsage");
    process.committed = Number(entry, "GPUProcessMemoryTotalCommitted");
    if (const auto busy = entry.find("EngineBusySeconds");
        busy != entry.end() && busy->is_object()) {
      for (const auto& [type, seconds] : busy->items()) {
        if (seconds.is_number()) process.engineBusySeconds.emplace(type, seconds.get<double>());
      }
    }
    snapshot.processes.push_back(std::move(process));
  }
  return snapshot;
}

}  // namespace gpuproc::tool
