#include <exception>
#include <string>

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
