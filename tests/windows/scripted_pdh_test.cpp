// The real gpuproc.dll over a scripted pdh.dll (tests/windows/scripted_pdh/)
// that sits next to it: every case is a machine the test describes, and the
// returned texts, standard output and standard error are compared byte for
// byte. Each case runs in a child process of its own, so that each gets a
// freshly loaded pdh.dll reading its scenario.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
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
using AdvanceFunction = void(WINAPI*)();
using OpenQueriesFunction = int(WINAPI*)();

constexpr std::string_view kChildMode = "--child-call-library";
using windows_test::kResultVariable;
using windows_test::kScenarioVariable;

constexpr int kLibraryNotLoaded = 2;
constexpr int kScriptedPdhNotLoaded = 3;
constexpr int kQueryLeftOpen = 4;
constexpr int kResultNotWritten = 5;
constexpr int kScriptedDxgiNotLoaded = 6;
constexpr int kDxgiObjectsLeft = 7;

// What the host left in the thread's last error before a call, and what the
// scripted PdhOpenQueryW sets when told to.
constexpr DWORD kStaleError = ERROR_FILE_NOT_FOUND;
constexpr DWORD kOpenError = ERROR_NOT_ENOUGH_MEMORY;

constexpr std::wstring_view kGpuA = L"pid_12_luid_0x00000000_0x0000C3F1_phys_0";
constexpr std::wstring_view kGpuB = L"pid_12_luid_0x00000000_0x0000D2E0_phys_0";

// A process instance's four memory counters, in bytes.
std::wstring Memory(std::wstring_view instance, std::wstring_view local, std::wstring_view shared,
                    std::wstring_view dedicated, std::wstring_view total,
                    std::wstring_view prefix = L"") {
  std::wstring items;
  const std::wstring_view counters[][2] = {{L"Local Usage", local},
                                           {L"Shared Usage", shared},
                                           {L"Dedicated Usage", dedicated},
                                           {L"Total Committed", total}};
  for (const auto& [counter, value] : counters) {
    if (value.empty()) continue;
    items += std::wstring(prefix) + L"\\GPU Process Memory(" + std::wstring(instance) + L")\\" +
             std::wstring(counter) + L"=" + std::wstring(value) + L";";
  }
  return items;
}

std::wstring Engine(std::wstring_view instance, std::wstring_view engine, std::wstring_view value,
                    std::wstring_view prefix = L"") {
  return std::wstring(prefix) + L"\\GPU Engine(" + std::wstring(instance) + L"_" +
         std::wstring(engine) + L")\\Utilization Percentage=" + std::wstring(value) + L";";
}

// 150 MiB local and dedicated, 2 MiB shared, 152 MiB committed; 12.5 % 3D.
std::wstring OneGpu(std::wstring_view prefix = L"") {
  return Memory(kGpuA, L"157286400", L"2097152", L"157286400", L"159383552", prefix) +
         Engine(kGpuA, L"eng_0_engtype_3D", L"12.5", prefix);
}
constexpr std::wstring_view kAdapterA = L"luid_0x00000000_0x0000C3F1_phys_0";
constexpr std::wstring_view kAdapterB = L"luid_0x00000000_0x0000D2E0_phys_0";

// One "GPU Adapter Memory" counter of an adapter instance.
std::wstring Adapter(std::wstring_view instance, std::wstring_view counter,
                     std::wstring_view value) {
  return L"\\GPU Adapter Memory(" + std::wstring(instance) + L")\\" + std::wstring(counter) + L"=" +
         std::wstring(value) + L";";
}

// GPU A as real Windows publishes it: 512.5 MiB committed, 560 MiB dedicated
// in use; DXGI gives it 8 GiB of dedicated memory, so 8192 - 560 = 7632 MiB
// are free.
const std::wstring kAdapter = Adapter(kAdapterA, L"Total Committed", L"537395200") +
                              Adapter(kAdapterA, L"Dedicated Usage", L"587202560") +
                              Adapter(kAdapterA, L"Shared Usage", L"1048576") +
                              L"dxgi=0:0xC3F1=8589934592,Scripted GPU A;";

constexpr std::string_view kOneGpuRecord =
    R"([{"GPUMemoryFree":7632.0,"GPUMemoryTotal":512.5,"GPUProcessMemoryDedicatedUsage":150.0,)"
    R"("GPUProcessMemoryLocalUsage":150.0,"GPUProcessMemorySharedUsage":2.0,)"
    R"("GPUProcessMemoryTotalCommitted":152.0,"GPUUtilizationPercent":12.5,"Name":"unknown",)"
    R"("ProcessID":12}])";

// The indented report of kOneGpuRecord, in the C runtime's text mode.
constexpr std::string_view kOneGpuOutput =
    "[\r\n"
    "    {\r\n"
    "        \"GPUMemoryFree\": 7632.0,\r\n"
    "        \"GPUMemoryTotal\": 512.5,\r\n"
    "        \"GPUProcessMemoryDedicatedUsage\": 150.0,\r\n"
    "        \"GPUProcessMemoryLocalUsage\": 150.0,\r\n"
    "        \"GPUProcessMemorySharedUsage\": 2.0,\r\n"
    "        \"GPUProcessMemoryTotalCommitted\": 152.0,\r\n"
    "        \"GPUUtilizationPercent\": 12.5,\r\n"
    "        \"Name\": \"unknown\",\r\n"
    "        \"ProcessID\": 12\r\n"
    "    }\r\n"
    "]\r\n";

// The record of an instance none of whose own counters can be read, on the
// kAdapter adapter.
constexpr std::string_view kUnreadableRecord =
    R"([{"GPUMemoryFree":7632.0,"GPUMemoryTotal":512.5,)"
    R"("GPUProcessMemoryDedicatedUsage":-9.5367431640625e-07,)"
    R"("GPUProcessMemoryLocalUsage":-9.5367431640625e-07,)"
    R"("GPUProcessMemorySharedUsage":-9.5367431640625e-07,)"
    R"("GPUProcessMemoryTotalCommitted":-9.5367431640625e-07,"GPUUtilizationPercent":-1.0,)"
    R"("Name":"unknown","ProcessID":12}])";

struct Case {
  const char* name;
  std::wstring scenario;
  int calls = 1;
  bool staleError = false;  // the host leaves kStaleError before each call
  std::vector<std::string> results;
  std::string err;
};

// The report each call wrote on standard output: indented, each line ending
// in CR LF; nothing for a call that could not open its query.
std::string ExpectedOutput(const std::vector<std::string>& results) {
  std::string out;
  for (const std::string& result : results) {
    if (result.empty()) continue;
    if (result == kOneGpuRecord) {
      out += kOneGpuOutput;
      continue;
    }
    std::string indented = nlohmann::json::parse(result).dump(4) + "\n";
    for (std::size_t at = 0; (at = indented.find('\n', at)) != std::string::npos; at += 2) {
      indented.insert(at, 1, '\r');
    }
    out += indented;
  }
  return out;
}

// FormatMessageW's text for kOpenError, without its line break.
std::string OpenErrorText() {
  return RunningUnderWine() ? "Not enough memory."
                            : "Not enough memory resources are available to process this command.";
}

std::vector<Case> Cases() {
  const std::string noAdapterObject =
      "Failed to add counter: \\GPU Adapter Memory(*)\\Total Committed ERROR CODE: "
      "-1073738824\r\n"
      "Failed to add counter: \\GPU Adapter Memory(*)\\Free ERROR CODE: -1073738824\r\n";
  const std::string noTotalCommitted =
      "Failed to add counter: \\GPU Adapter Memory(*)\\Total Committed ERROR CODE: "
      "-1073738823\r\n";
  // The one-GPU record with other adapter figures (MiB).
  const auto oneGpuWith = [](std::string_view free, std::string_view total) {
    std::string record(kOneGpuRecord);
    record.replace(record.find("7632.0"), 6, free);
    record.replace(record.find("512.5"), 5, total);
    return record;
  };
  const std::wstring other = L"pid_7_luid_0x00000000_0x0000C3F1_phys_0";
  return {
      {"one process on one GPU", OneGpu() + kAdapter, 1, false, {std::string(kOneGpuRecord)}, ""},
      // Listed B first; each record carries its own GPU's figures (B: 4 MiB
      // committed, 3 of its 5 MiB dedicated in use), and GPU B's instance
      // name goes on after phys_0.
      {"one process on two GPUs",
       Memory(kGpuB, L"1048576", L"0", L"1048576", L"1048576") +
           Engine(kGpuB, L"eng_0_engtype_3D", L"50") + OneGpu() + kAdapter +
           Adapter(std::wstring(kAdapterB) + L"_part_0", L"Total Committed", L"4194304") +
           Adapter(std::wstring(kAdapterB) + L"_part_0", L"Dedicated Usage", L"3145728") +
           L"dxgi=0:0xD2E0=5242880,Scripted GPU B;",
       1,
       false,
       {R"([{"GPUMemoryFree":2.0,"GPUMemoryTotal":4.0,"GPUProcessMemoryDedicatedUsage":1.0,)"
        R"("GPUProcessMemoryLocalUsage":1.0,"GPUProcessMemorySharedUsage":0.0,)"
        R"("GPUProcessMemoryTotalCommitted":1.0,"GPUUtilizationPercent":50.0,"Name":"unknown",)"
        R"("ProcessID":12},{"GPUMemoryFree":7632.0,"GPUMemoryTotal":512.5,)"
        R"("GPUProcessMemoryDedicatedUsage":150.0,"GPUProcessMemoryLocalUsage":150.0,)"
        R"("GPUProcessMemorySharedUsage":2.0,"GPUProcessMemoryTotalCommitted":152.0,)"
        R"("GPUUtilizationPercent":12.5,"Name":"unknown","ProcessID":12}])"},
       ""},
      // An integrated GPU: DXGI's dedicated memory is the firmware's 128 MiB
      // carve-out, which 160 MiB in use has outgrown: nothing is free.
      {"an integrated GPU with a 128 MiB carve-out",
       OneGpu() + Adapter(kAdapterA, L"Total Committed", L"537395200") +
           Adapter(kAdapterA, L"Dedicated Usage", L"167772160") +
           L"dxgi=0:0xC3F1=134217728,Scripted iGPU;",
       1,
       false,
       {oneGpuWith("0.0", "512.5")},
       ""},
      {"DXGI lists no adapter with that LUID",
       OneGpu() + Adapter(kAdapterA, L"Total Committed", L"537395200") +
           Adapter(kAdapterA, L"Dedicated Usage", L"587202560") +
           L"dxgi=1:0xC3F1=8589934592,Another LUID;",
       1,
       false,
       {oneGpuWith("-9.5367431640625e-07", "512.5")},
       ""},
      // Where the system serves "Free", it is taken as it is (1024 MiB), not
      // computed.
      {"a system that serves a Free counter",
       L"free=served;" + OneGpu() + kAdapter + Adapter(kAdapterA, L"Free", L"1073741824"),
       1,
       false,
       {oneGpuWith("1024.0", "512.5")},
       ""},
      {"a refused Total Committed",
       OneGpu() + kAdapter + L"absent=GPU Adapter Memory\\Total Committed",
       1,
       false,
       {oneGpuWith("7632.0", "-9.5367431640625e-07")},
       noTotalCommitted},
      {"pid 12 next to 123, 1200 and 120",
       [&] {
         std::wstring scenario;
         for (const wchar_t* pid : {L"123", L"1200", L"120"}) {
           const std::wstring instance =
               std::wstring(L"pid_") + pid + L"_luid_0x00000000_0x0000C3F1_phys_0";
           scenario += Memory(instance, L"1", L"1", L"1", L"1") +
                       Engine(instance, L"eng_0_engtype_3D", L"99");
         }
         return scenario + OneGpu() + kAdapter;
       }(),
       1,
       false,
       {std::string(kOneGpuRecord)},
       ""},
      // 3D engines at 12.5 % and 40 %, one 3D engine without data, and busier
      // engines of other types.
      {"engines of several types",
       Memory(kGpuA, L"157286400", L"2097152", L"157286400", L"159383552") +
           Engine(kGpuA, L"eng_0_engtype_3D", L"12.5") +
           Engine(kGpuA, L"eng_1_engtype_Copy", L"90") + Engine(kGpuA, L"eng_2_engtype_3D", L"40") +
           Engine(kGpuA, L"eng_3_engtype_3D", L"-") +
           Engine(kGpuA, L"eng_4_engtype_VideoDecode", L"75") + kAdapter,
       1,
       false,
       {R"([{"GPUMemoryFree":7632.0,"GPUMemoryTotal":512.5,"GPUProcessMemoryDedicatedUsage":150.0,)"
        R"("GPUProcessMemoryLocalUsage":150.0,"GPUProcessMemorySharedUsage":2.0,)"
        R"("GPUProcessMemoryTotalCommitted":152.0,"GPUUtilizationPercent":40.0,"Name":"unknown",)"
        R"("ProcessID":12}])"},
       ""},
      // Shared has no data, Dedicated no value at all, the only 3D engine and
      // the adapter's free memory no data: reads fail, no line is written.
      {"unreadable counters",
       Memory(kGpuA, L"157286400", L"-", L"", L"159383552") +
           Engine(kGpuA, L"eng_0_engtype_3D", L"-") +
           Adapter(kAdapterA, L"Total Committed", L"537395200") +
           Adapter(kAdapterA, L"Dedicated Usage", L"-") + L"dxgi=0:0xC3F1=8589934592,A;",
       1,
       false,
       {R"([{"GPUMemoryFree":-9.5367431640625e-07,"GPUMemoryTotal":512.5,)"
        R"("GPUProcessMemoryDedicatedUsage":-9.5367431640625e-07,)"
        R"("GPUProcessMemoryLocalUsage":150.0,)"
        R"("GPUProcessMemorySharedUsage":-9.5367431640625e-07,)"
        R"("GPUProcessMemoryTotalCommitted":152.0,"GPUUtilizationPercent":-1.0,)"
        R"("Name":"unknown","ProcessID":12}])"},
       ""},
      {"an instance that vanished after it was listed",
       Memory(kGpuA, L"157286400", L"2097152", L"157286400", L"159383552", L"gone:") +
           Engine(kGpuA, L"eng_0_engtype_3D", L"12.5", L"gone:") + kAdapter,
       1,
       false,
       {std::string(kUnreadableRecord)},
       ""},
      {"a missing adapter object",
       OneGpu() + L"absent=GPU Adapter Memory",
       1,
       false,
       {R"([{"GPUMemoryFree":-9.5367431640625e-07,"GPUMemoryTotal":-9.5367431640625e-07,)"
        R"("GPUProcessMemoryDedicatedUsage":150.0,"GPUProcessMemoryLocalUsage":150.0,)"
        R"("GPUProcessMemorySharedUsage":2.0,"GPUProcessMemoryTotalCommitted":152.0,)"
        R"("GPUUtilizationPercent":12.5,"Name":"unknown","ProcessID":12}])"},
       noAdapterObject},
      {"no instances", kAdapter, 1, false, {"null"}, ""},
      {"only other processes' instances",
       Memory(other, L"1", L"1", L"1", L"1") + Engine(other, L"eng_0_engtype_3D", L"5") + kAdapter,
       1,
       false,
       {"null"},
       ""},
      {"no process-memory object",
       Engine(kGpuA, L"eng_0_engtype_3D", L"12.5") + kAdapter + L"absent=GPU Process Memory",
       1,
       false,
       {"null"},
       ""},
      // The host's stale error is not PDH's reason: no line at all. Two calls:
      // the first call's one-time set-up happens to clear the thread's error
      // in a MinGW build, the second reaches PDH with the host's error intact.
      {"query fails to open without a last error", OneGpu() + L"open=fail", 2, true, {"", ""}, ""},
      {"query fails to open with a last error",
       OneGpu() + L"open=fail:" + std::to_wstring(kOpenError),
       1,
       true,
       {""},
       "PdhOpenQuery: " + OpenErrorText() + "\r\n"},
      // The list grew between the size request and the fill: the fill's
      // PDH_MORE_DATA is answered by asking again, and the process is found.
      {"an instance list that grows before its fill",
       L"fill=moredata;" + OneGpu() + kAdapter,
       1,
       false,
       {std::string(kOneGpuRecord)},
       ""},
      // Names in German; PdhAddCounterW refuses the English paths.
      {"a German system",
       L"lang=de;" + OneGpu() + kAdapter,
       1,
       false,
       {std::string(kOneGpuRecord)},
       ""},
      // The first call enumerates before the process uses the GPU; the second
      // must see it although the host never asked PDH to refresh.
      {"a process that starts using the GPU between two calls",
       OneGpu(L"later:") + kAdapter,
       2,
       false,
       {"null", std::string(kOneGpuRecord)},
       ""},
  };
}

TEST(ScriptedPdh, CallsReturnPrintAndReportAsOnWindows) {
  for (const Case& testCase : Cases()) {
    SCOPED_TRACE(testCase.name);
    ASSERT_TRUE(::SetEnvironmentVariableW(kScenarioVariable, testCase.scenario.c_str()));
    std::string result;
    const CapturedRun run = RunCaptured(
        L"\"" + ExecutablePath() + L"\" " + std::wstring(kChildMode.begin(), kChildMode.end()) +
            L" " + std::to_wstring(testCase.calls) + (testCase.staleError ? L" stale" : L" clean"),
        kResultVariable, &result);
    ::SetEnvironmentVariableW(kScenarioVariable, nullptr);
    if (!run.started || run.exitCode != 0) {
      ADD_FAILURE() << "child exit " << run.exitCode << " (2: gpuproc.dll not loaded, 3: not "
                    << "the scripted pdh.dll, 4: a query left open, 5: no result file, 6: not "
                    << "the scripted dxgi.dll, 7: DXGI objects not released)";
      continue;
    }
    std::string expected;
    for (const std::string& text : testCase.results) expected += text + "\n";
    EXPECT_EQ(result, expected);
    EXPECT_EQ(run.out, ExpectedOutput(testCase.results));
    EXPECT_EQ(run.err, testCase.err);
  }
}

// Every process at once, through the real binding's wildcard counters and
// PdhGetFormattedCounterArrayW: one record per (process, GPU), engines of
// every type, each record with its own adapter's memory and DXGI's name.
TEST(ScriptedPdh, EveryProcessIsReadFromWildcardArrays) {
  constexpr std::wstring_view kOther = L"pid_7_luid_0x00000000_0x0000C3F1_phys_0";
  const std::wstring scenario =
      OneGpu() + Memory(kGpuB, L"1048576", L"0", L"1048576", L"2097152") +
      Engine(kGpuB, L"eng_0_engtype_Copy", L"-") + Engine(kGpuB, L"eng_1_engtype_Copy", L"3") +
      Memory(kOther, L"0", L"0", L"0", L"0") + Engine(kOther, L"eng_0_engtype_3D", L"-") +
      Engine(kOther, L"eng_1_engtype_VideoDecode", L"40") + kAdapter +
      Adapter(kAdapterB, L"Total Committed", L"4194304") +
      Adapter(kAdapterB, L"Dedicated Usage", L"3145728") + L"dxgi=0:0xD2E0=5242880,Scripted GPU B;";
  ASSERT_TRUE(::SetEnvironmentVariableW(kScenarioVariable, scenario.c_str()));
  std::string result;
  const CapturedRun run =
      RunCaptured(L"\"" + ExecutablePath() + L"\" " +
                      std::wstring(kChildMode.begin(), kChildMode.end()) + L" 1 all",
                  kResultVariable, &result);
  ::SetEnvironmentVariableW(kScenarioVariable, nullptr);
  ASSERT_TRUE(run.started);
  ASSERT_EQ(run.exitCode, 0u);
  EXPECT_EQ(
      result,
      R"([{"Adapter":"luid_0x00000000_0x0000C3F1_phys_0","AdapterName":"Scripted GPU A",)"
      R"("Engines":{"3D":-1.0,)"
      R"("VideoDecode":40.0},"GPUMemoryFree":7632.0,"GPUMemoryTotal":512.5,)"
      R"("GPUProcessMemoryDedicatedUsage":0.0,"GPUProcessMemoryLocalUsage":0.0,)"
      R"("GPUProcessMemorySharedUsage":0.0,"GPUProcessMemoryTotalCommitted":0.0,)"
      R"("GPUUtilizationPercent":-1.0,"Name":"unknown","ProcessID":7},)"
      R"({"Adapter":"luid_0x00000000_0x0000C3F1_phys_0","AdapterName":"Scripted GPU A",)"
      R"("Engines":{"3D":12.5},)"
      R"("GPUMemoryFree":7632.0,"GPUMemoryTotal":512.5,"GPUProcessMemoryDedicatedUsage":150.0,)"
      R"("GPUProcessMemoryLocalUsage":150.0,"GPUProcessMemorySharedUsage":2.0,)"
      R"("GPUProcessMemoryTotalCommitted":152.0,"GPUUtilizationPercent":12.5,)"
      R"("Name":"unknown","ProcessID":12},)"
      R"({"Adapter":"luid_0x00000000_0x0000D2E0_phys_0","AdapterName":"Scripted GPU B",)"
      R"("Engines":{"Copy":3.0},"GPUMemoryFree":2.0,"GPUMemoryTotal":4.0,)"
      R"("GPUProcessMemoryDedicatedUsage":1.0,"GPUProcessMemoryLocalUsage":1.0,)"
      R"("GPUProcessMemorySharedUsage":0.0,"GPUProcessMemoryTotalCommitted":2.0,)"
      R"("GPUUtilizationPercent":-1.0,"Name":"unknown","ProcessID":12}])"
      "\n");
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "");
}

std::wstring RunningTime(std::wstring_view instance, std::wstring_view engine,
                         std::wstring_view units) {
  return L"\\GPU Engine(" + std::wstring(instance) + L"_" + std::wstring(engine) +
         L")\\Running Time=" + std::wstring(units) + L";";
}

// One snapshot through PdhGetRawCounterArrayW: "Running Time" in 100 ns
// units summed per type, and a system that refuses the counter.
TEST(ScriptedPdh, SnapshotSumsRawRunningTimes) {
  const std::wstring times = RunningTime(kGpuA, L"eng_0_engtype_3D", L"122500000") +
                             RunningTime(kGpuA, L"eng_1_engtype_Copy", L"3000000") +
                             RunningTime(kGpuA, L"eng_2_engtype_Copy", L"2000000");
  const std::string memory =
      R"("GPUProcessMemoryDedicatedUsage":150.0,"GPUProcessMemorySharedUsage":2.0,)"
      R"("GPUProcessMemoryLocalUsage":150.0,"GPUProcessMemoryTotalCommitted":152.0,)";
  const std::string head =
      R"("Adapters":[{"Adapter":"luid_0x00000000_0x0000C3F1_phys_0",)"
      R"("AdapterName":"Scripted GPU A","Kind":"GPU","PciAddress":"","GPUMemoryTotal":512.5,)"
      R"("GPUMemoryFree":7632.0,"PowerWatts":null,"PowerLimitWatts":null,"PowerScope":null,)"
      R"("EnergyJoules":null,"EnergySource":null,"IdleEnergyJoulesEstimate":null,)"
      R"("Temperatures":null,"SlowdownTemperatures":null,"Clocks":null,"FanRPM":null,)"
      R"("BusyPercent":null}],"Processes":[{"ProcessID":12,"Name":"unknown",)"
      R"("Adapter":"luid_0x00000000_0x0000C3F1_phys_0",)" +
      memory;
  const struct {
    const char* name;
    std::wstring scenario;
    std::string rest;
    std::string err;
  } cases[] = {
      {"served", OneGpu() + times + kAdapter,
       head +
           R"("EngineBusySeconds":{"3D":12.25,"Copy":0.5},"EnergyJoulesEstimate":null,"Time":T}],"UnreadableProcesses":0,"LostSources":[]})",
       ""},
      {"refused", OneGpu() + times + kAdapter + L"absent=GPU Engine\\Running Time",
       head +
           R"("EngineBusySeconds":null,"EnergyJoulesEstimate":null,"Time":T}],"UnreadableProcesses":0,"LostSources":[]})",
       "Failed to add counter: \\GPU Engine(*)\\Running Time ERROR CODE: -1073738823\r\n"},
  };
  for (const auto& testCase : cases) {
    SCOPED_TRACE(testCase.name);
    ASSERT_TRUE(::SetEnvironmentVariableW(kScenarioVariable, testCase.scenario.c_str()));
    std::string result;
    const CapturedRun run =
        RunCaptured(L"\"" + ExecutablePath() + L"\" " +
                        std::wstring(kChildMode.begin(), kChildMode.end()) + L" 1 snapshot",
                    kResultVariable, &result);
    ::SetEnvironmentVariableW(kScenarioVariable, nullptr);
    ASSERT_TRUE(run.started);
    ASSERT_EQ(run.exitCode, 0u);
    // The time is the machine's own: a number, then the rest byte for byte,
    // the process read at that same time (T), as PDH reads a collection.
    ASSERT_EQ(result.rfind("{\"Time\":", 0), 0u) << result;
    const std::size_t rest = result.find(",\"Adapters\"");
    ASSERT_NE(rest, std::string::npos) << result;
    const std::string time = result.substr(8, rest - 8);
    EXPECT_GT(std::stod(time), 0.0);
    std::string expected = testCase.rest;
    expected.replace(expected.rfind("\"Time\":T") + 7, 1, time);
    EXPECT_EQ(result.substr(rest + 1), expected + "\n");
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, testCase.err);
  }
}

bool IsInFolder(HMODULE module, const std::wstring& folder) {
  wchar_t path[MAX_PATH + 1] = {};
  const DWORD length = ::GetModuleFileNameW(module, path, MAX_PATH + 1);
  const std::wstring file(path, length);
  return file.size() > folder.size() &&
         _wcsnicmp(file.c_str(), folder.c_str(), folder.size()) == 0 &&
         file.find(L'\\', folder.size()) == std::wstring::npos;
}

// The child: loads the library as a host would, proves that the pdh.dll it
// brought in is the scripted one from this folder, calls it `calls` times
// (the machine moving on between calls) and leaves one returned text per
// line in the file the parent named. `mode` "all" calls
// GetGPUDataForAllProcesses instead, "snapshot" GetGPUSnapshotForAllProcesses;
// "stale" leaves kStaleError before each call.
int CallLibraryAsChild(int calls, std::string_view mode) {
  const bool staleError = mode == "stale";
  const HMODULE library = ::LoadLibraryW((ExecutableFolder() + L"gpuproc.dll").c_str());
  if (library == nullptr) return kLibraryNotLoaded;
  const auto function = reinterpret_cast<GetGPUDataForProcessFunction>(
      reinterpret_cast<void*>(::GetProcAddress(library, "GetGPUDataForProcess")));
  const auto everyProcess = reinterpret_cast<GetGPUDataForAllProcessesFunction>(
      reinterpret_cast<void*>(::GetProcAddress(library, "GetGPUDataForAllProcesses")));
  const auto snapshot = reinterpret_cast<GetGPUDataForAllProcessesFunction>(
      reinterpret_cast<void*>(::GetProcAddress(library, "GetGPUSnapshotForAllProcesses")));
  const HMODULE pdh = ::GetModuleHandleW(L"pdh.dll");
  if (function == nullptr || everyProcess == nullptr || snapshot == nullptr || pdh == nullptr ||
      !IsInFolder(pdh, ExecutableFolder())) {
    return kScriptedPdhNotLoaded;
  }
  const auto advance = reinterpret_cast<AdvanceFunction>(
      reinterpret_cast<void*>(::GetProcAddress(pdh, "ScriptedPdhAdvance")));
  const auto openQueries = reinterpret_cast<OpenQueriesFunction>(
      reinterpret_cast<void*>(::GetProcAddress(pdh, "ScriptedPdhOpenQueries")));
  if (advance == nullptr || openQueries == nullptr) return kScriptedPdhNotLoaded;
  // A dxgi.dll that gpuproc.dll brought in must be ours too (the figures
  // and names DXGI gives show that it answered).
  const HMODULE dxgi = ::GetModuleHandleW(L"dxgi.dll");
  const auto liveDxgiObjects = dxgi == nullptr
                                   ? nullptr
                                   : reinterpret_cast<OpenQueriesFunction>(reinterpret_cast<void*>(
                                         ::GetProcAddress(dxgi, "ScriptedDxgiLiveObjects")));
  if (dxgi != nullptr && (liveDxgiObjects == nullptr || !IsInFolder(dxgi, ExecutableFolder()))) {
    return kScriptedDxgiNotLoaded;
  }

  std::string results;
  for (int call = 0; call < calls; ++call) {
    if (call > 0) advance();
    if (staleError) ::SetLastError(kStaleError);
    results += mode == "all" ? everyProcess() : mode == "snapshot" ? snapshot() : function(12);
    results += '\n';
  }
  if (openQueries() != 0) return kQueryLeftOpen;
  if (liveDxgiObjects != nullptr && liveDxgiObjects() != 0) return kDxgiObjectsLeft;

  return windows_test::WriteChildResult(kResultVariable, results) ? 0 : kResultNotWritten;
}

}  // namespace
}  // namespace gpuproc

int main(int argc, char** argv) {
  if (argc == 4 && std::string_view(argv[1]) == gpuproc::kChildMode) {
    return gpuproc::CallLibraryAsChild(std::atoi(argv[2]), argv[3]);
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
