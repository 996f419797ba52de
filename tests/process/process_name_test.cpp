// Process name lookup and UTF-16 to UTF-8 conversion.
#include "process/process_name.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/scripted_platform.h"

namespace gpuproc::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

TEST(ProcessName, IsReadThroughAnOpenedHandleThatIsAlwaysClosed) {
  ScriptedPlatform platform;
  platform.processNameBuffer = u"game.exe";
  EXPECT_EQ(GetProcessName(platform, 77), u"game.exe");
  EXPECT_THAT(platform.events,
              ElementsAre("OpenProcess 0x0410 77", "GetModuleBaseName 260", "CloseHandle"));
}

TEST(ProcessName, FallsBackToUnknown) {
  ScriptedPlatform unopenable;
  unopenable.processOpens = false;
  EXPECT_EQ(GetProcessName(unopenable, 4), u"unknown");
  EXPECT_THAT(unopenable.events, ElementsAre("OpenProcess 0x0410 4"));

  ScriptedPlatform unreadable;
  unreadable.processNameCount = 0;
  EXPECT_EQ(GetProcessName(unreadable, 4), u"unknown");
  EXPECT_EQ(unreadable.openProcessHandles, 0);

  ScriptedPlatform emptyName;
  emptyName.processNameBuffer = u"";
  emptyName.processNameCount = 1;
  EXPECT_EQ(GetProcessName(emptyName, 4), u"unknown");
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
