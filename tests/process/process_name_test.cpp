// Process name lookup and UTF-16 to UTF-8 conversion.
#include "process/process_name.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/scripted_platform.h"

namespace gpuproc::testing {
namespace {

using ::testing::IsEmpty;

// The name rights first, so that every name they give stays as it was; the
// limited right's image path only where they are refused. Every handle
// opened is closed.
TEST(ProcessName, NameRightsComeFirstThenTheImagePath) {
  struct Case {
    const char* what;
    bool opens;
    std::u16string name;  // what the base-name lookup writes
    std::optional<std::uint32_t> nameCount;
    bool limitedOpens;
    std::optional<std::u16string> imagePath;
    std::u16string expected;
  };
  const Case cases[] = {
      {"both rights granted", true, u"host.exe", std::nullopt, true, u"C:\\x\\other.exe",
       u"host.exe"},
      {"name unreadable", true, u"host.exe", 0, true, u"C:\\x\\other.exe", u"unknown"},
      {"name empty", true, u"", 1, true, u"C:\\x\\other.exe", u"unknown"},
      {"name rights refused", false, u"", std::nullopt, true, u"C:\\Program Files\\x\\image.exe",
       u"image.exe"},
      {"a path with forward slashes", false, u"", std::nullopt, true, u"\\\\?\\C:/x/tool.exe",
       u"tool.exe"},
      {"a path of one component", false, u"", std::nullopt, true, u"bare.exe", u"bare.exe"},
      {"a path ending in a separator", false, u"", std::nullopt, true, u"C:\\x\\", u"unknown"},
      {"image path unreadable", false, u"", std::nullopt, true, std::nullopt, u"unknown"},
      {"both rights refused", false, u"", std::nullopt, false, u"C:\\x\\image.exe", u"unknown"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScriptedPlatform platform;
    platform.processOpens = c.opens;
    platform.processNameBuffer = c.name;
    platform.processNameCount = c.nameCount;
    platform.limitedProcessOpens = c.limitedOpens;
    platform.imagePath = c.imagePath;
    EXPECT_EQ(GetProcessName(platform, 77), c.expected);
    EXPECT_EQ(platform.openProcessHandles, 0);
  }
}

TEST(ProcessName, TruncatedNameIsNeverReadPastTheBuffer) {
  ScriptedPlatform platform;
  // The platform fills all 260 characters and leaves no NUL.
  platform.processNameBuffer = std::u16string(300, u'x');
  EXPECT_EQ(GetProcessName(platform, 1), std::u16string(260, u'x'));

  // A count smaller than the text bounds it too.
  ScriptedPlatform shortCount;
  shortCount.processNameBuffer = u"abcdef";
  shortCount.processNameCount = 3;
  EXPECT_EQ(GetProcessName(shortCount, 1), u"abc");
}

TEST(WideToUtf8, EncodesEveryCodePointAndReplacesUnpairedSurrogates) {
  const std::pair<std::u16string, std::string> cases[] = {
      {u"unknown", "unknown"},
      {u"\u00FC", "\xC3\xBC"},
      {u"\U0001F600", "\xF0\x9F\x98\x80"},
      {std::u16string(1, char16_t(0xD83D)), "\xEF\xBF\xBD"},  // lone high surrogate
      {u"a" + std::u16string(1, char16_t(0xDE00)) + u"b",
       "a\xEF\xBF\xBD"
       "b"},                                                 // lone low
      {std::u16string(u"a\0b", 3), std::string("a\0b", 3)},  // NUL is text too
  };
  for (const auto& [wide, narrow] : cases) {
    ScriptedPlatform platform;
    EXPECT_EQ(WideToUtf8(platform, wide), narrow);
  }
}

TEST(WideToUtf8, EmptyTextNeedsNoPlatformCall) {
  ScriptedPlatform platform;
  EXPECT_EQ(WideToUtf8(platform, u""), "");
  EXPECT_THAT(platform.events, IsEmpty());
}

}  // namespace
}  // namespace gpuproc::testing
