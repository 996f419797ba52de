// Runs a child process with its standard streams captured, for the tests that
// must see exactly what the library writes on the process's own stdout and
// stderr (the C runtime's text mode and locale included).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace gpuproc::windows_test {

// The library's entry points, as a host resolves them with GetProcAddress.
using GetGPUDataForProcessFunction = const char* (*)(std::uint32_t);
using GetGPUDataForAllProcessesFunction = const char* (*)();

// The variable that names a child's result file, and the scenario variable
// the scripted pdh.dll reads.
inline constexpr wchar_t kResultVariable[] = L"GPUPROC_TEST_RESULT_FILE";
inline constexpr wchar_t kScenarioVariable[] = L"GPUPROC_PDH_SCENARIO";

struct CapturedRun {
  bool started = false;
  std::uint32_t exitCode = 0;
  std::string out;
  std::string err;
};

// The folder of the running executable, with a trailing backslash. The
// library, the host and the tests are built into one folder, where Windows
// looks first for a DLL.
std::wstring ExecutableFolder();

// The full path of the running executable.
std::wstring ExecutablePath();

// Runs `commandLine` (program and arguments, already quoted) and waits for it.
// Standard output and standard error go to two temporary files whose bytes
// are returned; an environment variable `resultVariable`, when not empty, is
// set for the child to the path of a third file, returned in `result`.
CapturedRun RunCaptured(const std::wstring& commandLine, const std::wstring& resultVariable,
                        std::string* result);

// The child's side of RunCaptured: writes `text` to the file named by the
// environment variable `resultVariable`. False when it cannot.
bool WriteChildResult(const wchar_t* resultVariable, std::string_view text);

// Runs `body(index)` for index 0 to count - 1, each on a thread of its own
// made with CreateThread (the win32 toolchain's C++ library has no
// std::thread), and waits for them all.
void RunOnThreads(int count, const std::function<void(int)>& body);

// Whether the tests run under Wine rather than Windows.
bool RunningUnderWine();

}  // namespace gpuproc::windows_test
