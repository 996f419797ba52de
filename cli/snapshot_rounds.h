// Rounds of `gpuproc -n` after the first: two snapshots of the library turned
// into the all-processes records, with utilisation over the whole interval
// between them rather than over a 100 ms window of it.
#pragma once

#include <nlohmann/json.hpp>

#include "read_snapshot.h"

namespace gpuproc::tool {

// The records of GetGPUDataForAllProcesses, in its shape and units, for the
// interval between two snapshots: memory and adapter figures as `after` has
// them, each engine type's busy time over the interval between the two
// readings of the process's counters in percent (above 100 where several
// engines of the type were busy), -1.0 for a type whose busy time is
// unknown or that `before` did not hold (a process or client new since
// then).
nlohmann::json RecordsBetween(const SnapshotDocument& before, const SnapshotDocument& after);

}  // namespace gpuproc::tool
