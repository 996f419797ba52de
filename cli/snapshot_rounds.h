// Rounds of `gpuproc -n` after the first: two snapshots of the library turned
// into the all-processes records, with utilisation over the whole interval
// between them rather than over a 100 ms window of it.
#pragma once

#include <nlohmann/json.hpp>

namespace gpuproc::tool {

// The records of GetGPUDataForAllProcesses, in its shape and units, for the
// interval between two snapshot documents: memory and adapter figures as
// `after` has them, each engine type's busy time over the interval in
// percent (above 100 where several engines of the type were busy), -1.0
// for a type `before` did not hold (a process or client new since then).
// An empty array when either document is not a snapshot.
nlohmann::json RecordsBetween(const nlohmann::json& before, const nlohmann::json& after);

}  // namespace gpuproc::tool
