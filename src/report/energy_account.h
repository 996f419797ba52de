// Energy per GPU and per process, kept from one snapshot to the next.
//
// A device's energy is its own cumulative counter where it has one, else its
// power integrated over the snapshots that read it (trapezoids between
// readings). Each interval between two snapshots, the energy the device used
// in it is split between its processes by their busy seconds in that
// interval, every engine type weighted alike; the part no process was busy
// for goes to the device's idle share. A device whose processes together were
// busy for longer than the interval (engines run in parallel) gives them all
// of it, in proportion. See docs/linux.md for the model and its error.
//
// Not synchronised: the library uses its one account under its call lock
// (src/export/call_state.h), as it does the NVML keeper.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "report/snapshot_document.h"

namespace gpuproc {

class EnergyAccount {
 public:
  // Completes `document`: each adapter's EnergyJoules and EnergySource (and
  // its PowerWatts, as the counter's mean since the previous snapshot, where
  // the device reports energy but no power), its idle share, and each
  // process's EnergyJoulesEstimate. Snapshots must come in time order; one
  // that goes back in time only sets a new starting point.
  void Account(SnapshotDocument& document);

 private:
  struct ProcessShare {
    double busySeconds = 0;
    double joules = 0;
  };
  struct Device {
    std::optional<double> time;
    std::optional<double> power;
    // The latest energy reading, and which source gave it.
    std::optional<double> energy;
    bool counted = false;
    double integrated = 0;
    double idle = 0;
    std::map<std::uint32_t, ProcessShare> processes;
  };

  std::map<std::string, Device> devices_;
};

}  // namespace gpuproc
