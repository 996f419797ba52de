// The records `gpuproc -n` shows after its first round, from two snapshots.
#include <gtest/gtest.h>

#include "snapshot_rounds.h"

namespace gpuproc::tool {
namespace {

TEST(RecordsBetween, BusySecondsOverTheIntervalInTheAllProcessesShape) {
  const auto before = nlohmann::json::parse(R"({"Time": 100.0, "Adapters": [], "Processes": [
    {"ProcessID": 7, "Name": "a", "Adapter": "gpu0", "EngineBusySeconds": {"3D": 10.0, "Copy": 1.0}},
    {"ProcessID": 9, "Name": "old", "Adapter": "gpu0", "EngineBusySeconds": {"3D": 50.0}}]})");
  // 4 s later: 7's 3D busy half the time, two copy engines busy throughout,
  // a compute client new since then; 9 is a new process under an old id; 11
  // is new, and no adapter entry names its GPU.
  const auto after = nlohmann::json::parse(R"({"Time": 104.0,
    "Adapters": [{"Adapter": "gpu0", "AdapterName": "Navi 21", "PciAddress": "0000:03:00.0",
                  "GPUMemoryTotal": 1280.0, "GPUMemoryFree": null}],
    "Processes": [
    {"ProcessID": 7, "Name": "a", "Adapter": "gpu0", "GPUProcessMemoryDedicatedUsage": 151.5,
     "GPUProcessMemorySharedUsage": 20.0, "GPUProcessMemoryLocalUsage": null,
     "GPUProcessMemoryTotalCommitted": 171.5,
     "EngineBusySeconds": {"3D": 12.0, "Copy": 9.0, "Compute": 0.5}},
    {"ProcessID": 9, "Name": "new", "Adapter": "gpu0", "EngineBusySeconds": {"3D": 1.0}},
    {"ProcessID": 11, "Name": "b", "Adapter": "gpu1", "EngineBusySeconds": {"Copy": 3.0}}]})");
  EXPECT_EQ(
      RecordsBetween(before, after).dump(),
      R"([{"Adapter":"gpu0","AdapterName":"Navi 21","Engines":{"3D":50.0,"Compute":-1.0,"Copy":200.0},)"
      R"("GPUMemoryFree":-9.5367431640625e-07,"GPUMemoryTotal":1280.0,"GPUProcessMemoryDedicatedUsage":151.5,)"
      R"("GPUProcessMemoryLocalUsage":-9.5367431640625e-07,"GPUProcessMemorySharedUsage":20.0,)"
      R"("GPUProcessMemoryTotalCommitted":171.5,"GPUUtilizationPercent":50.0,"Name":"a","ProcessID":7},)"
      R"({"Adapter":"gpu0","AdapterName":"Navi 21","Engines":{"3D":-1.0},"GPUMemoryFree":-9.5367431640625e-07,)"
      R"("GPUMemoryTotal":1280.0,"GPUProcessMemoryDedicatedUsage":-9.5367431640625e-07,)"
      R"("GPUProcessMemoryLocalUsage":-9.5367431640625e-07,"GPUProcessMemorySharedUsage":-9.5367431640625e-07,)"
      R"("GPUProcessMemoryTotalCommitted":-9.5367431640625e-07,"GPUUtilizationPercent":-1.0,"Name":"new","ProcessID":9},)"
      R"({"Adapter":"gpu1","AdapterName":"","Engines":{"Copy":-1.0},"GPUMemoryFree":-9.5367431640625e-07,)"
      R"("GPUMemoryTotal":-9.5367431640625e-07,"GPUProcessMemoryDedicatedUsage":-9.5367431640625e-07,)"
      R"("GPUProcessMemoryLocalUsage":-9.5367431640625e-07,"GPUProcessMemorySharedUsage":-9.5367431640625e-07,)"
      R"("GPUProcessMemoryTotalCommitted":-9.5367431640625e-07,"GPUUtilizationPercent":-1.0,"Name":"b","ProcessID":11}])");
  // Not a snapshot on either side, or no time between them: nothing to divide.
  for (const char* other : {"[]", "null", R"({"Time": 1, "Adapters": []})"}) {
    SCOPED_TRACE(other);
    EXPECT_EQ(RecordsBetween(nlohmann::json::parse(other), after), nlohmann::json::array());
    EXPECT_EQ(RecordsBetween(before, nlohmann::json::parse(other)), nlohmann::json::array());
  }
  EXPECT_EQ(RecordsBetween(after, after)[0]["Engines"]["3D"], -1.0);
}

}  // namespace
}  // namespace gpuproc::tool
