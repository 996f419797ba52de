// The snapshot reader against the documents every reader of the snapshot is
// tested on (tests/fixtures/snapshots, shared with the Python package's
// tests): each read exactly as expected.json says.
#include "read_snapshot.h"

#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

namespace gpuproc {
namespace {

const std::string kDocuments = GPUPROC_FIXTURES_DIR "/snapshots/";

std::string FileText(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

nlohmann::json FigureJson(const Figure& figure) {
  return figure ? nlohmann::json(*figure) : nlohmann::json(nullptr);
}

nlohmann::json ReadingsJson(const std::vector<NamedFigure>& readings) {
  nlohmann::json pairs = nlohmann::json::array();
  for (const NamedFigure& reading : readings)
    pairs.push_back({reading.name, FigureJson(reading.value)});
  return pairs;
}

// The reading in expected.json's words.
nlohmann::json AsJson(const SnapshotDocument& document) {
  nlohmann::json reading = {
      {"time", document.time},
      {"unreadableProcesses", document.unreadableProcesses
                                  ? nlohmann::json(*document.unreadableProcesses)
                                  : nlohmann::json(nullptr)},
      {"adapters", nlohmann::json::array()},
      {"processes", nlohmann::json::array()}};
  for (const SnapshotAdapter& adapter : document.adapters) {
    reading["adapters"].push_back(
        {{"adapter", adapter.adapter},
         {"adapterName", adapter.adapterName},
         {"pciAddress", adapter.pciAddress},
         {"kind", adapter.kind},
         {"committedMiB", FigureJson(adapter.committedMiB)},
         {"freeMiB", FigureJson(adapter.freeMiB)},
         {"powerWatts", FigureJson(adapter.powerWatts)},
         {"powerLimitWatts", FigureJson(adapter.powerLimitWatts)},
         {"powerScope", adapter.powerScope},
         {"energyJoules", FigureJson(adapter.energyJoules)},
         {"energySource", adapter.energySource},
         {"idleEnergyJoulesEstimate", FigureJson(adapter.idleEnergyJoulesEstimate)},
         {"temperaturesCelsius", ReadingsJson(adapter.temperaturesCelsius)},
         {"slowdownTemperaturesCelsius", ReadingsJson(adapter.slowdownTemperaturesCelsius)},
         {"clocksHertz", ReadingsJson(adapter.clocksHertz)},
         {"fanRpm", FigureJson(adapter.fanRpm)},
         {"busyPercent", FigureJson(adapter.busyPercent)}});
  }
  for (const SnapshotProcess& process : document.processes) {
    nlohmann::json memory = nlohmann::json::array();
    for (const Figure& figure : process.memoryMiB) memory.push_back(FigureJson(figure));
    nlohmann::json busy = nullptr;
    if (process.engineBusySeconds) {
      busy = nlohmann::json::array();
      for (const EngineBusy& engine : *process.engineBusySeconds) {
        busy.push_back({engine.type, FigureJson(engine.seconds)});
      }
    }
    reading["processes"].push_back(
        {{"processId", process.processId},
         {"name", process.name},
         {"adapter", process.adapter},
         {"time", process.time},
         {"memoryMiB", memory},
         {"engineBusySeconds", busy},
         {"energyJoulesEstimate", FigureJson(process.energyJoulesEstimate)}});
  }
  return reading;
}

TEST(ReadSnapshot, SharedDocumentsReadAsExpected) {
  const nlohmann::json expected = nlohmann::json::parse(FileText(kDocuments + "expected.json"));
  ASSERT_GE(expected["cases"].size(), 20u);
  for (const nlohmann::json& testCase : expected["cases"]) {
    SCOPED_TRACE(testCase["name"].get<std::string>());
    const std::string text = testCase.contains("file")
                                 ? FileText(kDocuments + testCase["file"].get<std::string>())
                                 : testCase["text"].get<std::string>();
    ASSERT_FALSE(testCase.contains("file") && text.empty());
    const std::optional<SnapshotDocument> document = ReadSnapshotDocument(text);
    const nlohmann::json reading = document ? AsJson(*document) : nlohmann::json(nullptr);
    EXPECT_EQ(reading, testCase["reading"]) << reading.dump(1);
  }
}

// Streamed, each entry comes out as it completes, in document order, and a
// document that turns out malformed after some entries says so.
TEST(ReadSnapshot, StreamsEntriesInOrderAndRefusesALateFault) {
  std::vector<std::string> seen;
  const auto read = [&](std::string_view text) {
    seen.clear();
    return ReadSnapshot(
        text,
        // Appended rather than "p" + to_string(): g++ 12 at -O3 warns falsely
        // (-Wrestrict, its bug 105329) on a literal plus a temporary string.
        [&](SnapshotProcess& process) {
          seen.push_back(std::string("p").append(std::to_string(process.processId)));
        },
        [&](SnapshotAdapter& adapter) { seen.push_back("a" + adapter.adapter); });
  };
  const auto header = read(FileText(kDocuments + "null-busy.json"));
  ASSERT_TRUE(header);
  EXPECT_EQ(header->unreadableProcesses, 3u);
  EXPECT_EQ(seen, (std::vector<std::string>{"agpu0", "p7", "p9"}));
  EXPECT_FALSE(read(R"({"Time":1,"Adapters":[],"Processes":[{"ProcessID":1,"Adapter":"g"},)"
                    R"({"ProcessID":2}]})"));
  EXPECT_EQ(seen, std::vector<std::string>{"p1"});
}

}  // namespace
}  // namespace gpuproc
