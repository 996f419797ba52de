// One whole call of GetGPUDataForAllProcesses, on a given platform.
#pragma once

#include <string>

#include "export/call_driver.h"
#include "platform/platform.h"

namespace gpuproc {

// Samples every GPU counter instance of every process in one window (every
// counter in one query, two collections) and moves the compact report, an
// array ordered by process id then instance name, into `reportText`,
// returning its characters. Writes nothing on standard output. When the
// query cannot be opened `reportText` is left as it was and the empty result
// text is returned.
const char* CollectAllGPUData(Platform& platform, std::string& reportText);

}  // namespace gpuproc
