// The library's snapshot document (GetGPUSnapshotForAllProcesses) read into
// plain values under one set of rules, whichever program reads it:
//
// - The shape is required: a JSON object with a numeric "Time", one
//   "Processes" array and one "Adapters" array, each entry an object that
//   names its identity (a process: "ProcessID", a whole number that fits 32
//   bits, and "Adapter", a string; an adapter: "Adapter"). Anything else is
//   a malformed document, read as nothing at all: a program shows its error
//   rather than part of a reading.
// - A figure (memory, busy seconds) is a non-negative number, else unknown:
//   null (the library could not read it), missing, negative (the -1 of the
//   other calls) or of another type. Unknown is never 0.
// - "EngineBusySeconds" that is not an object (null where the counter could
//   not be read) leaves the process's busy time unknown as a whole; the
//   process and its memory are still read.
// - Texts ("Name", "AdapterName", "PciAddress", "Kind", "PowerScope",
//   "EnergySource") are strings, else "".
// - An adapter's named readings ("Temperatures", "SlowdownTemperatures",
//   "Clocks") are objects of figures; anything else reads as none. A name
//   given twice counts once, with its last value.
// - A process's own "Time" (when its counters were read, on the document's
//   clock) stands where it is a number; else the document's "Time".
// - "UnreadableProcesses" counts where it is a whole number; else unknown.
// - A member named twice counts once, with its last value; members not
//   named here are ignored.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace gpuproc {

// The four memory figures of a process entry, in MiB, in this order.
inline constexpr std::array<const char*, 4> kSnapshotMemoryKeys = {
    "GPUProcessMemoryDedicatedUsage", "GPUProcessMemorySharedUsage", "GPUProcessMemoryLocalUsage",
    "GPUProcessMemoryTotalCommitted"};
inline constexpr std::size_t kMemoryKinds = kSnapshotMemoryKeys.size();
enum MemoryKind : std::size_t { kDedicatedMemory, kSharedMemory, kLocalMemory, kCommittedMemory };

// A figure the snapshot gives; nullopt where it is unknown.
using Figure = std::optional<double>;

struct EngineBusy {
  std::string type;
  Figure seconds;  // cumulative; unknown where one of the type's engines could not be read
  bool operator==(const EngineBusy&) const = default;
};

// One of an adapter's named readings (a temperature sensor, a clock).
struct NamedFigure {
  std::string name;
  Figure value;
  bool operator==(const NamedFigure&) const = default;
};

struct SnapshotProcess {
  std::uint32_t processId = 0;
  std::string name;
  std::string adapter;
  std::array<Figure, kMemoryKinds> memoryMiB;
  // By engine type, ascending, each type once; nullopt where the process's
  // busy time could not be read at all.
  std::optional<std::vector<EngineBusy>> engineBusySeconds;
  // When the process's counters were read (its own "Time", else the
  // document's). NaN while streamed from a document whose "Time" comes after
  // its processes, which the library never writes; ReadSnapshotDocument
  // fills it in.
  double time = 0;
  // The process's share of its adapter's energy since it was first seen, in
  // joules; an estimate.
  Figure energyJoulesEstimate;
};

struct SnapshotAdapter {
  std::string adapter;  // the instance name the processes refer to
  std::string adapterName;
  std::string pciAddress;  // "" where there is none
  std::string kind;        // "GPU", "NPU", ...; "" where the library does not say
  Figure committedMiB;
  Figure freeMiB;
  // Device health; each unknown where the library could not read it.
  Figure powerWatts;
  Figure powerLimitWatts;
  std::string powerScope;    // "device", "package"; "" where unknown
  Figure energyJoules;       // cumulative
  std::string energySource;  // "counter", "integrated"; "" where unknown
  Figure idleEnergyJoulesEstimate;
  // By name, ascending, each name once; empty where unknown.
  std::vector<NamedFigure> temperaturesCelsius;
  std::vector<NamedFigure> slowdownTemperaturesCelsius;
  std::vector<NamedFigure> clocksHertz;
  Figure fanRpm;
  Figure busyPercent;  // 0-100
};

// The document's own members.
struct SnapshotHeader {
  double time = 0;  // seconds on the library's monotonic clock
  // Processes whose open files the reading was refused; nullopt where the
  // library does not say.
  std::optional<std::uint64_t> unreadableProcesses;
};

// Streams `text`, handing each entry to its callback as soon as it is
// complete, without a tree of the document: at thousands of processes a
// tree costs more than the entries it holds. nullopt for a malformed
// document; the entries handed out so far are then not to be used.
std::optional<SnapshotHeader> ReadSnapshot(std::string_view text,
                                           const std::function<void(SnapshotProcess&)>& onProcess,
                                           const std::function<void(SnapshotAdapter&)>& onAdapter);

struct SnapshotDocument : SnapshotHeader {
  std::vector<SnapshotAdapter> adapters;
  std::vector<SnapshotProcess> processes;
};

// The whole document; nullopt when it is malformed.
std::optional<SnapshotDocument> ReadSnapshotDocument(std::string_view text);

// What a program says of a document ReadSnapshot refuses.
inline constexpr const char* kMalformedSnapshot =
    "the library's snapshot is not a document of the expected shape";

}  // namespace gpuproc
