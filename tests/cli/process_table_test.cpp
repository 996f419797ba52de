// The command line's table over names that other users choose: nothing in a
// row may act on the terminal, and no row may be wider than 79 cells as the
// C library's wcswidth counts them.
#include <gtest/gtest.h>

#include <clocale>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "process_table.h"

namespace gpuproc::tool {
namespace {

nlohmann::json Record(std::uint32_t processId, const std::string& name,
                      const std::string& adapter = "luid_0x00000000_0x00000300_phys_0",
                      const nlohmann::json& engines = nlohmann::json::object()) {
  return {{"Adapter", adapter},
          {"Engines", engines},
          {"GPUProcessMemoryDedicatedUsage", 1.0},
          {"GPUProcessMemorySharedUsage", 0.0},
          {"GPUProcessMemoryTotalCommitted", 1.0},
          {"GPUUtilizationPercent", 0.0},
          {"Name", name},
          {"ProcessID", processId}};
}

std::vector<std::string> Lines(const std::string& table) {
  std::vector<std::string> lines;
  for (std::size_t start = 0, end; (end = table.find('\n', start)) != std::string::npos;
       start = end + 1) {
    lines.push_back(table.substr(start, end - start));
  }
  return lines;
}

// No C0, DEL or C1 control, and at most 79 cells.
void ExpectTerminalSafe(const std::string& table) {
  ASSERT_EQ(table.back(), '\n');
  for (const std::string& line : Lines(table)) {
    SCOPED_TRACE(line);
    std::wstring wide(line.size() + 1, L'\0');
    const std::size_t length = std::mbstowcs(wide.data(), line.c_str(), wide.size());
    ASSERT_NE(length, static_cast<std::size_t>(-1)) << "not valid UTF-8";
    wide.resize(length);
    for (const wchar_t c : wide) EXPECT_FALSE(c < 0x20 || (c >= 0x7F && c <= 0x9F)) << int(c);
    const int cells = ::wcswidth(wide.c_str(), wide.size());
    EXPECT_GE(cells, 0);
    EXPECT_LE(cells, 79);
  }
}

TEST(ProcessTable, HostileNamesAreEscapedAndFitTheirCells) {
  ASSERT_NE(std::setlocale(LC_CTYPE, "C.UTF-8"), nullptr);
  const auto times = [](const std::string& text, int count) {
    std::string repeated;
    while (count-- > 0) repeated += text;
    return repeated;
  };
  const std::string gamepad = "\xf0\x9f\x8e\xae";  // U+1F3AE, two cells
  // What each name shows as in the name column, 23 cells next to the GPU's
  // number.
  const std::vector<std::pair<std::string, std::string>> names = {
      {"\x1b[31mred", "\\x1b[31mred            "},
      {"two\nlines", "two\\nlines             "},
      {"cr\rtab\t", "cr\\rtab\\t              "},
      {"del\x7f", "del\\x7f                "},
      {"c1\xc2\x9b"
       "2J",
       "c1\\x9b2J               "},
      {"bad\xff\xc3", "bad??                  "},
      {"\xe6\xbc\xa2\xe5\xad\x97\xe3\x83\x97\xe3\x83\xad\xe3\x82\xbb\xe3\x82\xb9\xe5\x90\x8d\xe5"
       "\x89\x8d",
       "\xe6\xbc\xa2\xe5\xad\x97\xe3\x83\x97\xe3\x83\xad\xe3\x82\xbb\xe3\x82\xb9\xe5\x90\x8d\xe5"
       "\x89\x8d       "},
      {"cafe\xcc\x81s", "cafe\xcc\x81s                  "},
      {times(gamepad, 12), times(gamepad, 11) + "~"},
      {"evil\xe2\x80\xaetxt.exe", "evil\\u202etxt.exe      "},
      {"abcdefghij\x1b[0m", "abcdefghij\\x1b[0m      "},
      {std::string(4000, 'x'), std::string(22, 'x') + "~"},
  };
  nlohmann::json records = nlohmann::json::array();
  for (std::size_t i = 0; i < names.size(); ++i) {
    records.push_back(Record(static_cast<std::uint32_t>(1000 + i), names[i].first));
  }
  const std::string table = FormatProcessTable(records, true);
  ExpectTerminalSafe(table);
  const std::vector<std::string> lines = Lines(table);
  // The GPU lines, an empty line, the header, then the rows.
  ASSERT_EQ(lines.size(), names.size() + 4);
  for (std::size_t i = 0; i < names.size(); ++i) {
    EXPECT_EQ(lines[i + 4], "   " + std::to_string(1000 + i) + " " + names[i].second +
                                " 0         1.0     0.0       1.0   0% -");
  }

  // The other columns come from the library's text as well.
  nlohmann::json hostile = Record(1, "x", "gpu\x1b]0;title\x07" + std::string(200, 'g'),
                                  {{"\x1b[2J\xe6\xbc\xa2", 50.0}});
  hostile["AdapterName"] = "\x1b[2J\xe6\xbc\xa2" + std::string(200, 'n');
  ExpectTerminalSafe(FormatProcessTable(nlohmann::json::array({hostile}), true));
}

// The GPU lines take each GPU's power and temperature from the snapshot's
// adapters; what is unknown, or a GPU the adapters lack, shows "-".
TEST(ProcessTable, GpuLinesShowPowerAndTemperature) {
  struct Case {
    const char* what;
    std::optional<double> watts, limit;
    std::vector<NamedFigure> temperatures;
    const char* power;
    const char* temperature;
  } const cases[] = {
      {"all known", 87.4, 203, {{"junction", 61}, {"edge", 54}}, "87/203W", "54C"},
      {"no limit", 5.2, std::nullopt, {{"package", 48}}, "5W", "48C"},
      {"a limit alone", std::nullopt, 190, {{"edge", std::nullopt}, {"vr", 70}}, "-/190W", "70C"},
      {"nothing known", std::nullopt, std::nullopt, {{"edge", std::nullopt}}, "-", "-"},
      {"figures wider than a real one", 123456, 1e9, {{"edge", 12345}}, "123456/~", "123~"},
  };
  const std::string amd = "luid_0x00000000_0x00000300_phys_0";
  for (const Case& test : cases) {
    SCOPED_TRACE(test.what);
    SnapshotAdapter adapter;
    adapter.adapter = amd;
    adapter.powerWatts = test.watts;
    adapter.powerLimitWatts = test.limit;
    adapter.temperaturesCelsius = test.temperatures;
    adapter.kind = "GPU";
    SnapshotAdapter other;
    other.adapter = "elsewhere";
    other.powerWatts = 1;
    const nlohmann::json records = {Record(1, "a", amd), Record(2, "b", "gpu9")};
    const std::string table = FormatProcessTable(records, true, {other, adapter});
    ExpectTerminalSafe(table);
    const std::vector<std::string> lines = Lines(table);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0].substr(lines[0].size() - 13), "   POWER TEMP");
    const std::string right =
        std::string(8 - std::min<std::size_t>(8, std::strlen(test.power)), ' ') + test.power + " " +
        std::string(4 - std::min<std::size_t>(4, std::strlen(test.temperature)), ' ') +
        test.temperature;
    // GPU 0 is gpu9, which the adapters lack.
    EXPECT_EQ(lines[1].substr(lines[1].size() - 13), "       -    -") << lines[1];
    EXPECT_EQ(lines[2].substr(lines[2].size() - 13), right) << lines[2];
    EXPECT_EQ(lines[2].substr(0, 14), "  1 luid_0x000") << "a GPU's kind is not shown";
  }
  // A device of another kind says so before its name.
  SnapshotAdapter npu;
  npu.adapter = "npu0";
  npu.kind = "NPU";
  const std::vector<std::string> lines =
      Lines(FormatProcessTable(nlohmann::json::array({Record(1, "ov", "npu0")}), true, {npu}));
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[1].substr(0, 15), "  0 [NPU] npu0 ");
}

}  // namespace
}  // namespace gpuproc::tool
