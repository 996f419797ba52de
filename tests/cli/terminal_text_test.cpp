// Explanations wrapped to the terminal's width, and process ids as the
// command reads them.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "process_id.h"
#include "terminal_text.h"

namespace gpuproc::tool {
namespace {

TEST(WrapToCells, BreaksAtSpacesAndNeverPastTheWidth) {
  struct Case {
    const char* what;
    std::string text;
    std::size_t cells;
    std::vector<std::string> lines;
  } cases[] = {
      {"fits", "no process is using a GPU", 79, {"no process is using a GPU"}},
      {"empty", "", 79, {""}},
      {"exactly full", "aaaa bbbb", 9, {"aaaa bbbb"}},
      {"one over", "aaaa bbbbb", 9, {"aaaa", "bbbbb"}},
      {"runs of spaces collapse", "aa   bb", 9, {"aa bb"}},
      {"a word longer than a line is broken",
       "in /pppppppppppppppppppppppppppppp x",
       12,
       {"in", "/ppppppppppp", "pppppppppppp", "ppppppp x"}},
      {"wide characters count two",
       "\u4e2d\u6587 \u4e2d\u6587",
       5,
       {"\u4e2d\u6587", "\u4e2d\u6587"}},
      {"controls are escaped, never split", "a\x1b[2J", 4, {"a", "\\x1b", "[2J"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(WrapToCells(c.text, c.cells), c.lines) << c.what;
  }
  // The command's own explanation on a machine without a GPU.
  const std::string noDevice =
      "no GPU device found (looked for DRM devices in /sys/class/drm and NVIDIA's driver in "
      "/sys/module/nvidia)";
  const std::vector<std::string> lines = WrapToCells(noDevice, 79);
  ASSERT_EQ(lines.size(), 2u);
  // Compared piecewise: g++ 12 at -O3 warns falsely (-Wrestrict) about
  // operator+ on strings inlined into a test body (GCC bug 105651).
  EXPECT_EQ(noDevice.substr(0, lines[0].size()), lines[0]);
  EXPECT_EQ(noDevice.substr(lines[0].size() + 1), lines[1]);
  for (const std::string& line : lines) EXPECT_LE(CellCount(line), 79u) << line;
}

TEST(ParseProcessId, DecimalDigitsWithinTheLibrarysRange) {
  const std::pair<const char*, std::optional<std::uint32_t>> cases[] = {
      {"0", 0u},
      {"4242", 4242u},
      {"010", 10u},  // decimal, never octal
      {"4294967295", UINT32_MAX},
      {"4294967296", std::nullopt},
      {"99999999999999999999999", std::nullopt},
      {"", std::nullopt},
      {"+1", std::nullopt},
      {"-1", std::nullopt},
      {" 1", std::nullopt},
      {"1 ", std::nullopt},
      {"0x10", std::nullopt},
      {"1e3", std::nullopt},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(ParseProcessId(text), expected) << text;
}

}  // namespace
}  // namespace gpuproc::tool
