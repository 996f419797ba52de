#include "top_fixtures.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

namespace gpuproc::tool::testing {

std::string SnapshotDocument(double time, const std::string& processes) {
  const nlohmann::json adapters = {
      {{"Adapter", kIntel},
       {"AdapterName", "Intel Corporation Raptor Lake-S GT1 [UHD Graphics 770]"},
       {"PciAddress", "0000:00:02.0"},
       {"GPUMemoryTotal", nullptr},
       {"GPUMemoryFree", nullptr},
       {"Clocks", {{"graphics", 1.55e9}}}},
      {{"Adapter", kAmd},
       {"AdapterName", "Advanced Micro Devices, Inc. [AMD/ATI] Navi 21"},
       {"PciAddress", "0000:03:00.0"},
       {"GPUMemoryTotal", 1280.0},
       {"GPUMemoryFree", 7168.0},
       {"PowerWatts", 87.4},
       {"PowerLimitWatts", 203.0},
       {"Temperatures", {{"junction", 61.0}, {"edge", 54.0}}},
       {"Clocks", {{"memory", 1e9}, {"graphics", 2.1e9}}},
       {"BusyPercent", 37.0}}};
  return R"({"Time":)" + std::to_string(time) + R"(,"Adapters":)" + adapters.dump() +
         R"(,"Processes":[)" + processes + "]}";
}

std::string ProcessEntry(unsigned processId, const std::string& name, const std::string& adapter,
                         double dedicated, const std::string& busy, std::optional<double> time,
                         std::optional<double> energy) {
  nlohmann::json entry = {{"ProcessID", processId},
                          {"Name", name},
                          {"Adapter", adapter},
                          {"GPUProcessMemoryDedicatedUsage", dedicated},
                          {"GPUProcessMemorySharedUsage", 8.0},
                          {"GPUProcessMemoryLocalUsage", dedicated},
                          {"GPUProcessMemoryTotalCommitted", dedicated + 8},
                          {"EngineBusySeconds", nlohmann::json::parse(busy)}};
  if (time) entry["Time"] = *time;
  entry["EnergyJoulesEstimate"] = energy ? nlohmann::json(*energy) : nlohmann::json(nullptr);
  return entry.dump();
}

TopModel ModelOf(const std::vector<std::string>& documents,
                 const std::vector<ProcessDetails>& details) {
  TopModel model;
  for (const std::string& document : documents) {
    const std::optional<Snapshot> snapshot = ReadSnapshotDocument(document);
    EXPECT_TRUE(snapshot) << document;
    if (snapshot) model.Update(*snapshot, details);
  }
  return model;
}

TopModel MultiModel() {
  const auto processes = [](double blender3D, double blenderCopy) {
    // blender's energy estimate grows by 21 J over the second between the
    // readings: 21 W.
    return ProcessEntry(2000, "blender", kAmd, 128,
                        R"({"3D":)" + std::to_string(blender3D) + R"(,"Copy":)" +
                            std::to_string(blenderCopy) + "}",
                        std::nullopt, 90 + 42 * blender3D - 420) +
           "," + ProcessEntry(2000, "blender", kIntel, 0, R"({"3D":1.0,"Copy":0.25})") + "," +
           ProcessEntry(2001, "steam", kAmd, 64, R"({"3D":4.0})") + "," +
           ProcessEntry(2002, "Xorg", kAmd, 32, "{}");
  };
  const ProcessDetails blender{"alice", "4c1e2b7f9a3d", "/system.slice/docker-4c1e.scope",
                               "blender -b scene.blend"};
  const ProcessDetails steam{"alice", "ml/trainer-0/trainer", "/kubepods.slice", "steam"};
  const ProcessDetails xorg{"root", "display-manager.service", "/system.slice", "/usr/bin/Xorg"};
  return ModelOf(
      {SnapshotDocument(100, processes(10.0, 2.0)), SnapshotDocument(101, processes(10.5, 3.5))},
      {blender, blender, steam, xorg});
}

}  // namespace gpuproc::tool::testing
