// The library's snapshot text read as it streams past, one process or
// adapter entry at a time, without a document tree: at thousands of
// processes a tree of the whole snapshot costs more than the entries it
// holds.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace gpuproc {

// The four memory figures of a process entry, in MiB, in this order.
inline constexpr std::array<const char*, 4> kSnapshotMemoryKeys = {
    "GPUProcessMemoryDedicatedUsage", "GPUProcessMemorySharedUsage", "GPUProcessMemoryLocalUsage",
    "GPUProcessMemoryTotalCommitted"};
inline constexpr std::size_t kMemoryKinds = kSnapshotMemoryKeys.size();

// A value the snapshot could not read (null, or the old -1) is nullopt,
// never 0.
using Reading = std::optional<double>;

struct SnapshotProcess {
  std::uint32_t processId = 0;
  std::string name;
  std::string adapter;
  std::array<Reading, kMemoryKinds> memoryMiB;
  // Readable busy seconds by engine type, ordered by type.
  std::vector<std::pair<std::string, double>> engineBusySeconds;
};

struct SnapshotAdapter {
  std::string adapter;
  std::string adapterName;
  std::string pciAddress;
  Reading committedMiB;
  Reading freeMiB;
};

// Hands each entry to its callback as soon as it is complete. False when
// the text is not JSON or not the snapshot's shape (no "Processes" or
// "Adapters" array, an entry without its identity or without one of its
// figures): the entries handed out so far are then not to be used.
// `unreadableProcesses`, where given, gets the top-level
// "UnreadableProcesses" (left alone where the text has none).
bool ParseSnapshot(std::string_view text, const std::function<void(SnapshotProcess&)>& onProcess,
                   const std::function<void(SnapshotAdapter&)>& onAdapter,
                   std::uint64_t* unreadableProcesses = nullptr);

}  // namespace gpuproc
