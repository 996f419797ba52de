// The built gpuproc.dll and gpuproc.exe as a host sees them: loaded by name,
// the function found by GetProcAddress, the standard streams of the calling
// process captured byte for byte.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "process_capture.h"

namespace gpuproc {
namespace {

using windows_test::CapturedRun;
using windows_test::ExecutableFolder;
using windows_test::ExecutablePath;
using windows_test::RunCaptured;
using windows_test::RunningUnderWine;

using windows_test::GetGPUDataForAllProcessesFunction;
using windows_test::GetGPUDataForProcessFunction;

constexpr std::string_view kChildCallsLibrary = "--child-call-library";
using windows_test::kResultVariable;

constexpr int kLibraryNotLoaded = 2;
constexpr int kFunctionNotExported = 3;
constexpr int kResultNotWritten = 4;

// Wine's pdh.dll has no "GPU Adapter Memory" object and refuses every
// adapter path with PDH_CSTATUS_NO_COUNTER: a missing "Free" writes no line
// and "Dedicated Usage" is asked for instead. Its PdhEnumObjectItemsW leaves
// both lengths at 0, so no instance is listed and the report is null.
constexpr std::string_view kWineErrorLines =
    "Failed to add counter: \\GPU Adapter Memory(*)\\Total Committed ERROR CODE: -1073738823\r\n"
    "Failed to add counter: \\GPU Adapter Memory(*)\\Dedicated Usage ERROR CODE: -1073738823\r\n";
// Wine's pdh.dll refuses every wildcard path as an unknown counter.
constexpr std::string_view kWineWildcardErrorLines =
    "Failed to add counter: \\GPU Process Memory(*)\\Local Usage ERROR CODE: -1073738823\r\n"
    "Failed to add counter: \\GPU Process Memory(*)\\Shared Usage ERROR CODE: -1073738823\r\n"
    "Failed to add counter: \\GPU Process Memory(*)\\Dedicated Usage ERROR CODE: -1073738823\r\n"
    "Failed to add counter: \\GPU Process Memory(*)\\Total Committed ERROR CODE: -1073738823\r\n"
    "Failed to add counter: \\GPU Engine(*)\\Utilization Percentage ERROR CODE: -1073738823\r\n"
    "Failed to add counter: \\GPU Adapter Memory(*)\\Total Committed ERROR CODE: -1073738823\r\n"
    "Failed to add counter: \\GPU Adapter Memory(*)\\Dedicated Usage ERROR CODE: -1073738823\r\n";
// The indented null report and the stream's end of line, in text mode.
constexpr std::string_view kNullReportLine = "null\r\n";

std::wstring Widen(std::string_view text) { return std::wstring(text.begin(), text.end()); }

struct ProcessIdCase {
  const char* name;
  std::string argument;  // "self" stands for the calling process
};

std::vector<ProcessIdCase> ProcessIdCases() {
  return {{"calling process", "self"}, {"largest identifier", "4294967295"}};
}

TEST(WindowsLibrary, ExportsTheFunctionByItsPlainName) {
  const HMODULE library = ::LoadLibraryW((ExecutableFolder() + L"gpuproc.dll").c_str());
  ASSERT_NE(library, nullptr) << "gpuproc.dll is built next to the tests";
  EXPECT_NE(::GetProcAddress(library, "GetGPUDataForProcess"), nullptr);
  EXPECT_NE(::GetProcAddress(library, "GetGPUDataForAllProcesses"), nullptr);
  // No C++ or stdcall decoration.
  EXPECT_EQ(::GetProcAddress(library, "_GetGPUDataForProcess@4"), nullptr);
  ::FreeLibrary(library);
}

TEST(WindowsLibrary, ProcessWithoutInstancesReportsNull) {
  for (const ProcessIdCase& testCase : ProcessIdCases()) {
    std::string result;
    const CapturedRun run =
        RunCaptured(L"\"" + ExecutablePath() + L"\" " + Widen(kChildCallsLibrary) + L" " +
                        Widen(testCase.argument),
                    kResultVariable, &result);
    ASSERT_TRUE(run.started) << testCase.name;
    ASSERT_EQ(run.exitCode, 0u) << testCase.name;
    EXPECT_EQ(result, "null") << testCase.name;
    EXPECT_EQ(run.out, kNullReportLine) << testCase.name;
    if (RunningUnderWine()) {
      EXPECT_EQ(run.err, kWineErrorLines) << testCase.name;
    }
  }
}

TEST(WindowsLibrary, AllProcessesWithoutInstancesIsAnEmptyArray) {
  std::string result;
  const CapturedRun run =
      RunCaptured(L"\"" + ExecutablePath() + L"\" " + Widen(kChildCallsLibrary) + L" all",
                  kResultVariable, &result);
  ASSERT_TRUE(run.started);
  ASSERT_EQ(run.exitCode, 0u);
  EXPECT_EQ(result, "[]");
  EXPECT_EQ(run.out, "");
  if (RunningUnderWine()) {
    // Wine refuses every wildcard path; its array read, a stub that aborts,
    // must never be reached.
    EXPECT_EQ(run.err, kWineWildcardErrorLines);
  }
}

// A thread pool calling at once: every call answers, and each thread's text
// is its own, not one buffer that the next call on any thread overwrites.
// The threads end before the library is freed (DLL_THREAD_DETACH runs).
TEST(WindowsLibrary, ThreadsCallAtOnceEachWithItsOwnText) {
  const HMODULE library = ::LoadLibraryW((ExecutableFolder() + L"gpuproc.dll").c_str());
  ASSERT_NE(library, nullptr);
  const auto function = reinterpret_cast<GetGPUDataForProcessFunction>(
      reinterpret_cast<void*>(::GetProcAddress(library, "GetGPUDataForProcess")));
  ASSERT_NE(function, nullptr);
  constexpr int kThreads = 8;
  std::vector<const char*> texts(kThreads, nullptr);
  std::vector<int> wrong(kThreads, 0);
  std::atomic<int> finished{0};
  windows_test::RunOnThreads(kThreads, [&](int t) {
    for (int call = 0; call < 3; ++call) {
      texts[t] = function(4294967295u);
      if (std::string_view(texts[t]) != "null") ++wrong[t];
    }
    // No thread leaves (and frees its text) before all have called.
    ++finished;
    while (finished.load() < kThreads) ::SwitchToThread();
  });
  EXPECT_EQ(std::set<const char*>(texts.begin(), texts.end()).size(), texts.size());
  EXPECT_EQ(wrong, std::vector<int>(kThreads, 0));
  ::FreeLibrary(library);
}

TEST(WindowsHost, ProcessWithoutInstancesReportsNull) {
  // The host is a process of its own; its identifier is not known in
  // advance, so it is asked about the test process instead. --json: the
  // library's own report, which the call prints.
  const CapturedRun run = RunCaptured(L"\"" + ExecutableFolder() + L"gpuproc.exe\" --json " +
                                          Widen(std::to_string(::GetCurrentProcessId())),
                                      L"", nullptr);
  ASSERT_TRUE(run.started) << "gpuproc.exe is built next to the tests";
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_EQ(run.out, kNullReportLine);
  if (RunningUnderWine()) {
    EXPECT_EQ(run.err, kWineErrorLines);
  }
}

// Windows process ids are multiples of 4: the largest id names no process,
// which the host tells apart from a process without GPU use.
TEST(WindowsHost, ProcessThatDoesNotExistIsAnError) {
  const CapturedRun run =
      RunCaptured(L"\"" + ExecutableFolder() + L"gpuproc.exe\" 4294967295", L"", nullptr);
  ASSERT_TRUE(run.started);
  EXPECT_EQ(run.exitCode, 1u);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "gpuproc: no process 4294967295\r\n");
}

TEST(WindowsHost, EveryProcessAsJsonIsAnEmptyArray) {
  const CapturedRun run =
      RunCaptured(L"\"" + ExecutableFolder() + L"gpuproc.exe\" --json", L"", nullptr);
  ASSERT_TRUE(run.started);
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_EQ(run.out, "[]\r\n");
  if (RunningUnderWine()) {
    EXPECT_EQ(run.err, kWineWildcardErrorLines);
  }
}

// The child: loads the library as a host would, calls it once and leaves the
// returned text in the file the parent named, so that its own standard
// streams carry only what the library wrote.
// "all" calls GetGPUDataForAllProcesses instead.
int CallLibraryAsChild(std::string_view processIdArgument) {
  const HMODULE library = ::LoadLibraryW((ExecutableFolder() + L"gpuproc.dll").c_str());
  if (library == nullptr) {
    return kLibraryNotLoaded;
  }
  std::string result;
  if (processIdArgument == "all") {
    const auto function = reinterpret_cast<GetGPUDataForAllProcessesFunction>(
        reinterpret_cast<void*>(::GetProcAddress(library, "GetGPUDataForAllProcesses")));
    if (function == nullptr) {
      return kFunctionNotExported;
    }
    result = function();
  } else {
    const auto function = reinterpret_cast<GetGPUDataForProcessFunction>(
        reinterpret_cast<void*>(::GetProcAddress(library, "GetGPUDataForProcess")));
    if (function == nullptr) {
      return kFunctionNotExported;
    }
    const std::uint32_t processId = processIdArgument == "self"
                                        ? static_cast<std::uint32_t>(::GetCurrentProcessId())
                                        : static_cast<std::uint32_t>(std::strtoul(
                                              std::string(processIdArgument).c_str(), nullptr, 10));
    result = function(processId);
  }

  return windows_test::WriteChildResult(kResultVariable, result) ? 0 : kResultNotWritten;
}

}  // namespace
}  // namespace gpuproc

int main(int argc, char** argv) {
  if (argc == 3 && std::string_view(argv[1]) == gpuproc::kChildCallsLibrary) {
    return gpuproc::CallLibraryAsChild(argv[2]);
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
