// The model behind `gpuproc top`: the latest snapshot turned into rows and
// GPU summaries, with utilisation as busy time over the interval between the
// last two snapshots, and the last minute of it kept for the history lines.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "process_details.h"
#include "read_snapshot.h"

namespace gpuproc::tool {

// One reading of GetGPUSnapshotForAllProcesses, parsed off the drawing path.
using Snapshot = SnapshotDocument;

// How far back the history lines reach, in seconds.
inline constexpr double kHistorySeconds = 60;

struct EngineUse {
  std::string type;
  // Busy time over the interval in percent of one engine's time (two busy
  // engines of the type give 200); nullopt before two snapshots.
  std::optional<double> percent;
};

struct RowKey {
  std::uint32_t processId = 0;
  std::string adapter;
  bool operator==(const RowKey&) const = default;
};

struct ProcessRow {
  RowKey key;
  std::string name;
  std::size_t gpu = 0;  // index into TopModel::Gpus()
  std::optional<double> dedicated, shared, local, committed;
  std::vector<EngineUse> engines;  // busiest first, ties by type name
  ProcessDetails details;
  // The process's estimated power on this GPU over the interval: its energy
  // estimate's growth over the time between the two readings; nullopt before
  // two snapshots or where the GPU has no energy figure.
  std::optional<double> watts;

  std::optional<double> EnginePercent(const std::string& type) const;
  // The busiest engine type other than 3D; nullptr without one.
  const EngineUse* BusiestOther() const;
  // Whether any engine was busy during the last interval.
  bool Active() const;
};

struct GpuView {
  std::string adapter, name, pciAddress;
  std::optional<double> committed, free;  // MiB
  std::vector<EngineUse> engines;         // each type a process uses, busiest first
  std::string historyEngine;              // 3D where used, else the busiest type
  std::string kind;                       // "GPU", "NPU"; "" where the library does not say
  // Device health; nullopt where unknown.
  std::optional<double> busyPercent;
  std::optional<double> powerWatts, powerLimitWatts;
  std::optional<double> temperatureCelsius;  // the sensor GpuTemperature (process_table.h) picks
  std::optional<double> graphicsClockHertz;
};

struct HistorySample {
  double time;
  double percent;
};
using History = std::deque<HistorySample>;

class TopModel {
 public:
  // `details` holds one entry per snapshot process, in the same order.
  void Update(const Snapshot& snapshot, std::vector<ProcessDetails> details);

  const std::vector<GpuView>& Gpus() const { return gpus_; }
  const std::vector<ProcessRow>& Rows() const { return rows_; }
  bool HasReading() const { return hasReading_; }
  double Now() const { return now_; }
  // Empty where nothing was recorded.
  const History& GpuHistory(const std::string& adapter, const std::string& engine) const;
  const History& ProcessHistory(const RowKey& key, const std::string& engine) const;

  // What the status line shows besides the rows.
  bool someUnreadable = false;
  std::string readingError;  // the last reading's failure; "" after a good one

 private:
  using BusyKey = std::tuple<std::uint32_t, std::string, std::string>;  // pid, adapter, engine
  struct BusyAt {
    double seconds;
    double time;  // when the process's counters were read
  };
  std::map<BusyKey, BusyAt> previousBusy_;
  struct EnergyAt {
    double joules;  // the process's estimate
    double time;
  };
  std::map<std::pair<std::uint32_t, std::string>, EnergyAt> previousEnergy_;
  std::map<BusyKey, History> processHistory_;
  std::map<std::pair<std::string, std::string>, History> gpuHistory_;
  std::vector<GpuView> gpus_;
  std::vector<ProcessRow> rows_;
  double now_ = 0;
  bool hasReading_ = false;
};

// Busiest first; unknown last; ties by type.
void SortEngines(std::vector<EngineUse>& engines);

}  // namespace gpuproc::tool
