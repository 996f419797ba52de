#include <exception>
#include <string>

#include "export/all_processes_driver.h"
#include "export/call_driver.h"
#include "export/call_state.h"
#include "gpuproc/gpuproc.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace {

// One exported call: serialised with every other, on a fresh platform, into
// the calling thread's own result text. Nothing may unwind into a host that
// may not even be C++.
template <typename Collect>
const char* RunExportedCall(Collect&& collect) noexcept {
  try {
    return gpuproc::CallState::Instance().Run([&](std::string& text) {
      const auto platform = gpuproc::CreateSystemPlatform();
      return collect(*platform, text);
    });
  } catch (...) {
    return gpuproc::kEmptyResultText;
  }
}

}  // namespace

extern "C" GPUPROC_API const char* GetGPUDataForProcess(uint32_t processId) {
  return RunExportedCall([processId](gpuproc::Platform& platform, std::string& text) {
    return gpuproc::CollectGPUData(platform, processId, text);
  });
}

extern "C" GPUPROC_API const char* GetGPUDataForAllProcesses(void) {
  return RunExportedCall([](gpuproc::Platform& platform, std::string& text) {
    return gpuproc::CollectAllGPUData(platform, text);
  });
}

#if defined(_WIN32)
// A thread that leaves takes its result text with it. Runs under the loader
// lock: only the registry lock is taken, never the call lock.
extern "C" BOOL WINAPI DllMain(HINSTANCE /*module*/, DWORD reason, LPVOID /*reserved*/) {
  if (reason == DLL_THREAD_DETACH) gpuproc::CallState::Instance().ForgetThread();
  return TRUE;
}
#endif
