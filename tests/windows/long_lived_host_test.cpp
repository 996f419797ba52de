// The real gpuproc.dll in a host that lives long: loaded and unloaded again
// and again, called from many threads at once, with a standard output that
// blocks and a standard error it shares with the host. Each case runs in a
// child process of its own over the scripted pdh.dll in this folder, and
// prints its figures on lines starting with "[figures]".
#include <fcntl.h>
#include <io.h>
#include <windows.h>
// windows.h first: winternl.h relies on its types.
#include <winternl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <sstream>
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
using windows_test::RunOnThreads;

using windows_test::GetGPUDataForAllProcessesFunction;
using windows_test::GetGPUDataForProcessFunction;
using OpenQueriesFunction = int(WINAPI*)();

constexpr std::string_view kChildMode = "--long-lived-child";
using windows_test::kResultVariable;
using windows_test::kScenarioVariable;

// Exit status 3 is abort()'s.
constexpr int kNotLoaded = 2;
constexpr int kNoResultFile = 4;
constexpr int kWrongResult = 5;

// Process 12 on one GPU: each of its calls samples one window.
constexpr wchar_t kOneGpu[] =
    L"\\GPU Process Memory(pid_12_luid_0x00000000_0x0000C3F1_phys_0)\\Local Usage=1;"
    L"\\GPU Adapter Memory(luid_0x00000000_0x0000C3F1_phys_0)\\Total Committed=1;"
    L"\\GPU Adapter Memory(luid_0x00000000_0x0000C3F1_phys_0)\\Dedicated Usage=1;"
    L"dxgi=0:0xC3F1=2,ScriptedGPU;";  // no space: the child's results are split at spaces
// No adapter object: each call of process 12 writes these two lines, and
// samples nothing.
constexpr wchar_t kNoAdapter[] = L"absent=GPU Adapter Memory";
constexpr std::string_view kNoAdapterLines[] = {
    "Failed to add counter: \\GPU Adapter Memory(*)\\Total Committed ERROR CODE: -1073738824",
    "Failed to add counter: \\GPU Adapter Memory(*)\\Free ERROR CODE: -1073738824"};
constexpr std::string_view kHostLine = "a line the host writes from another thread";

constexpr int kCycles = 2000;
constexpr int kCheckpoints[] = {10, 100, 500, 1000, 1500, kCycles};
constexpr int kThreads = 8;
constexpr int kCallsPerThread = 5;

struct Library {
  HMODULE module = nullptr;
  GetGPUDataForProcessFunction forProcess = nullptr;
  GetGPUDataForAllProcessesFunction forAll = nullptr;
};

Library Load() {
  Library library;
  library.module = ::LoadLibraryW((ExecutableFolder() + L"gpuproc.dll").c_str());
  if (library.module == nullptr) return library;
  library.forProcess = reinterpret_cast<GetGPUDataForProcessFunction>(
      reinterpret_cast<void*>(::GetProcAddress(library.module, "GetGPUDataForProcess")));
  library.forAll = reinterpret_cast<GetGPUDataForAllProcessesFunction>(
      reinterpret_cast<void*>(::GetProcAddress(library.module, "GetGPUDataForAllProcesses")));
  return library;
}

double Milliseconds(LARGE_INTEGER from, LARGE_INTEGER to) {
  LARGE_INTEGER frequency;
  ::QueryPerformanceFrequency(&frequency);
  return 1000.0 * static_cast<double>(to.QuadPart - from.QuadPart) /
         static_cast<double>(frequency.QuadPart);
}

LARGE_INTEGER Now() {
  LARGE_INTEGER now;
  ::QueryPerformanceCounter(&now);
  return now;
}

// TLS indexes no one holds: every one is taken, counted and given back.
int FreeTlsIndexes() {
  std::vector<DWORD> taken;
  for (DWORD index; (index = ::TlsAlloc()) != TLS_OUT_OF_INDEXES;) taken.push_back(index);
  for (const DWORD index : taken) ::TlsFree(index);
  return static_cast<int>(taken.size());
}

// Bytes in the busy blocks of every heap of the process.
std::uint64_t HeapBytesInUse() {
  std::vector<HANDLE> heaps(::GetProcessHeaps(0, nullptr) + 16);
  heaps.resize(::GetProcessHeaps(static_cast<DWORD>(heaps.size()), heaps.data()));
  std::uint64_t bytes = 0;
  for (const HANDLE heap : heaps) {
    if (!::HeapLock(heap)) continue;
    PROCESS_HEAP_ENTRY entry{};
    while (::HeapWalk(heap, &entry)) {
      if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) bytes += entry.cbData;
    }
    ::HeapUnlock(heap);
  }
  return bytes;
}

// Handles this process holds, from the system's handle table (Wine's
// GetProcessHandleCount always says 0).
int HandlesHeld() {
  struct HandleEntry {
    USHORT processId;
    USHORT creatorBackTraceIndex;
    UCHAR objectType;
    UCHAR attributes;
    USHORT handle;
    void* object;
    ULONG access;
  };
  struct HandleTable {
    ULONG count;
    HandleEntry entries[1];
  };
  constexpr int kSystemHandleInformation = 16;
  std::vector<std::uint64_t> buffer(1 << 16);
  for (;;) {
    ULONG needed = 0;
    const LONG status = ::NtQuerySystemInformation(
        static_cast<SYSTEM_INFORMATION_CLASS>(kSystemHandleInformation), buffer.data(),
        static_cast<ULONG>(buffer.size() * sizeof(std::uint64_t)), &needed);
    if (status == 0) break;
    if (buffer.size() >= (1u << 24)) return -1;
    buffer.resize(buffer.size() * 4);
  }
  const auto* table = reinterpret_cast<const HandleTable*>(buffer.data());
  const auto self = static_cast<USHORT>(::GetCurrentProcessId());
  int held = 0;
  for (ULONG entry = 0; entry < table->count; ++entry) {
    if (table->entries[entry].processId == self) ++held;
  }
  return held;
}

// Committed private memory: what Windows counts as private bytes (Wine's
// GetProcessMemoryInfo leaves PrivateUsage at 0).
std::uint64_t PrivateBytes() {
  std::uint64_t bytes = 0;
  MEMORY_BASIC_INFORMATION region{};
  for (const char* address = nullptr;
       ::VirtualQuery(address, &region, sizeof(region)) == sizeof(region);
       address = static_cast<const char*>(region.BaseAddress) + region.RegionSize) {
    if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) bytes += region.RegionSize;
  }
  return bytes;
}

// One line: cycle, handles, free TLS indexes, private bytes, heap bytes.
std::string Figures(int cycle) {
  std::ostringstream line;
  line << cycle << ' ' << HandlesHeld() << ' ' << FreeTlsIndexes() << ' ' << PrivateBytes() << ' '
       << HeapBytesInUse() << '\n';
  return line.str();
}

int LoadCallUnloadCycles() {
  // The scripted pdh.dll stays loaded throughout: what is measured is
  // gpuproc.dll's own.
  if (::LoadLibraryW((ExecutableFolder() + L"pdh.dll").c_str()) == nullptr) return kNotLoaded;
  std::string figures;
  for (int cycle = 1; cycle <= kCycles; ++cycle) {
    const Library library = Load();
    if (library.forProcess == nullptr) return kNotLoaded;
    if (std::string_view(library.forProcess(12)) != "null") return kWrongResult;
    ::FreeLibrary(library.module);
    if (std::find(std::begin(kCheckpoints), std::end(kCheckpoints), cycle) !=
        std::end(kCheckpoints)) {
      figures += Figures(cycle);
    }
  }
  return windows_test::WriteChildResult(kResultVariable, figures) ? 0 : kNoResultFile;
}

// Every TLS index but one is taken before the DLL is loaded three times.
int LoadWithOneTlsIndexLeft() {
  std::vector<DWORD> taken;
  for (DWORD index; (index = ::TlsAlloc()) != TLS_OUT_OF_INDEXES;) taken.push_back(index);
  ::TlsFree(taken.back());
  taken.pop_back();
  std::string outcome = "loaded";
  for (int cycle = 0; cycle < 3 && outcome == "loaded"; ++cycle) {
    const Library library = Load();
    if (library.forProcess == nullptr) {
      outcome = "not loaded";
    } else {
      if (std::string_view(library.forProcess(12)) != "null") outcome = "wrong result";
      ::FreeLibrary(library.module);
    }
  }
  // The one index left is free again.
  const DWORD last = ::TlsAlloc();
  if (last == TLS_OUT_OF_INDEXES && outcome == "loaded") outcome = "index kept";
  // The runtime's exit needs an index of its own.
  if (last != TLS_OUT_OF_INDEXES) ::TlsFree(last);
  for (const DWORD index : taken) ::TlsFree(index);
  return windows_test::WriteChildResult(kResultVariable, outcome) ? 0 : kNoResultFile;
}

// One caller's report waits on a full stdout pipe while another thread asks
// for every process. The child ends itself: the blocked thread holds the C
// runtime's stdout for good.
int CallBesideABlockedStdout() {
  HANDLE readEnd = nullptr;
  HANDLE writeEnd = nullptr;
  if (!::CreatePipe(&readEnd, &writeEnd, nullptr, 4096)) return kNotLoaded;
  ::_dup2(::_open_osfhandle(reinterpret_cast<intptr_t>(writeEnd), _O_TEXT), ::_fileno(stdout));
  // Nobody reads: this write fills the pipe and never returns.
  ::CreateThread(
      nullptr, 0,
      [](void* pipe) -> DWORD {
        static const std::string filler(1 << 20, 'x');
        DWORD written = 0;
        ::WriteFile(pipe, filler.data(), static_cast<DWORD>(filler.size()), &written, nullptr);
        return 0;
      },
      writeEnd, 0, nullptr);

  static Library library = Load();
  const auto openQueries = reinterpret_cast<OpenQueriesFunction>(reinterpret_cast<void*>(
      ::GetProcAddress(::GetModuleHandleW(L"pdh.dll"), "ScriptedPdhOpenQueries")));
  if (library.forAll == nullptr || openQueries == nullptr) return kNotLoaded;
  static std::atomic<bool> printed{false};
  ::CreateThread(
      nullptr, 0,
      [](void*) -> DWORD {
        library.forProcess(12);
        printed = true;
        return 0;
      },
      nullptr, 0, nullptr);
  // Its window begins and ends: the report is built and goes to the pipe.
  const auto waitFor = [&](int open) {
    for (int poll = 0; poll < 20000 && openQueries() != open; ++poll) ::Sleep(1);
  };
  waitFor(1);
  waitFor(0);

  static std::string everyProcess;
  const HANDLE caller = ::CreateThread(
      nullptr, 0,
      [](void*) -> DWORD {
        everyProcess = library.forAll();
        return 0;
      },
      nullptr, 0, nullptr);
  const LARGE_INTEGER start = Now();
  const bool returned = ::WaitForSingleObject(caller, 20000) == WAIT_OBJECT_0;
  std::ostringstream outcome;
  outcome << (returned ? Milliseconds(start, Now()) : -1.0) << ' '
          << (printed ? "printed" : "blocked") << ' ' << (returned ? everyProcess : "-");
  const bool written = windows_test::WriteChildResult(kResultVariable, outcome.str());
  ::TerminateProcess(::GetCurrentProcess(), written ? 0 : kNoResultFile);
  return kNoResultFile;
}

// Eight threads in tight loops: each call counts the calls that returned
// between its arrival and its own return.
int TurnsOfEightThreads() {
  const Library library = Load();
  if (library.forProcess == nullptr) return kNotLoaded;
  std::atomic<int> returned{0};
  std::atomic<int> mostOvertaken{0};
  std::atomic<int> wrong{0};
  std::vector<double> longest(kThreads, 0);
  const LARGE_INTEGER start = Now();
  RunOnThreads(kThreads, [&](int thread) {
    for (int call = 0; call < kCallsPerThread; ++call) {
      const int before = returned.load();
      const LARGE_INTEGER arrived = Now();
      if (std::string_view(library.forProcess(12)).rfind("[{", 0) != 0) ++wrong;
      longest[thread] = std::max(longest[thread], Milliseconds(arrived, Now()));
      const int overtaken = returned.fetch_add(1) - before;
      for (int most = mostOvertaken.load();
           overtaken > most && !mostOvertaken.compare_exchange_weak(most, overtaken);) {
      }
    }
  });
  // The calls ran one after another: their mean is one call's own time.
  const double window = Milliseconds(start, Now()) / (kThreads * kCallsPerThread);
  std::ostringstream outcome;
  outcome << mostOvertaken.load() << ' ' << *std::max_element(longest.begin(), longest.end()) << ' '
          << window << ' ' << wrong.load();
  return windows_test::WriteChildResult(kResultVariable, outcome.str()) ? 0 : kNoResultFile;
}

// A host thread writes its own lines through the C runtime's stderr while
// the library writes its error lines.
int ErrorLinesBesideHostLines() {
  const Library library = Load();
  if (library.forProcess == nullptr) return kNotLoaded;
  std::atomic<bool> calling{true};
  std::atomic<bool> hostWriting{false};
  RunOnThreads(2, [&](int thread) {
    if (thread == 0) {
      const std::string line = std::string(kHostLine) + "\n";
      while (calling) {
        std::fputs(line.c_str(), stderr);
        hostWriting = true;
      }
    } else {
      while (!hostWriting) ::Sleep(0);
      for (int call = 0; call < 200; ++call) library.forProcess(12);
      calling = false;
    }
  });
  return windows_test::WriteChildResult(kResultVariable, "done") ? 0 : kNoResultFile;
}

int RunChild(std::string_view mode) {
  if (mode == "cycles") return LoadCallUnloadCycles();
  if (mode == "tls") return LoadWithOneTlsIndexLeft();
  if (mode == "stall") return CallBesideABlockedStdout();
  if (mode == "turns") return TurnsOfEightThreads();
  if (mode == "stderr") return ErrorLinesBesideHostLines();
  return kWrongResult;
}

// Runs the child `mode` on the scripted machine `scenario`; its result text.
CapturedRun Child(std::string_view mode, const wchar_t* scenario, std::string* result) {
  ::SetEnvironmentVariableW(kScenarioVariable, scenario);
  const CapturedRun run = RunCaptured(L"\"" + ExecutablePath() + L"\" " +
                                          std::wstring(kChildMode.begin(), kChildMode.end()) +
                                          L" " + std::wstring(mode.begin(), mode.end()),
                                      kResultVariable, result);
  ::SetEnvironmentVariableW(kScenarioVariable, nullptr);
  return run;
}

TEST(LongLivedHost, LoadCallUnloadLeavesNothingBehind) {
  std::string result;
  CapturedRun run = Child("cycles", L"", &result);
  ASSERT_TRUE(run.started);
  ASSERT_EQ(run.exitCode, 0u) << "2: not loaded, 3: abort(), 4: no result file, 5: wrong result";
  std::istringstream lines(result);
  struct Figure {
    int cycle;
    int handles;
    int freeTls;
    double privateBytes;
    double heapBytes;
  };
  std::vector<Figure> figures;
  for (Figure f{}; lines >> f.cycle >> f.handles >> f.freeTls >> f.privateBytes >> f.heapBytes;) {
    figures.push_back(f);
    std::printf(
        "[figures] load/call/unload cycle %4d: %d handles, %d TLS indexes free, "
        "%.2f MiB private, %.1f KiB heap in use\n",
        f.cycle, f.handles, f.freeTls, f.privateBytes / 1048576, f.heapBytes / 1024);
  }
  ASSERT_EQ(figures.size(), std::size(kCheckpoints));
  // Flat after the first cycles. A leak as small as 64 bytes a cycle would
  // show as 124 KiB of heap here.
  const Figure& first = figures.front();
  const Figure& last = figures.back();
  EXPECT_LE(last.handles, first.handles);
  EXPECT_EQ(last.freeTls, first.freeTls);
  EXPECT_LT(last.heapBytes - first.heapBytes, 64 * 1024);
  EXPECT_LT(last.privateBytes - first.privateBytes, 4 * 1048576);

  run = Child("tls", L"", &result);
  ASSERT_TRUE(run.started);
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_EQ(result, "loaded") << "with every TLS index of the host but one taken";
}

TEST(LongLivedHost, BlockedStdoutHoldsOnlyItsOwnCaller) {
  std::string result;
  const CapturedRun run = Child("stall", kOneGpu, &result);
  ASSERT_TRUE(run.started);
  ASSERT_EQ(run.exitCode, 0u) << result;
  double milliseconds = -1;
  std::string printed;
  std::string everyProcess;
  std::istringstream(result) >> milliseconds >> printed >> everyProcess;
  std::printf("[figures] GetGPUDataForAllProcesses beside a caller blocked on stdout: %.0f ms\n",
              milliseconds);
  EXPECT_EQ(printed, "blocked") << "the first caller's write was to block on the full pipe";
  EXPECT_GE(milliseconds, 0) << "no answer within 20 s";
  // One window is 100 ms; the bound leaves room for a loaded machine.
  EXPECT_LT(milliseconds, 2000);
  EXPECT_NE(everyProcess.find("\"ProcessID\":12"), std::string::npos) << everyProcess;
}

TEST(LongLivedHost, CallersAreServedInArrivalOrder) {
  std::string result;
  const CapturedRun run = Child("turns", kOneGpu, &result);
  ASSERT_TRUE(run.started);
  ASSERT_EQ(run.exitCode, 0u);
  int mostOvertaken = -1;
  double longest = 0;
  double window = 0;
  int wrong = -1;
  std::istringstream(result) >> mostOvertaken >> longest >> window >> wrong;
  std::printf(
      "[figures] %d threads x %d calls: worst wait %.0f ms (%.1f calls of %.0f ms), "
      "at most %d calls returned ahead of one\n",
      kThreads, kCallsPerThread, longest - window, (longest - window) / window, window,
      mostOvertaken);
  EXPECT_EQ(wrong, 0);
  // Ahead of a call: at most one call of each other thread. One more for a
  // thread pre-empted between its turn and its return on a loaded machine.
  EXPECT_GE(mostOvertaken, 0);
  EXPECT_LE(mostOvertaken, kThreads);
}

TEST(LongLivedHost, ErrorLinesArriveWholeBesideTheHostsLines) {
  std::string result;
  const CapturedRun run = Child("stderr", kNoAdapter, &result);
  ASSERT_TRUE(run.started);
  ASSERT_EQ(run.exitCode, 0u);
  int ours = 0;
  int host = 0;
  std::vector<std::string> broken;
  std::istringstream lines(run.err);
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line == kHostLine) {
      ++host;
    } else if (line == kNoAdapterLines[0] || line == kNoAdapterLines[1]) {
      ++ours;
    } else if (broken.size() < 5) {
      broken.push_back(line);
    }
  }
  std::printf("[figures] stderr shared with a host thread: %d lines of ours, %d of the host\n",
              ours, host);
  EXPECT_EQ(ours, 400);
  EXPECT_GT(host, 0);
  EXPECT_TRUE(broken.empty()) << broken.front();
}

}  // namespace
}  // namespace gpuproc

int main(int argc, char** argv) {
  if (argc == 3 && std::string_view(argv[1]) == gpuproc::kChildMode) {
    return gpuproc::RunChild(argv[2]);
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
