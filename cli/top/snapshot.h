// One reading of GetGPUSnapshotForAllProcesses as plain values: the document
// is parsed once, off the drawing path, and nothing after it sees JSON.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace gpuproc::tool {

struct SnapshotAdapter {
  std::string adapter;  // instance name, the key the processes refer to
  std::string name;
  std::string pciAddress;           // "" where there is none
  std::optional<double> committed;  // MiB; absent where it could not be read
  std::optional<double> free;
};

struct SnapshotProcess {
  std::uint32_t processId = 0;
  std::string name;
  std::string adapter;
  std::optional<double> dedicated, shared, local, committed;  // MiB
  std::map<std::string, double> engineBusySeconds;            // by engine type; cumulative
};

struct Snapshot {
  double time = 0;  // seconds on a monotonic clock
  std::vector<SnapshotAdapter> adapters;
  std::vector<SnapshotProcess> processes;
};

// The snapshot document, or nullopt with `error` set when it is not one.
// Members of the wrong type count as unread rather than failing the whole
// reading.
std::optional<Snapshot> ParseSnapshot(std::string_view document, std::string& error);

}  // namespace gpuproc::tool
