// The snapshot document: one reading of every process's GPU memory and
// cumulative engine time, with the monotonic time it was taken.
//
// Unlike the usage report it marks a value that could not be read as null,
// and keeps its members in the documented order.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace gpuproc {

// One GPU that a listed process uses. Memory in bytes.
struct SnapshotAdapter {
  std::string adapter;     // luid_0x<HI>_0x<LO>_phys_<N>
  std::string name;        // empty when the system gives none
  std::string pciAddress;  // empty when there is none
  std::optional<double> totalCommittedBytes;
  std::optional<double> freeBytes;
  std::string kind = "GPU";  // "GPU", or "NPU" for a compute accelerator
  std::optional<double> powerWatts = {};
  std::optional<double> powerLimitWatts = {};
  std::string powerScope = {};  // "device", "package" (CPU included), or empty
  // Cumulative joules: the device's own counter ("counter") or its power
  // integrated over the readings ("integrated"); empty source when unread.
  std::optional<double> energyJoules = {};
  std::string energySource = {};
  // What no process was busy for, of the energy split since first seen.
  std::optional<double> idleEnergyJoulesEstimate = {};
  std::map<std::string, double> temperatures = {};  // sensor to degrees Celsius
  std::map<std::string, double> slowdownTemperatures = {};
  std::map<std::string, double> clocks = {};  // clock to hertz
  std::optional<double> fanRpm = {};
  std::optional<double> busyPercent = {};
};

// Engine type ("3D", "Copy", ...) to its busy seconds, summed over the type's
// engines; empty where one of them could not be read.
using EngineBusySeconds = std::map<std::string, std::optional<double>>;

// One (process, GPU). Memory in bytes.
struct SnapshotProcess {
  std::uint32_t processId = 0;
  std::string name;
  std::string adapter;
  std::optional<double> dedicatedUsage;
  std::optional<double> sharedUsage;
  std::optional<double> localUsage;
  std::optional<double> totalCommitted;
  // Empty where the system's engine time could not be read at all.
  std::optional<EngineBusySeconds> engineBusySeconds;
  // The process's share of the device's energy, by its busy time; never
  // decreases while the process stays listed.
  std::optional<double> energyJoulesEstimate = {};
  double time = 0;  // when its counters were read, on the document's clock
};

struct SnapshotDocument {
  double time = 0;  // seconds on the monotonic clock
  std::vector<SnapshotAdapter> adapters;
  std::vector<SnapshotProcess> processes;
  // Processes the reading was refused (not those that exited meanwhile).
  std::uint32_t unreadableProcesses = 0;
  // GPU sources the process was reading and could no longer read (see
  // Platform::LostSources): their processes are missing, not gone.
  std::vector<std::string> lostSources;
};

// Compact UTF-8 JSON on one line. Text that is not valid UTF-8 is repaired
// (U+FFFD), never a reason to lose the document.
std::string FormatSnapshot(const SnapshotDocument& document);

}  // namespace gpuproc
