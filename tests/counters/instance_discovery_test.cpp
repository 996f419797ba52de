// Instance lists, the process pattern and the counter paths.
#include "counters/instance_discovery.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/scripted_platform.h"

namespace gpuproc::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

TEST(ListInstances, NamesComeInPlatformOrderWithDuplicates) {
  ScriptedPlatform platform;
  platform.SetInstances({u"pid_1_b", u"pid_1_a", u"pid_1_b"});
  // The platform's per-process enumeration, both times: the size request
  // with zero lengths, the fill with exactly those sizes.
  EXPECT_THAT(ListProcessInstances(platform, kGPUProcessMemoryObject, 4294967295u),
              ElementsAre(u"pid_1_b", u"pid_1_a", u"pid_1_b"));
  EXPECT_THAT(platform.events, ElementsAre("EnumSizes pid 4294967295 GPU Process Memory 0 0",
                                           "EnumFill pid 4294967295 GPU Process Memory 4 25"));
}

// The list grew between the size request and the fill: the pair is asked
// again, a bounded number of times.
TEST(ListInstances, FillAnsweringMoreDataIsAskedAgainAFewTimes) {
  const struct {
    int moreDataFills;
    std::vector<std::u16string> expected;
  } cases[] = {{1, {u"pid_1_a"}}, {kEnumerationAttempts - 1, {u"pid_1_a"}}, {1000, {}}};
  for (const auto& c : cases) {
    ScriptedPlatform platform;
    platform.SetInstances({u"pid_1_a"});
    platform.fillsAnsweringMoreData = c.moreDataFills;
    EXPECT_EQ(ListProcessInstances(platform, kGPUProcessMemoryObject, 1), c.expected);
    EXPECT_LE(platform.events.size(), 2u * kEnumerationAttempts);
  }
}

TEST(ListInstances, WalkStaysInsideTheBufferWhateverTheLengthsClaim) {
  struct Case {
    const char* what;
    std::u16string buffer;
    std::optional<std::uint32_t> reportedLength;
    std::vector<std::u16string> expected;
  };
  const Case cases[] = {
      {"no final empty name", std::u16string(u"a\0b\0", 4), std::nullopt, {u"a", u"b"}},
      {"last name without its NUL", std::u16string(u"a\0bc", 4), std::nullopt, {u"a", u"bc"}},
      {"length shorter than the names", std::u16string(u"abc\0def\0\0", 9), 5, {u"abc", u"d"}},
      {"length longer than the names", std::u16string(u"abc\0\0", 5), 64, {u"abc"}},
      {"empty first name ends the list", std::u16string(u"\0abc\0\0", 6), std::nullopt, {}},
      {"zero length", std::u16string(u"abc\0\0", 5), 0, {}},
      {"unbelievable length", std::u16string(u"abc\0\0", 5), 0xFFFFFFFFu, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScriptedPlatform platform;
    platform.instanceBuffer = c.buffer;
    platform.reportedInstanceLength = c.reportedLength;
    EXPECT_EQ(ListProcessInstances(platform, kGPUProcessMemoryObject, 1), c.expected);
  }
}

TEST(ListInstances, ZeroLengthMeansNoFillRequest) {
  ScriptedPlatform platform;
  platform.instanceBuffer.clear();
  EXPECT_THAT(ListProcessInstances(platform, kGPUProcessMemoryObject, 1), IsEmpty());
  EXPECT_EQ(platform.events.size(), 1u);
}

TEST(PidPattern, IsPidAndTheUnsignedDecimalId) {
  EXPECT_EQ(MakePidPattern(0), u"pid_0");
  EXPECT_EQ(MakePidPattern(12), u"pid_12");
  EXPECT_EQ(MakePidPattern(4294967295u), u"pid_4294967295");
}

TEST(PidPattern, MatchesOnlyOccurrencesNotFollowedByADigit) {
  const std::pair<std::u16string, bool> cases[] = {
      {u"pid_12_luid_0x00000000_0x00000300_phys_0", true},
      {u"pid_12", true},
      {u"xpid_12_a", true},
      {u"pid_123_luid_0x00000000_0x00000300_phys_0", false},
      {u"pid_1200_a", false},
      {u"pid_123_pid_12_a", true},  // a later occurrence still counts
      {u"pid_12_pid_12", true},
      {u"PID_12_a", false},  // case-sensitive
      {u"pid_1", false},
      {u"", false},
  };
  for (const auto& [name, matches] : cases) {
    EXPECT_EQ(MatchesPidPattern(name, u"pid_12"), matches) << Narrow(name);
  }
}

TEST(CounterPaths, AreBuiltFromTheInstanceNameUnchanged) {
  const ProcessCounterPaths paths = MakeProcessCounterPaths(u"pid_8_a");
  EXPECT_THAT(paths, ElementsAre(u"\\GPU Process Memory(pid_8_a)\\Local Usage",
                                 u"\\GPU Engine(pid_8_a*engtype_3D)\\Utilization Percentage",
                                 u"\\GPU Process Memory(pid_8_a)\\Shared Usage",
                                 u"\\GPU Process Memory(pid_8_a)\\Dedicated Usage",
                                 u"\\GPU Process Memory(pid_8_a)\\Total Committed"));
  EXPECT_EQ(MakeProcessCounterPaths(u"pid_8_(x)\\y")[kTotalCommittedMember],
            u"\\GPU Process Memory(pid_8_(x)\\y)\\Total Committed");
}

}  // namespace
}  // namespace gpuproc::testing
