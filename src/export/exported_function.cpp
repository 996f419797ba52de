#include <exception>
#include <string>

#include "export/all_processes_driver.h"
#include "export/call_driver.h"
#include "gpuproc/gpuproc.h"

extern "C" GPUPROC_API const char* GetGPUDataForProcess(uint32_t processId) {
  // Created on the first call (thread-safe), destroyed when the library is
  // unloaded; each call that opens its query replaces it.
  static std::string reportText;
  try {
    const auto platform = gpuproc::CreateSystemPlatform();
    return gpuproc::CollectGPUData(*platform, processId, reportText);
  } catch (...) {
    // Nothing may unwind into a host that may not even be C++.
    return gpuproc::kEmptyResultText;
  }
}

extern "C" GPUPROC_API const char* GetGPUDataForAllProcesses(void) {
  // The same rules as the per-process text, in a text of its own: a call of
  // one function leaves the other's text alone.
  static std::string reportText;
  try {
    const auto platform = gpuproc::CreateSystemPlatform();
    return gpuproc::CollectAllGPUData(*platform, reportText);
  } catch (...) {
    return gpuproc::kEmptyResultText;
  }
}
