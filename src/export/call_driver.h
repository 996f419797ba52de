// One whole call of GetGPUDataForProcess, on a given platform.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace gpuproc {

// What a call returns when its counter query cannot be opened: constant,
// and never the library's result text.
inline constexpr char kEmptyResultText[] = "";

// Samples the process's GPU counter instances, writes the indented report on
// standard output and moves the compact report into `reportText`, returning
// its characters. When the query cannot be opened `reportText` is left as it
// was and the empty result text is returned.
const char* CollectGPUData(Platform& platform, std::uint32_t processId, std::string& reportText);

}  // namespace gpuproc
