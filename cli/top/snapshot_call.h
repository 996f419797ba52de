// The one place `gpuproc top` calls the library.
#pragma once

#include <string>

namespace gpuproc::tool {

// The snapshot document of every GPU process; "" when the counters could
// not be read (the library has written why on standard error).
std::string TakeSnapshotDocument();

}  // namespace gpuproc::tool
