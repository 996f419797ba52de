// A snapshot on a scripted platform: one collection, no pause, the document
// byte for byte.
#include "export/snapshot_driver.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "counters/instance_discovery.h"
#include "support/scripted_platform.h"

namespace gpuproc::testing {
namespace {

using ::testing::Contains;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using ::testing::Not;

constexpr std::uint32_t kInvalid = 0xC0000BBA;  // PDH_CSTATUS_INVALID_DATA
const std::u16string kGpuA = u"luid_0x00000000_0x00000300_phys_0";
const std::u16string kGpuB = u"luid_0x00000000_0x00000010_phys_0";
const std::u16string kRunningTime(kEngineRunningTimePath);

std::u16string Path(AllProcessesCounter counter) {
  return std::u16string(kAllProcessesCounterPaths[counter]);
}

TEST(SnapshotDriver, OneCollectionGivesTheDocumentWithSummedEngineTimes) {
  ScriptedPlatform platform;
  platform.monotonicSeconds = 81234.5;
  const std::u16string p9a = u"pid_9_" + kGpuA;
  const std::u16string p9b = u"pid_9_" + kGpuB;
  const std::u16string p12 = u"pid_12_" + kGpuA;
  platform.arrays[Path(kAllDedicatedUsage)] = {{p12, 0, 1048576}, {p9a, 0, 3145728}};
  platform.arrays[Path(kAllSharedUsage)] = {{p9a, 0, 0}, {p12, kInvalid, 0}};
  platform.arrays[Path(kAllLocalUsage)] = {{p9a, 0, 3145728}};
  platform.arrays[Path(kAllTotalCommitted)] = {{p9a, 0, 4194304}};
  platform.rawArrays[kRunningTime] = {{p9a + u"_eng_0_engtype_3D", 0, 122'500'000},
                                      // Two copy engines busy add up; 100 ns units.
                                      {p9a + u"_eng_1_engtype_Copy", 0, 3'000'000},
                                      {p9a + u"_eng_2_engtype_Copy", 1, 2'000'000},
                                      // One unreadable engine makes its whole type unknown.
                                      {p9a + u"_eng_3_engtype_VideoDecode", 0, 10},
                                      {p9a + u"_eng_4_engtype_VideoDecode", kInvalid, 0},
                                      // Engines only: still an entry.
                                      {p9b + u"_eng_0_engtype_Compute", 0, 7},
                                      {u"not an engine", 0, 50}};
  platform.arrays[Path(kAllAdapterTotalCommitted)] = {{kGpuA, 0, 1342177280}};
  platform.arrays[Path(kAllAdapterFree)] = {{kGpuA, 0, 7516192768}, {kGpuB, kInvalid, 0}};
  // The system's description names the kind; a GPU it does not describe is a GPU.
  platform.adapters = {{u"luid_0x00000000_0x00000300", "GPU \"A\"", -1, "0000:03:00.0", "NPU"}};
  // Process 9 on GPU A was read a quarter second before the collection
  // ended; the others as the platform does not say, at its end.
  platform.processReadTimes = {{p9a, 81234.25}, {u"pid_77_" + kGpuA, 81234.0}};
  // A source this process read before and could not open again.
  platform.lostSources = {"nvml"};
  std::string text;

  const char* result = CollectSnapshot(platform, text);

  EXPECT_EQ(result, text.c_str());
  EXPECT_EQ(
      text,
      "{\"Time\":81234.5,\"Adapters\":["
      "{\"Adapter\":\"luid_0x00000000_0x00000010_phys_0\",\"AdapterName\":\"\",\"Kind\":\"GPU\","
      "\"PciAddress\":\"\",\"GPUMemoryTotal\":null,\"GPUMemoryFree\":null,"
      "\"PowerWatts\":null,\"PowerLimitWatts\":null,\"PowerScope\":null,\"EnergyJoules\":null,"
      "\"EnergySource\":null,\"IdleEnergyJoulesEstimate\":null,\"Temperatures\":null,"
      "\"SlowdownTemperatures\":null,\"Clocks\":null,\"FanRPM\":null,\"BusyPercent\":null},"
      "{\"Adapter\":\"luid_0x00000000_0x00000300_phys_0\",\"AdapterName\":\"GPU "
      "\\\"A\\\"\",\"Kind\":\"NPU\","
      "\"PciAddress\":\"0000:03:00.0\",\"GPUMemoryTotal\":1280.0,\"GPUMemoryFree\":7168.0,"
      "\"PowerWatts\":null,\"PowerLimitWatts\":null,\"PowerScope\":null,\"EnergyJoules\":null,"
      "\"EnergySource\":null,\"IdleEnergyJoulesEstimate\":null,\"Temperatures\":null,"
      "\"SlowdownTemperatures\":null,\"Clocks\":null,\"FanRPM\":null,\"BusyPercent\":null}],"
      "\"Processes\":["
      "{\"ProcessID\":9,\"Name\":\"host.exe\",\"Adapter\":\"luid_0x00000000_0x00000010_phys_0\","
      "\"GPUProcessMemoryDedicatedUsage\":null,\"GPUProcessMemorySharedUsage\":null,"
      "\"GPUProcessMemoryLocalUsage\":null,\"GPUProcessMemoryTotalCommitted\":null,"
      "\"EngineBusySeconds\":{\"Compute\":7e-07},\"EnergyJoulesEstimate\":null,\"Time\":81234.5},"
      "{\"ProcessID\":9,\"Name\":\"host.exe\",\"Adapter\":\"luid_0x00000000_0x00000300_phys_0\","
      "\"GPUProcessMemoryDedicatedUsage\":3.0,\"GPUProcessMemorySharedUsage\":0.0,"
      "\"GPUProcessMemoryLocalUsage\":3.0,\"GPUProcessMemoryTotalCommitted\":4.0,"
      "\"EngineBusySeconds\":{\"3D\":12.25,\"Copy\":0.5,\"VideoDecode\":null},"
      "\"EnergyJoulesEstimate\":null,\"Time\":81234.25},"
      "{\"ProcessID\":12,\"Name\":\"host.exe\",\"Adapter\":\"luid_0x00000000_0x00000300_phys_0\","
      "\"GPUProcessMemoryDedicatedUsage\":1.0,\"GPUProcessMemorySharedUsage\":null,"
      "\"GPUProcessMemoryLocalUsage\":null,\"GPUProcessMemoryTotalCommitted\":null,"
      "\"EngineBusySeconds\":{},\"EnergyJoulesEstimate\":null,\"Time\":81234.5}],"
      "\"UnreadableProcesses\":0,\"LostSources\":[\"nvml\"]}");

  // One collection and no pause; the clock read with it; the query closed.
  EXPECT_EQ(std::count(platform.events.begin(), platform.events.end(), "Collect"), 1);
  EXPECT_THAT(platform.events, Not(Contains("Sleep 50")));
  EXPECT_THAT(platform.events, Contains("MonotonicSeconds"));
  EXPECT_EQ(platform.events.back(), "CloseQuery");
  EXPECT_THAT(platform.errorLines, IsEmpty());
  EXPECT_THAT(platform.output, IsEmpty());
  EXPECT_EQ(platform.openProcessHandles, 0);
}

TEST(SnapshotDriver, FailuresGiveTheirLinesAndNullOrTheEmptyText) {
  struct Case {
    const char* name;
    bool refuseRunningTime;
    bool failRawRead;
  };
  for (const Case& c : {Case{"refused", true, false}, Case{"unreadable", false, true}}) {
    SCOPED_TRACE(c.name);
    ScriptedPlatform platform;
    if (c.refuseRunningTime) {
      platform.refusedPaths[kRunningTime] = static_cast<PdhStatus>(0xC0000BB9);
    }
    platform.arrays[Path(kAllDedicatedUsage)] = {{u"pid_4_" + kGpuA, 0, 0}};
    std::string text;

    CollectSnapshot(platform, text);

    EXPECT_THAT(text, ::testing::HasSubstr("\"EngineBusySeconds\":null"));
    if (c.refuseRunningTime) {
      EXPECT_THAT(platform.errorLines,
                  ElementsAreArray({u"Failed to add counter: \\GPU Engine(*)\\Running Time ERROR "
                                    u"CODE: -1073738823"}));
      EXPECT_THAT(platform.events, Not(Contains("ReadRawArray " + Narrow(kRunningTime))));
    } else {
      EXPECT_THAT(platform.errorLines, IsEmpty());
    }
  }

  ScriptedPlatform closed;
  closed.openQueryStatus = static_cast<PdhStatus>(0xC0000BBB);
  closed.lastError = 5;
  std::string text = "earlier";
  EXPECT_EQ(CollectSnapshot(closed, text), kEmptyResultText);
  EXPECT_EQ(text, "earlier");
  EXPECT_THAT(closed.errorLines, ElementsAreArray({u"PdhOpenQuery: The system message."}));
}

}  // namespace
}  // namespace gpuproc::testing
