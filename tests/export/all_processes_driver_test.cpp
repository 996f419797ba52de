// A whole-machine call on a scripted platform: one window, grouping, order.
#include "export/all_processes_driver.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>

#include "counters/instance_discovery.h"
#include "support/scripted_platform.h"

namespace gpuproc::testing {
namespace {

using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

constexpr std::uint32_t kInvalid = 0xC0000BBA;  // PDH_CSTATUS_INVALID_DATA
const std::u16string kGpuA = u"luid_0x00000000_0x00000300_phys_0";
const std::u16string kGpuB = u"luid_0x00000000_0x00000010_phys_0";

std::u16string Path(AllProcessesCounter counter) {
  return std::u16string(kAllProcessesCounterPaths[counter]);
}

std::vector<std::string> WindowEvents(bool reads) {
  std::vector<std::string> events = {"OpenQuery"};
  for (const auto path : kAllProcessesCounterPaths) events.push_back("AddCounter " + Narrow(path));
  for (const char* step : {"Sleep 50", "Collect", "Sleep 50", "Collect"}) events.push_back(step);
  if (reads) {
    for (const auto path : kAllProcessesCounterPaths) events.push_back("ReadArray " + Narrow(path));
  }
  return events;
}

TEST(AllProcessesDriver, EveryInstanceIsSampledInOneWindowAndGroupedPerProcessAndGpu) {
  ScriptedPlatform platform;
  const std::u16string p9a = u"pid_9_" + kGpuA;
  const std::u16string p9b = u"pid_9_" + kGpuB;
  const std::u16string p12 = u"pid_12_" + kGpuA;
  // Platform order is not the report's order: pid 12 first, pid 9's GPUs reversed.
  platform.arrays[Path(kAllLocalUsage)] = {
      {p12, 0, 1048576}, {p9b, 0, 2097152}, {p9a, 0, 3145728}, {u"_Total", 0, 1}};
  platform.arrays[Path(kAllSharedUsage)] = {{p12, kInvalid, 0}, {p9b, 0, 0}, {p9a, 1, 0}};
  platform.arrays[Path(kAllTotalCommitted)] = {{p9a, 0, 4194304}};
  platform.arrays[Path(kAllUtilization)] = {
      {p9a + u"_eng_0_engtype_3D", 0, 12.5},
      {p9a + u"_eng_1_engtype_3D", 0, 40.0},
      {p9a + u"_eng_2_engtype_VideoDecode", kInvalid, 99.0},
      {p9a + u"_eng_3_engtype_Copy", 0, 0.0},
      {p9a + u"_eng_4_engtype_Copy", kInvalid, 0.0},
      {p9b + u"_eng_0_engtype_Compute", 0, 7.0},
      {u"pid_13_" + kGpuB + u"_eng_0_engtype_3D", 0, 3.0},  // engines only: still a record
      {u"not an engine", 0, 50.0}};
  platform.arrays[Path(kAllAdapterTotalCommitted)] = {{kGpuA, 0, 1073741824}};
  // GPU A has a name; GPU B is unknown to the system.
  platform.adapters = {{u"luid_0x00000000_0x00000300", "GPU \"A\"", -1}};
  platform.arrays[Path(kAllAdapterFree)] = {{kGpuA, 0, 2147483648}, {kGpuB, kInvalid, 0}};
  std::string reportText;

  const char* result = CollectAllGPUData(platform, reportText);

  constexpr const char* kNone = "-9.5367431640625e-07";
  const std::string expected =
      std::string("[") +
      "{\"Adapter\":\"luid_0x00000000_0x00000010_phys_0\",\"AdapterName\":\"\","
      "\"Engines\":{\"Compute\":7.0},"
      "\"GPUMemoryFree\":" +
      kNone + ",\"GPUMemoryTotal\":" + kNone + ",\"GPUProcessMemoryDedicatedUsage\":" + kNone +
      ",\"GPUProcessMemoryLocalUsage\":2.0,\"GPUProcessMemorySharedUsage\":0.0,"
      "\"GPUProcessMemoryTotalCommitted\":" +
      kNone +
      ",\"GPUUtilizationPercent\":-1.0,\"Name\":\"host.exe\",\"ProcessID\":9},"
      "{\"Adapter\":\"luid_0x00000000_0x00000300_phys_0\",\"AdapterName\":\"GPU \\\"A\\\"\","
      "\"Engines\":{\"3D\":40.0,\"Copy\":0.0,\"VideoDecode\":-1.0},"
      "\"GPUMemoryFree\":2048.0,\"GPUMemoryTotal\":1024.0,\"GPUProcessMemoryDedicatedUsage\":" +
      kNone +
      ",\"GPUProcessMemoryLocalUsage\":3.0,\"GPUProcessMemorySharedUsage\":0.0,"
      "\"GPUProcessMemoryTotalCommitted\":4.0,\"GPUUtilizationPercent\":40.0,"
      "\"Name\":\"host.exe\",\"ProcessID\":9},"
      "{\"Adapter\":\"luid_0x00000000_0x00000300_phys_0\",\"AdapterName\":\"GPU \\\"A\\\"\","
      "\"Engines\":{},"
      "\"GPUMemoryFree\":2048.0,\"GPUMemoryTotal\":1024.0,\"GPUProcessMemoryDedicatedUsage\":" +
      kNone + ",\"GPUProcessMemoryLocalUsage\":1.0,\"GPUProcessMemorySharedUsage\":" + kNone +
      ",\"GPUProcessMemoryTotalCommitted\":" + kNone +
      ",\"GPUUtilizationPercent\":-1.0,\"Name\":\"host.exe\",\"ProcessID\":12},"
      "{\"Adapter\":\"luid_0x00000000_0x00000010_phys_0\",\"AdapterName\":\"\","
      "\"Engines\":{\"3D\":3.0},"
      "\"GPUMemoryFree\":" +
      kNone + ",\"GPUMemoryTotal\":" + kNone + ",\"GPUProcessMemoryDedicatedUsage\":" + kNone +
      ",\"GPUProcessMemoryLocalUsage\":" + kNone + ",\"GPUProcessMemorySharedUsage\":" + kNone +
      ",\"GPUProcessMemoryTotalCommitted\":" + kNone +
      ",\"GPUUtilizationPercent\":3.0,\"Name\":\"host.exe\",\"ProcessID\":13}]";
  EXPECT_EQ(result, reportText.c_str());
  EXPECT_EQ(reportText, expected);

  // Every counter in one query, two collections, then the reads; the names
  // after the window, one lookup per process; nothing on standard output.
  const std::vector<std::string> window = WindowEvents(true);
  ASSERT_GE(platform.events.size(), window.size());
  EXPECT_THAT(std::vector<std::string>(platform.events.begin(),
                                       platform.events.begin() + std::ssize(window)),
              ElementsAreArray(window));
  std::vector<std::string> lookups;
  std::copy_if(platform.events.begin(), platform.events.end(), std::back_inserter(lookups),
               [](const std::string& event) { return event.rfind("OpenProcess", 0) == 0; });
  EXPECT_THAT(lookups, ElementsAreArray({"OpenProcess 0x0410 9", "OpenProcess 0x0410 12",
                                         "OpenProcess 0x0410 13"}));
  EXPECT_EQ(platform.events.back(), "CloseQuery");
  EXPECT_THAT(platform.output, IsEmpty());
  EXPECT_EQ(platform.openQueries, 0);
  EXPECT_EQ(platform.openProcessHandles, 0);
}

TEST(AllProcessesDriver, FreeWithoutAFreeCounterComesFromEachGpusDedicatedSize) {
  constexpr double kMiB = 1048576;
  ScriptedPlatform platform;
  platform.refusedPaths[Path(kAllAdapterFree)] = kPdhCStatusNoCounter;
  platform.arrays[Path(kAllLocalUsage)] = {{u"pid_5_" + kGpuA, 0, 0}, {u"pid_5_" + kGpuB, 0, 0}};
  platform.arrays[Path(kAllAdapterTotalCommitted)] = {{kGpuA, 0, 3 * kMiB}, {kGpuB, 0, 5 * kMiB}};
  platform.arrays[u"\\GPU Adapter Memory(*)\\Dedicated Usage"] = {{kGpuA, 0, kMiB},
                                                                  {kGpuB, 0, 2 * kMiB}};
  platform.adapters = {{u"luid_0x00000000_0x00000300", "A", 10 * kMiB},
                       {u"luid_0x00000000_0x00000010", "B", 4 * kMiB}};
  std::string reportText;

  CollectAllGPUData(platform, reportText);

  const auto report = nlohmann::json::parse(reportText);
  ASSERT_EQ(report.size(), 2u);
  EXPECT_EQ(report[0]["AdapterName"], "B");
  EXPECT_EQ(report[0]["GPUMemoryTotal"], 5.0);
  EXPECT_EQ(report[0]["GPUMemoryFree"], 2.0);
  EXPECT_EQ(report[1]["AdapterName"], "A");
  EXPECT_EQ(report[1]["GPUMemoryTotal"], 3.0);
  EXPECT_EQ(report[1]["GPUMemoryFree"], 9.0);
  EXPECT_THAT(platform.errorLines, IsEmpty());
}

TEST(AllProcessesDriver, RefusedCountersAreNeverReadAndGiveAnEmptyArray) {
  // Wine refuses wildcard paths, and its array read aborts the process.
  ScriptedPlatform platform;
  for (const auto path : kAllProcessesCounterPaths) {
    platform.refusedPaths[std::u16string(path)] = static_cast<PdhStatus>(0xC0000BB8);
  }
  std::string reportText = "earlier";

  EXPECT_STREQ(CollectAllGPUData(platform, reportText), "[]");

  std::vector<std::string> expected = WindowEvents(false);
  for (std::size_t i = 0; i < kAllProcessesCounterCount; ++i) {
    expected.insert(expected.begin() + 2 + 2 * std::ptrdiff_t(i), "WriteErrorLine");
  }
  expected.push_back("CloseQuery");
  EXPECT_THAT(platform.events, ElementsAreArray(expected));
  ASSERT_EQ(platform.errorLines.size(), kAllProcessesCounterCount);
  EXPECT_EQ(platform.errorLines[4],
            u"Failed to add counter: \\GPU Engine(*)\\Utilization Percentage ERROR CODE: "
            u"-1073738824");
}

TEST(AllProcessesDriver, QueryThatCannotOpenReturnsTheEmptyTextAndLeavesTheReportAlone) {
  ScriptedPlatform platform;
  platform.openQueryStatus = static_cast<PdhStatus>(0xC0000BBB);
  platform.lastError = 5;
  std::string reportText = "[]";

  const char* result = CollectAllGPUData(platform, reportText);

  EXPECT_EQ(result, kEmptyResultText);
  EXPECT_EQ(reportText, "[]");
  EXPECT_THAT(platform.errorLines, ElementsAreArray({u"PdhOpenQuery: The system message."}));
  EXPECT_THAT(platform.output, IsEmpty());
}

}  // namespace
}  // namespace gpuproc::testing
