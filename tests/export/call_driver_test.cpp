// The order and outcome of one whole call, on a scripted platform.
#include "export/call_driver.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <algorithm>
#include <map>
#include <nlohmann/json.hpp>

#include "support/scripted_platform.h"

namespace gpuproc::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

constexpr char16_t kInstance[] = u"pid_42_luid_0x00000000_0x0000C3F1_phys_0";
constexpr char16_t kAdapterTotal[] = u"\\GPU Adapter Memory(*)\\Total Committed";
constexpr char16_t kAdapterFree[] = u"\\GPU Adapter Memory(*)\\Free";
constexpr char16_t kAdapterDedicated[] = u"\\GPU Adapter Memory(*)\\Dedicated Usage";
const std::u16string kGpu = u"luid_0x00000000_0x0000C3F1_phys_0";
const std::u16string kOtherGpu = u"luid_0x00000000_0x0000D000_phys_0";

std::vector<std::string> SampledInstanceEvents(const std::string& instance) {
  const std::string memory = "\\GPU Process Memory(" + instance + ")\\";
  const std::string engine = "\\GPU Engine(" + instance + "*engtype_3D)\\Utilization Percentage";
  return {"AddCounter " + memory + "Local Usage",
          "AddCounter " + engine,
          "AddCounter " + memory + "Shared Usage",
          "AddCounter " + memory + "Dedicated Usage",
          "AddCounter " + memory + "Total Committed",
          "Sleep 50",
          "Collect",
          "Sleep 50",
          "Collect",
          "Read " + memory + "Local Usage",
          "Read " + engine,
          "Read " + memory + "Shared Usage",
          "Read " + memory + "Dedicated Usage",
          "Read " + memory + "Total Committed",
          "ReadArray \\GPU Adapter Memory(*)\\Total Committed",
          "ReadArray \\GPU Adapter Memory(*)\\Free",
          "Remove " + memory + "Local Usage",
          "Remove " + engine,
          "Remove " + memory + "Shared Usage",
          "Remove " + memory + "Dedicated Usage",
          "Remove " + memory + "Total Committed"};
}

std::vector<std::string> CallEvents(std::uint32_t processId, bool listsInstances,
                                    const std::vector<std::string>& sampled) {
  std::vector<std::string> events = {
      "OpenQuery",
      "OpenProcess 0x0410 " + std::to_string(processId),
      "GetModuleBaseName 260",
      "CloseHandle",
      "WideCharToMultiByte 0",
      "WideCharToMultiByte 8",
      "EnumSizes pid " + std::to_string(processId) + " GPU Process Memory 0 0"};
  // The enumeration names the process, so a platform may list its instances alone.
  if (listsInstances) {
    events.push_back("EnumFill pid " + std::to_string(processId) + " GPU Process Memory 4 *");
  }
  events.push_back("AddCounter \\GPU Adapter Memory(*)\\Total Committed");
  events.push_back("AddCounter \\GPU Adapter Memory(*)\\Free");
  events.insert(events.end(), sampled.begin(), sampled.end());
  events.push_back("CloseQuery");
  // Nothing printed: the caller prints the report once the call lock is released.
  return events;
}

// The fill request's instance length depends on the names: compare it loosely.
std::vector<std::string> Normalised(std::vector<std::string> events) {
  for (std::string& event : events) {
    if (event.rfind("EnumFill ", 0) == 0) event = event.substr(0, event.rfind(' ')) + " *";
  }
  return events;
}

TEST(CallDriver, QueryThatCannotOpenReturnsTheEmptyTextAndLeavesTheReportAlone) {
  for (const std::uint32_t lastError : {0u, 5u}) {
    SCOPED_TRACE(lastError);
    ScriptedPlatform platform;
    platform.openQueryStatus = static_cast<PdhStatus>(0xC0000BBB);
    platform.lastError = lastError;
    std::string reportText = "[{\"earlier\":1}]";
    std::string printed;
    const char* earlier = reportText.c_str();

    const char* result = CollectGPUData(platform, 42, reportText, printed);

    EXPECT_EQ(result, kEmptyResultText);
    EXPECT_STREQ(result, "");
    EXPECT_EQ(reportText, "[{\"earlier\":1}]");
    EXPECT_STREQ(earlier, "[{\"earlier\":1}]");
    EXPECT_THAT(printed, IsEmpty());
    if (lastError == 0) {
      EXPECT_THAT(platform.events, ElementsAre("OpenQuery", "GetLastError"));
      EXPECT_THAT(platform.errorLines, IsEmpty());
    } else {
      // The system's text without its own line break: the line ends once.
      EXPECT_THAT(platform.events,
                  ElementsAre("OpenQuery", "GetLastError", "FormatMessage 5", "WriteErrorLine"));
      EXPECT_THAT(platform.errorLines, ElementsAre(u"PdhOpenQuery: The system message."));
    }
  }
}

TEST(CallDriver, ProcessWithoutInstancesGivesNullAfterNoPause) {
  ScriptedPlatform platform;
  platform.instanceBuffer.clear();
  std::string reportText;
  std::string printed;

  const char* result = CollectGPUData(platform, 42, reportText, printed);

  EXPECT_STREQ(result, "null");
  EXPECT_EQ(result, reportText.c_str());
  EXPECT_EQ(printed, "null");
  EXPECT_THAT(platform.events, ElementsAreArray(CallEvents(42, false, {})));
  EXPECT_THAT(platform.errorLines, IsEmpty());
  EXPECT_EQ(platform.openQueries, 0);
  EXPECT_EQ(platform.openProcessHandles, 0);
}

TEST(CallDriver, OneMatchingInstanceIsSampledAndReported) {
  ScriptedPlatform platform;
  platform.SetInstances({u"pid_7_luid_0x00000000_0x0000C3F1_phys_0", kInstance});
  const std::u16string memory = u"\\GPU Process Memory(" + std::u16string(kInstance) + u")\\";
  platform.values = {
      {memory + u"Local Usage", 157286400},
      {u"\\GPU Engine(" + std::u16string(kInstance) + u"*engtype_3D)\\Utilization Percentage",
       12.5},
      {memory + u"Shared Usage", 1048576},
      {memory + u"Dedicated Usage", 0},
      {memory + u"Total Committed", 104857},
  };
  // Another GPU's figures are not this record's.
  platform.arrays[kAdapterTotal] = {{kOtherGpu, 0, 5}, {kGpu, 0, 1099511627776}};
  platform.arrays[kAdapterFree] = {{kGpu, 0, 10}, {kOtherGpu, 0, 7}};
  std::string reportText;
  std::string printed;

  const char* result = CollectGPUData(platform, 42, reportText, printed);

  EXPECT_STREQ(result,
               "[{\"GPUMemoryFree\":9.5367431640625e-06,\"GPUMemoryTotal\":1048576.0,"
               "\"GPUProcessMemoryDedicatedUsage\":0.0,\"GPUProcessMemoryLocalUsage\":150.0,"
               "\"GPUProcessMemorySharedUsage\":1.0,"
               "\"GPUProcessMemoryTotalCommitted\":0.09999942779541016,"
               "\"GPUUtilizationPercent\":12.5,\"Name\":\"host.exe\",\"ProcessID\":42}]");
  EXPECT_EQ(printed,
            "[\n    {\n        \"GPUMemoryFree\": 9.5367431640625e-06,\n"
            "        \"GPUMemoryTotal\": 1048576.0,\n"
            "        \"GPUProcessMemoryDedicatedUsage\": 0.0,\n"
            "        \"GPUProcessMemoryLocalUsage\": 150.0,\n"
            "        \"GPUProcessMemorySharedUsage\": 1.0,\n"
            "        \"GPUProcessMemoryTotalCommitted\": 0.09999942779541016,\n"
            "        \"GPUUtilizationPercent\": 12.5,\n"
            "        \"Name\": \"host.exe\",\n"
            "        \"ProcessID\": 42\n    }\n]");
  EXPECT_THAT(Normalised(platform.events),
              ElementsAreArray(CallEvents(42, true, SampledInstanceEvents(Narrow(kInstance)))));
  EXPECT_THAT(platform.errorLines, IsEmpty());
}

TEST(CallDriver, EachOfTwoInstancesHasItsOwnWindowAndAdapterReading) {
  ScriptedPlatform platform;
  const std::u16string second = u"pid_42_" + kOtherGpu;
  platform.SetInstances({kInstance, second});
  // The adapters move between the two instances' windows; each record takes
  // its own GPU's figure at the end of its own window.
  platform.arraysByCollection[kAdapterFree] = {{{kGpu, 0, 1}, {kOtherGpu, 0, 1}},
                                               {{kGpu, 0, 2097152}, {kOtherGpu, 0, 9}},
                                               {{kGpu, 0, 3}, {kOtherGpu, 0, 3}},
                                               {{kGpu, 0, 9}, {kOtherGpu, 0, 4194304}}};
  std::string reportText;
  std::string printed;

  CollectGPUData(platform, 42, reportText, printed);

  std::vector<std::string> sampled = SampledInstanceEvents(Narrow(kInstance));
  const std::vector<std::string> secondEvents = SampledInstanceEvents(Narrow(second));
  sampled.insert(sampled.end(), secondEvents.begin(), secondEvents.end());
  EXPECT_THAT(Normalised(platform.events), ElementsAreArray(CallEvents(42, true, sampled)));

  const auto report = nlohmann::json::parse(reportText);
  ASSERT_EQ(report.size(), 2u);
  EXPECT_EQ(report[0]["GPUMemoryFree"], 2.0);
  EXPECT_EQ(report[1]["GPUMemoryFree"], 4.0);
  for (const auto& record : report) {
    EXPECT_EQ(record["ProcessID"], 42u);
    EXPECT_EQ(record["Name"], "host.exe");
    EXPECT_EQ(record["GPUProcessMemoryLocalUsage"], -9.5367431640625e-07);
    EXPECT_EQ(record["GPUUtilizationPercent"], -1.0);
  }
}

TEST(CallDriver, RefusedCountersWriteTheirLinesAndReadMinusOne) {
  ScriptedPlatform platform;
  platform.SetInstances({kInstance});
  const std::u16string memory = u"\\GPU Process Memory(" + std::u16string(kInstance) + u")\\";
  const std::u16string engine =
      u"\\GPU Engine(" + std::u16string(kInstance) + u"*engtype_3D)\\Utilization Percentage";
  platform.refusedPaths = {{kAdapterFree, static_cast<PdhStatus>(0xC0000BB8)},
                           {engine, static_cast<PdhStatus>(0xC0000BB9)}};
  platform.values = {{memory + u"Local Usage", 1048576},
                     {memory + u"Shared Usage", 1048576},
                     {memory + u"Dedicated Usage", 1048576},
                     {memory + u"Total Committed", 1048576}};
  platform.arrays[kAdapterTotal] = {{kGpu, 0, 1048576}};
  platform.arrays[kAdapterFree] = {{kGpu, 0, 1048576}};
  std::string reportText;
  std::string printed;

  CollectGPUData(platform, 42, reportText, printed);

  EXPECT_THAT(
      platform.errorLines,
      ElementsAre(u"Failed to add counter: \\GPU Adapter Memory(*)\\Free ERROR CODE: -1073738824",
                  u"Failed to add counter: " + engine + u" ERROR CODE: -1073738823"));
  const auto record = nlohmann::json::parse(reportText).at(0);
  EXPECT_EQ(record["GPUMemoryFree"], -9.5367431640625e-07);
  EXPECT_EQ(record["GPUUtilizationPercent"], -1.0);
  EXPECT_EQ(record["GPUMemoryTotal"], 1.0);
  EXPECT_EQ(record["GPUProcessMemoryLocalUsage"], 1.0);
  // A refused counter is never read or removed: only four removals.
  const auto removals =
      std::count_if(platform.events.begin(), platform.events.end(),
                    [](const std::string& e) { return e.rfind("Remove ", 0) == 0; });
  EXPECT_EQ(removals, 4);
  EXPECT_EQ(std::count(platform.events.begin(), platform.events.end(), "Read " + Narrow(engine)),
            0);
}

// Where "GPU Adapter Memory" has no "Free" (every real Windows), free memory
// is the GPU's dedicated size as the system describes it less its
// "Dedicated Usage", at least 0; the missing counter writes no line.
TEST(CallDriver, FreeWithoutAFreeCounterIsTheDedicatedSizeLessItsUsage) {
  constexpr double kMiB = 1048576;
  const struct {
    const char* name;
    std::vector<CounterItem> dedicatedUsage;
    std::vector<AdapterDescription> adapters;
    std::map<std::u16string, PdhStatus> refused;
    double free;  // MiB
    std::vector<std::u16string> errorLines;
  } cases[] = {
      {"one GPU",
       {{kOtherGpu, 0, 1}, {kGpu, 0, 1024 * kMiB}},
       {{u"luid_0x00000000_0x0000D000", "other", 1},
        {u"luid_0x00000000_0x0000c3f1", "A", 8192 * kMiB}},
       {},
       7168.0,
       {}},
      // An instance may go on after phys_<N>: every one of the GPU adds up.
      {"usage past an integrated GPU's 128 MiB carve-out",
       {{kGpu, 0, 100 * kMiB}, {kGpu + u"_part_1", 0, 60 * kMiB}, {kGpu + u"1", 0, 1}},
       {{u"luid_0x00000000_0x0000C3F1", "iGPU", 128 * kMiB}},
       {},
       0.0,
       {}},
      {"no adapter with that LUID",
       {{kGpu, 0, kMiB}},
       {{u"luid_0x00000001_0x0000C3F1", "B", kMiB}},
       {},
       -1.0 / kMiB,
       {}},
      {"usage refused",
       {},
       {{u"luid_0x00000000_0x0000C3F1", "A", kMiB}},
       {{kAdapterDedicated, static_cast<PdhStatus>(0xC0000BB8)}},
       -1.0 / kMiB,
       {u"Failed to add counter: \\GPU Adapter Memory(*)\\Dedicated Usage ERROR CODE: "
        u"-1073738824"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedPlatform platform;
    platform.SetInstances({kInstance});
    platform.refusedPaths = c.refused;
    platform.refusedPaths[kAdapterFree] = kPdhCStatusNoCounter;
    platform.arrays[kAdapterDedicated] = c.dedicatedUsage;
    platform.adapters = c.adapters;
    std::string reportText;
    std::string printed;

    CollectGPUData(platform, 42, reportText, printed);

    EXPECT_EQ(nlohmann::json::parse(reportText).at(0)["GPUMemoryFree"], c.free);
    EXPECT_THAT(platform.errorLines, ElementsAreArray(c.errorLines));
    const auto added = std::find(platform.events.begin(), platform.events.end(),
                                 "AddCounter " + Narrow(kAdapterFree));
    ASSERT_NE(added, platform.events.end());
    EXPECT_EQ(*std::next(added), "AddCounter " + Narrow(kAdapterDedicated));
    // Described once per call, however many records need it.
    EXPECT_EQ(std::count(platform.events.begin(), platform.events.end(), "DescribeAdapters"), 1);
  }
}

TEST(CallDriver, AllMembersRefusedStillPausesSamplesAndReportsTheRecord) {
  ScriptedPlatform platform;
  platform.SetInstances({kInstance});
  std::string reportText;
  std::string printed;
  for (const std::u16string& path : std::vector<std::u16string>{
           u"\\GPU Process Memory(" + std::u16string(kInstance) + u")\\Local Usage",
           u"\\GPU Engine(" + std::u16string(kInstance) + u"*engtype_3D)\\Utilization Percentage",
           u"\\GPU Process Memory(" + std::u16string(kInstance) + u")\\Shared Usage",
           u"\\GPU Process Memory(" + std::u16string(kInstance) + u")\\Dedicated Usage",
           u"\\GPU Process Memory(" + std::u16string(kInstance) + u")\\Total Committed"}) {
    platform.refusedPaths[path] = static_cast<PdhStatus>(0xC0000BC0);
  }

  CollectGPUData(platform, 42, reportText, printed);

  EXPECT_EQ(platform.errorLines.size(), 5u);
  EXPECT_EQ(std::count(platform.events.begin(), platform.events.end(), "Sleep 50"), 2);
  EXPECT_EQ(std::count(platform.events.begin(), platform.events.end(), "Collect"), 2);
  EXPECT_EQ(reportText,
            "[{\"GPUMemoryFree\":-9.5367431640625e-07,\"GPUMemoryTotal\":-9.5367431640625e-07,"
            "\"GPUProcessMemoryDedicatedUsage\":-9.5367431640625e-07,"
            "\"GPUProcessMemoryLocalUsage\":-9.5367431640625e-07,"
            "\"GPUProcessMemorySharedUsage\":-9.5367431640625e-07,"
            "\"GPUProcessMemoryTotalCommitted\":-9.5367431640625e-07,"
            "\"GPUUtilizationPercent\":-1.0,\"Name\":\"host.exe\",\"ProcessID\":42}]");
}

TEST(CallDriver, OnlyInstancesOfTheProcessItselfAreSampled) {
  ScriptedPlatform platform;
  platform.SetInstances({u"pid_12_luid_0x00000000_0x00000100_phys_0",
                         u"pid_123_luid_0x00000000_0x00000100_phys_0",
                         u"pid_1200_luid_0x00000000_0x00000100_phys_0",
                         u"pid_12_luid_0x00000000_0x00000100_phys_0", u"pid_12"});
  platform.processOpens = false;
  platform.limitedProcessOpens = false;
  std::string reportText;
  std::string printed;

  CollectGPUData(platform, 12, reportText, printed);

  // The duplicate name is sampled twice; pid_123 and pid_1200 are not sampled.
  const auto report = nlohmann::json::parse(reportText);
  ASSERT_EQ(report.size(), 3u);
  EXPECT_EQ(report[0]["Name"], "unknown");
  EXPECT_EQ(std::count(platform.events.begin(), platform.events.end(),
                       "AddCounter \\GPU Process Memory(pid_123_luid_0x00000000_0x00000100_phys_0)"
                       "\\Local Usage"),
            0);
  EXPECT_EQ(platform.openProcessHandles, 0);
}

TEST(CallDriver, LargestProcessIdIsPatternedAndReportedUnsigned) {
  ScriptedPlatform platform;
  platform.SetInstances({u"pid_4294967295_luid_0x00000000_0x00000100_phys_0"});
  std::string reportText;
  std::string printed;

  CollectGPUData(platform, 4294967295u, reportText, printed);

  EXPECT_NE(reportText.find("\"ProcessID\":4294967295}"), std::string::npos) << reportText;
  EXPECT_EQ(platform.events[1], "OpenProcess 0x0410 4294967295");
}

TEST(CallDriver, LaterFailedCallKeepsTheEarlierReportReadable) {
  ScriptedPlatform platform;
  std::string reportText;
  std::string printed;
  const char* first = CollectGPUData(platform, 1, reportText, printed);
  ASSERT_STREQ(first, "null");

  platform.openQueryStatus = static_cast<PdhStatus>(0xC0000BBB);
  const char* second = CollectGPUData(platform, 1, reportText, printed);

  EXPECT_STREQ(second, "");
  EXPECT_STREQ(first, "null");
  EXPECT_EQ(printed, "null");
}

}  // namespace
}  // namespace gpuproc::testing
