#include <exception>
#include <memory>
#include <string>

#include "export/all_processes_driver.h"
#include "export/call_driver.h"
#include "export/call_state.h"
#include "export/snapshot_driver.h"
#include "gpuproc/gpuproc.h"

#if defined(_WIN32)
#include <windows.h>
#endif

#if defined(_WIN32) && defined(__GLIBCXX__)
namespace __gnu_cxx {
// libstdc++ takes an emergency pool for exceptions (about 72 KB) when it is
// loaded and gives it back only here, a function made for leak checkers and
// declared in no header. Linked statically into the DLL, the pool would be
// lost at every FreeLibrary.
void __freeres();
}  // namespace __gnu_cxx
#endif

namespace {

// One exported call: serialised with every other, on a fresh platform, into
// the calling thread's own result text. What the call prints is built under
// the call lock and written after it is released, so a standard output that
// blocks (a full pipe, a console in selection mode) holds only its own
// caller. Nothing may unwind into a host that may not even be C++.
template <typename Collect>
const char* RunExportedCall(Collect&& collect) noexcept {
  std::unique_ptr<gpuproc::Platform> platform;
  std::string printed;
  const char* result = gpuproc::kEmptyResultText;
  try {
    result = gpuproc::CallState::Instance().Run([&](std::string& text) {
      platform = gpuproc::CreateSystemPlatform();
      return collect(*platform, text, printed);
    });
    if (!printed.empty()) platform->WriteOutputLine(printed);
  } catch (...) {
    // The result text, when there is one, is whole: only the print failed.
  }
  return result;
}

}  // namespace

extern "C" GPUPROC_API const char* GetGPUDataForProcess(uint32_t processId) {
  return RunExportedCall(
      [processId](gpuproc::Platform& platform, std::string& text, std::string& printed) {
        return gpuproc::CollectGPUData(platform, processId, text, printed);
      });
}

extern "C" GPUPROC_API const char* GetGPUDataForAllProcesses(void) {
  return RunExportedCall(
      [](gpuproc::Platform& platform, std::string& text, std::string& /*printed*/) {
        return gpuproc::CollectAllGPUData(platform, text);
      });
}

extern "C" GPUPROC_API const char* GetGPUSnapshotForAllProcesses(void) {
  return RunExportedCall(
      [](gpuproc::Platform& platform, std::string& text, std::string& /*printed*/) {
        return gpuproc::CollectSnapshot(platform, text);
      });
}

#if defined(_WIN32)
// Runs under the loader lock: only the registry lock is taken, never the
// call lock.
extern "C" BOOL WINAPI DllMain(HINSTANCE /*module*/, DWORD reason, LPVOID reserved) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      gpuproc::CallState::Create();
      break;
    case DLL_THREAD_DETACH:
      // A thread that leaves takes its result text with it.
      gpuproc::CallState::Instance().ForgetThread();
      break;
    case DLL_PROCESS_DETACH:
      // `reserved` is non-null when the process is ending: other threads are
      // already gone, and a DLL detached after us may still call in. Only
      // FreeLibrary tears the state down.
      if (reserved == nullptr) {
        gpuproc::CallState::Destroy();
#if defined(__GLIBCXX__)
        __gnu_cxx::__freeres();
#endif
      }
      break;
    default:
      break;
  }
  return TRUE;
}
#endif
