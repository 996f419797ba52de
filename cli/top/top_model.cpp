#include "top_model.h"

#include <algorithm>
#include <set>

#include "process_table.h"

namespace gpuproc::tool {
namespace {

const History kNoHistory;

void Record(History& history, double time, double percent) {
  history.push_back({time, percent});
  while (!history.empty() && history.front().time < time - kHistorySeconds) history.pop_front();
}

// Drops the histories whose key the latest snapshot no longer has.
template <typename Map, typename Keep>
void Prune(Map& map, Keep&& keep) {
  for (auto it = map.begin(); it != map.end();)
    it = keep(it->first) ? std::next(it) : map.erase(it);
}

std::optional<double> Reading(const std::vector<NamedFigure>& readings, std::string_view name) {
  for (const NamedFigure& reading : readings) {
    if (reading.name == name) return reading.value;
  }
  return std::nullopt;
}

}  // namespace

void SortEngines(std::vector<EngineUse>& engines) {
  std::sort(engines.begin(), engines.end(), [](const EngineUse& a, const EngineUse& b) {
    const double left = a.percent.value_or(-1);
    const double right = b.percent.value_or(-1);
    return left != right ? left > right : a.type < b.type;
  });
}

std::optional<double> ProcessRow::EnginePercent(const std::string& type) const {
  for (const EngineUse& engine : engines) {
    if (engine.type == type) return engine.percent;
  }
  return std::nullopt;
}

const EngineUse* ProcessRow::BusiestOther() const {
  for (const EngineUse& engine : engines) {
    if (engine.type != "3D") return &engine;
  }
  return nullptr;
}

bool ProcessRow::Active() const {
  return std::any_of(engines.begin(), engines.end(),
                     [](const EngineUse& engine) { return engine.percent.value_or(0) > 0; });
}

void TopModel::Update(const Snapshot& snapshot, std::vector<ProcessDetails> details) {
  now_ = snapshot.time;
  hasReading_ = true;

  // GPUs numbered in adapter order, as in the table of `gpuproc`; a GPU a
  // process names that the adapter list lacks still gets a block.
  std::map<std::string, GpuView> byAdapter;
  for (const SnapshotAdapter& adapter : snapshot.adapters) {
    // The Linux back end's adapter names carry the address where a library
    // leaves the member empty.
    byAdapter[adapter.adapter] = {
        adapter.adapter,
        adapter.adapterName,
        adapter.pciAddress.empty() ? AdapterPciAddress(adapter.adapter) : adapter.pciAddress,
        adapter.committedMiB,
        adapter.freeMiB,
        {},
        {},
        adapter.kind,
        adapter.busyPercent,
        adapter.powerWatts,
        adapter.powerLimitWatts,
        GpuTemperature(adapter.temperaturesCelsius),
        Reading(adapter.clocksHertz, "graphics")};
  }
  for (const SnapshotProcess& process : snapshot.processes) {
    GpuView& gpu = byAdapter[process.adapter];
    gpu.adapter = process.adapter;
  }
  gpus_.clear();
  std::map<std::string, std::size_t> gpuIndex;
  for (auto& [adapter, gpu] : byAdapter) {
    gpuIndex[adapter] = gpus_.size();
    gpus_.push_back(std::move(gpu));
  }

  std::map<BusyKey, BusyAt> busy;
  std::map<std::pair<std::uint32_t, std::string>, EnergyAt> energy;
  std::vector<std::map<std::string, std::optional<double>>> gpuEngines(gpus_.size());
  rows_.clear();
  rows_.reserve(snapshot.processes.size());
  for (std::size_t i = 0; i < snapshot.processes.size(); ++i) {
    const SnapshotProcess& process = snapshot.processes[i];
    ProcessRow row{{process.processId, process.adapter},
                   process.name,
                   gpuIndex[process.adapter],
                   process.memoryMiB[kDedicatedMemory],
                   process.memoryMiB[kSharedMemory],
                   process.memoryMiB[kLocalMemory],
                   process.memoryMiB[kCommittedMemory],
                   {},
                   i < details.size() ? std::move(details[i]) : ProcessDetails{},
                   std::nullopt};
    if (process.energyJoulesEstimate) {
      const std::pair<std::uint32_t, std::string> key{process.processId, process.adapter};
      energy.emplace(key, EnergyAt{*process.energyJoulesEstimate, process.time});
      const auto before = previousEnergy_.find(key);
      // As for busy time: an estimate that went back is a new process.
      if (before != previousEnergy_.end() && process.time > before->second.time &&
          *process.energyJoulesEstimate >= before->second.joules) {
        row.watts = (*process.energyJoulesEstimate - before->second.joules) /
                    (process.time - before->second.time);
      }
    }
    static const std::vector<EngineBusy> kUnknown;
    for (const auto& [type, seconds] :
         process.engineBusySeconds ? *process.engineBusySeconds : kUnknown) {
      BusyKey key{process.processId, process.adapter, type};
      std::optional<double> percent;
      if (seconds) {
        busy.emplace(key, BusyAt{*seconds, process.time});
        const auto before = previousBusy_.find(key);
        // Over the time between the two readings of this process's counters,
        // which a scan of many processes reads at different moments. A
        // process first seen, or a busy time that went back (a process id
        // reused), has no rate yet.
        const double interval =
            before != previousBusy_.end() ? process.time - before->second.time : 0;
        if (interval > 0 && *seconds >= before->second.seconds) {
          percent = (*seconds - before->second.seconds) / interval * 100;
          Record(processHistory_[key], now_, *percent);
        }
      }
      row.engines.push_back({type, percent});
      std::optional<double>& total = gpuEngines[row.gpu][type];
      if (percent) total = total.value_or(0) + *percent;
    }
    SortEngines(row.engines);
    rows_.push_back(std::move(row));
  }
  previousBusy_ = std::move(busy);
  previousEnergy_ = std::move(energy);

  for (std::size_t index = 0; index < gpus_.size(); ++index) {
    GpuView& gpu = gpus_[index];
    for (const auto& [type, percent] : gpuEngines[index]) {
      gpu.engines.push_back({type, percent});
      if (percent) Record(gpuHistory_[{gpu.adapter, type}], now_, *percent);
    }
    SortEngines(gpu.engines);
    const bool has3D = gpuEngines[index].count("3D") != 0;
    gpu.historyEngine = has3D ? "3D" : gpu.engines.empty() ? "" : gpu.engines.front().type;
  }

  Prune(processHistory_, [&](const BusyKey& key) { return previousBusy_.count(key) != 0; });
  Prune(gpuHistory_, [&](const std::pair<std::string, std::string>& key) {
    return gpuIndex.count(key.first) != 0 && gpuEngines[gpuIndex[key.first]].count(key.second);
  });
}

const History& TopModel::GpuHistory(const std::string& adapter, const std::string& engine) const {
  const auto found = gpuHistory_.find({adapter, engine});
  return found == gpuHistory_.end() ? kNoHistory : found->second;
}

const History& TopModel::ProcessHistory(const RowKey& key, const std::string& engine) const {
  const auto found = processHistory_.find({key.processId, key.adapter, engine});
  return found == processHistory_.end() ? kNoHistory : found->second;
}

}  // namespace gpuproc::tool
