// The records `gpuproc -n` shows after its first round, from two snapshots.
#include <gtest/gtest.h>

#include "snapshot_rounds.h"

#include "read_snapshot.h"

namespace gpuproc::tool {
namespace {

SnapshotDocument Read(std::string_view text) {
  std::optional<SnapshotDocument> document = ReadSnapshotDocument(text);
  EXPECT_TRUE(document) << text;
  return document.value_or(SnapshotDocument());
}

TEST(RecordsBetween, BusySecondsOverTheIntervalInTheAllProcessesShape) {
  const SnapshotDocument before = Read(R"({"Time": 100.0, "Adapters": [], "Processes": [
    {"ProcessID": 7, "Name": "a", "Adapter": "gpu0", "EngineBusySeconds": {"3D": 10.0, "Copy": 1.0}},
    {"ProcessID": 9, "Name": "old", "Adapter": "gpu0", "EngineBusySeconds": {"3D": 50.0}}]})");
  // 4 s later: 7's 3D busy half the time, two copy engines busy throughout,
  // a compute client new since then; 9 is a new process under an old id; 11
  // is new, and no adapter entry names its GPU.
  const SnapshotDocument after = Read(R"({"Time": 104.0,
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
  // No time between them: nothing to divide.
  EXPECT_EQ(RecordsBetween(after, after)[0]["Engines"]["3D"], -1.0);
}

// Each process over the time between its own two readings; what is unknown
// in either snapshot reads -1, as in the all-processes records.
TEST(RecordsBetween, ProcessTimesAndUnknownBusyTime) {
  const SnapshotDocument before = Read(R"({"Time": 10, "Adapters": [], "Processes": [
    {"ProcessID": 1, "Adapter": "g", "Time": 9.5, "EngineBusySeconds": {"3D": 0, "Copy": 1}},
    {"ProcessID": 2, "Adapter": "g", "EngineBusySeconds": null},
    {"ProcessID": 3, "Adapter": "g", "Time": 9, "EngineBusySeconds": {"3D": 1}}]})");
  const SnapshotDocument after = Read(R"({"Time": 11, "Adapters": [], "Processes": [
    {"ProcessID": 1, "Adapter": "g", "Time": 11, "EngineBusySeconds": {"3D": 0.75, "Copy": null}},
    {"ProcessID": 2, "Adapter": "g", "EngineBusySeconds": {"3D": 4}},
    {"ProcessID": 3, "Adapter": "g", "Time": 9, "EngineBusySeconds": {"3D": 1}},
    {"ProcessID": 4, "Adapter": "g", "GPUProcessMemoryDedicatedUsage": 2,
     "EngineBusySeconds": null}]})");
  const nlohmann::json records = RecordsBetween(before, after);
  ASSERT_EQ(records.size(), 4u);
  EXPECT_EQ(records[0]["Engines"], nlohmann::json::parse(R"({"3D": 50.0, "Copy": -1.0})"));
  EXPECT_EQ(records[0]["GPUUtilizationPercent"], 50.0);
  EXPECT_EQ(records[1]["Engines"], nlohmann::json::parse(R"({"3D": -1.0})"));
  EXPECT_EQ(records[2]["Engines"], nlohmann::json::parse(R"({"3D": -1.0})"));
  EXPECT_EQ(records[3]["Engines"], nlohmann::json::object());
  EXPECT_EQ(records[3]["GPUUtilizationPercent"], -1.0);
  EXPECT_EQ(records[3]["GPUProcessMemoryDedicatedUsage"], 2.0);
}

}  // namespace
}  // namespace gpuproc::tool
