#include "report/energy_account.h"

#include <algorithm>
#include <vector>

namespace gpuproc {
namespace {

// Busy seconds over every engine type the process has a reading for; empty
// when none could be read.
std::optional<double> BusySeconds(const SnapshotProcess& process) {
  if (!process.engineBusySeconds) return std::nullopt;
  double total = 0;
  for (const auto& [type, seconds] : *process.engineBusySeconds) {
    if (seconds && *seconds > 0) total += *seconds;
  }
  return total;
}

}  // namespace

void EnergyAccount::Account(SnapshotDocument& document) {
  const double now = document.time;
  for (SnapshotAdapter& adapter : document.adapters) {
    Device& device = devices_[adapter.adapter];
    const bool forward = device.time && now > *device.time;
    const double interval = forward ? now - *device.time : 0;

    // The energy now, and how much of it is new since the previous reading.
    std::optional<double> energy;
    double added = 0;
    if (adapter.energyJoules) {
      energy = adapter.energyJoules;
      // A counter that went back was reset (the driver reloaded): the
      // interval's energy is unknown, and counts as none.
      if (forward && device.energy && device.counted && *energy >= *device.energy)
        added = *energy - *device.energy;
      if (!adapter.powerWatts && forward && device.counted && device.energy && interval > 0)
        adapter.powerWatts = added / interval;
      device.counted = true;
      adapter.energySource = "counter";
    } else if (adapter.powerWatts) {
      if (forward && device.power && !device.counted)
        added = (*device.power + *adapter.powerWatts) / 2 * interval;
      device.integrated += added;
      device.counted = false;
      energy = device.integrated;
      adapter.energyJoules = energy;
      adapter.energySource = "integrated";
    }
    if (forward || !device.time) {
      device.time = now;
      device.power = adapter.powerWatts;
      if (energy) device.energy = energy;
    }
    if (!energy) continue;

    // Busy seconds of each listed process in the interval. A process seen
    // for the first time starts from here; one whose total fell (its
    // reading was reset) starts again from its new total.
    std::vector<std::pair<SnapshotProcess*, double>> busy;
    std::map<std::uint32_t, ProcessShare> kept;
    double totalBusy = 0;
    for (SnapshotProcess& process : document.processes) {
      if (process.adapter != adapter.adapter) continue;
      const std::optional<double> seconds = BusySeconds(process);
      if (!seconds) continue;
      ProcessShare share;
      double inInterval = 0;
      if (const auto known = device.processes.find(process.processId);
          known != device.processes.end()) {
        share = known->second;
        inInterval = forward ? std::max(0.0, *seconds - share.busySeconds) : 0;
      }
      share.busySeconds = *seconds;
      kept[process.processId] = share;
      busy.emplace_back(&process, inInterval);
      totalBusy += inInterval;
    }
    // More busy seconds than the interval had (engines in parallel) shares
    // all of the energy; fewer leave the rest to idle.
    const double whole = std::max(totalBusy, interval);
    for (auto& [process, seconds] : busy) {
      ProcessShare& share = kept[process->processId];
      if (whole > 0) share.joules += added * (seconds / whole);
      process->energyJoulesEstimate = share.joules;
    }
    device.idle += whole > 0 ? added * (1 - totalBusy / whole) : added;
    adapter.idleEnergyJoulesEstimate = device.idle;
    // A process no longer listed is forgotten: it closed its last client or
    // exited, and its id may come back as another process.
    device.processes = std::move(kept);
  }
}

}  // namespace gpuproc
