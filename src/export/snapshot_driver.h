// One whole call of GetGPUSnapshotForAllProcesses, on a given platform.
#pragma once

#include <string>
#include <string_view>

#include "export/call_driver.h"
#include "platform/platform.h"

namespace gpuproc {

// Cumulative busy time of every engine, in 100 ns units.
inline constexpr std::u16string_view kEngineRunningTimePath = u"\\GPU Engine(*)\\Running Time";

// Takes one collection of every process's memory counters, every engine's
// running time and the adapters' memory, without a pause, and moves the
// snapshot document into `snapshotText`, returning its characters. Writes
// nothing on standard output. When the query cannot be opened `snapshotText`
// is left as it was and the empty result text is returned.
const char* CollectSnapshot(Platform& platform, std::string& snapshotText);

}  // namespace gpuproc
