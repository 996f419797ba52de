// One whole call of GetGPUDataForProcess, on a given platform.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace gpuproc {

// What a call returns when its counter query cannot be opened: constant,
// and never the library's result text.
inline constexpr char kEmptyResultText[] = "";

// Samples the process's GPU counter instances, moves the compact report into
// `reportText`, returning its characters, and the indented report into
// `printedText`, for the caller to write on standard output once the call
// lock is released. When the query cannot be opened both texts are left as
// they were and the empty result text is returned.
const char* CollectGPUData(Platform& platform, std::uint32_t processId, std::string& reportText,
                           std::string& printedText);

}  // namespace gpuproc
