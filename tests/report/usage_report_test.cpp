// The report's two text forms, byte for byte.
#include "report/usage_report.h"

#include <gtest/gtest.h>

namespace gpuproc {
namespace {

GPUCounterReadings AllFailed() { return GPUCounterReadings{}; }

GPUCounterReadings AllEqual(double value) {
  return {value, value, value, value, value, value, value};
}

std::string CompactRecord(std::uint32_t processId, const std::string& name,
                          const GPUCounterReadings& readings) {
  GPUUsageReport report = CreateGPUUsageReport();
  AppendGPUUsageRecord(report, BuildGPUUsageRecord(processId, name, readings));
  return FormatReportCompact(report);
}

TEST(UsageReport, EmptyReportIsNullInBothForms) {
  const GPUUsageReport report = CreateGPUUsageReport();
  EXPECT_EQ(FormatReportCompact(report), "null");
  EXPECT_EQ(FormatReportIndented(report), "null");
}

TEST(UsageReport, WorkedExampleOfFailedReads) {
  EXPECT_EQ(CompactRecord(1234, "unknown", AllFailed()),
            "[{\"GPUMemoryFree\":-9.5367431640625e-07,\"GPUMemoryTotal\":-9.5367431640625e-07,"
            "\"GPUProcessMemoryDedicatedUsage\":-9.5367431640625e-07,"
            "\"GPUProcessMemoryLocalUsage\":-9.5367431640625e-07,"
            "\"GPUProcessMemorySharedUsage\":-9.5367431640625e-07,"
            "\"GPUProcessMemoryTotalCommitted\":-9.5367431640625e-07,"
            "\"GPUUtilizationPercent\":-1.0,\"Name\":\"unknown\",\"ProcessID\":1234}]");
}

TEST(UsageReport, IndentedFormOfTwoRecords) {
  GPUUsageReport report = CreateGPUUsageReport();
  AppendGPUUsageRecord(report, BuildGPUUsageRecord(1, "a", AllEqual(0)));
  AppendGPUUsageRecord(report, BuildGPUUsageRecord(2, "b", AllEqual(1048576)));
  const std::string record1 =
      "    {\n"
      "        \"GPUMemoryFree\": 0.0,\n"
      "        \"GPUMemoryTotal\": 0.0,\n"
      "        \"GPUProcessMemoryDedicatedUsage\": 0.0,\n"
      "        \"GPUProcessMemoryLocalUsage\": 0.0,\n"
      "        \"GPUProcessMemorySharedUsage\": 0.0,\n"
      "        \"GPUProcessMemoryTotalCommitted\": 0.0,\n"
      "        \"GPUUtilizationPercent\": 0.0,\n"
      "        \"Name\": \"a\",\n"
      "        \"ProcessID\": 1\n"
      "    }";
  const std::string record2 =
      "    {\n"
      "        \"GPUMemoryFree\": 1.0,\n"
      "        \"GPUMemoryTotal\": 1.0,\n"
      "        \"GPUProcessMemoryDedicatedUsage\": 1.0,\n"
      "        \"GPUProcessMemoryLocalUsage\": 1.0,\n"
      "        \"GPUProcessMemorySharedUsage\": 1.0,\n"
      "        \"GPUProcessMemoryTotalCommitted\": 1.0,\n"
      "        \"GPUUtilizationPercent\": 1048576.0,\n"
      "        \"Name\": \"b\",\n"
      "        \"ProcessID\": 2\n"
      "    }";
  EXPECT_EQ(FormatReportIndented(report), "[\n" + record1 + ",\n" + record2 + "\n]");
}

TEST(UsageReport, MemoryIsWrittenInMiBWithTheShortestExactDigits) {
  const std::pair<double, std::string> cases[] = {
      {157286400, "150.0"},
      {0, "0.0"},
      {104857, "0.09999942779541016"},
      {10, "9.5367431640625e-06"},
      {1, "9.5367431640625e-07"},
      {-1, "-9.5367431640625e-07"},
      {1099511627776, "1048576.0"},
  };
  for (const auto& [bytes, text] : cases) {
    GPUCounterReadings readings;
    readings.LocalUsage = bytes;
    const std::string compact = CompactRecord(1, "n", readings);
    EXPECT_NE(compact.find("\"GPUProcessMemoryLocalUsage\":" + text + ","), std::string::npos)
        << bytes << " -> " << compact;
  }
}

TEST(UsageReport, UtilisationIsWrittenUnscaled) {
  const std::pair<double, std::string> cases[] = {{12.5, "12.5"}, {-1, "-1.0"}, {100, "100.0"}};
  for (const auto& [percent, text] : cases) {
    GPUCounterReadings readings;
    readings.UtilizationPercentage = percent;
    EXPECT_NE(CompactRecord(1, "n", readings).find("\"GPUUtilizationPercent\":" + text + ","),
              std::string::npos);
  }
}

TEST(UsageReport, LargestProcessIdStaysUnsigned) {
  EXPECT_NE(CompactRecord(4294967295u, "n", AllFailed()).find("\"ProcessID\":4294967295}"),
            std::string::npos);
}

TEST(UsageReport, NamesAreEscapedOrWrittenAsRawUtf8) {
  const std::pair<std::string, std::string> cases[] = {
      {"a\"b\\c", "\"a\\\"b\\\\c\""},
      {"tab\there\n", "\"tab\\there\\n\""},
      {std::string("\x01", 1), "\"\\u0001\""},
      {"spiel\xC3\xBC\xF0\x9F\x98\x80.exe", "\"spiel\xC3\xBC\xF0\x9F\x98\x80.exe\""},
      {"with space.exe", "\"with space.exe\""},
  };
  for (const auto& [name, text] : cases) {
    EXPECT_NE(CompactRecord(1, name, AllFailed()).find("\"Name\":" + text + ","), std::string::npos)
        << name;
  }
}

}  // namespace
}  // namespace gpuproc
