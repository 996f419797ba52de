// Counter operations and the kinds of error line.
#include "counters/counter_query.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <new>
#include <optional>
#include <stdexcept>

#include "support/scripted_platform.h"

namespace gpuproc::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

TEST(CounterQuery, StatusIsPrintedAsSignedDecimal) {
  const std::pair<std::uint32_t, std::u16string> cases[] = {
      {0xC0000BB8u, u"-1073738824"}, {0xC0000BB9u, u"-1073738823"}, {0x800007D2u, u"-2147481646"},
      {0x00000001u, u"1"},           {0x7FFFFFFFu, u"2147483647"},  {0x80000000u, u"-2147483648"},
  };
  for (const auto& [status, text] : cases) {
    EXPECT_EQ(FormatStatus(static_cast<PdhStatus>(status)), text) << status;
  }
}

TEST(CounterQuery, FailedCallLineNamesTheCallAndWhatFailed) {
  struct NotStd {};
  const std::pair<std::exception_ptr, std::u16string> cases[] = {
      {std::make_exception_ptr(std::bad_alloc()), u"GetGPUDataForProcess: std::bad_alloc"},
      // Bytes in no particular encoding, and a line break, stay on one line.
      {std::make_exception_ptr(std::runtime_error("byte \xFF\nthere")),
       u"GetGPUDataForProcess: byte ??there"},
      {std::make_exception_ptr(NotStd{}),
       u"GetGPUDataForProcess: an exception that is not a std::exception"},
  };
  for (const auto& [failure, line] : cases) {
    EXPECT_EQ(FailedCallLine(u"GetGPUDataForProcess", failure), line);
  }
}

TEST(CounterQuery, AddFailureLineNamesThePathUnchangedAndTheStatus) {
  ScriptedPlatform platform;
  // Parentheses, backslashes and an unpaired surrogate pass through as they are.
  const std::u16string path = u"\\GPU Process Memory(a(b)\\c\xD800)\\Local Usage";
  platform.refusedPaths[path] = static_cast<PdhStatus>(0xC0000BB8);
  CounterQuery query{reinterpret_cast<QueryHandle>(1)};
  CounterHandle counter = reinterpret_cast<CounterHandle>(99);

  EXPECT_FALSE(AddCounter(platform, query, path, counter));

  EXPECT_EQ(counter, nullptr);
  EXPECT_THAT(platform.errorLines,
              ElementsAre(u"Failed to add counter: " + path + u" ERROR CODE: -1073738824"));
}

TEST(CounterQuery, NullCounterIsNeverHandedToThePlatform) {
  ScriptedPlatform platform;
  CounterHandle counter = nullptr;
  EXPECT_EQ(ReadCounterValue(platform, counter), -1);
  RemoveCounter(platform, counter);
  EXPECT_THAT(platform.events, IsEmpty());
}

TEST(CounterQuery, FailedReadIsMinusOneAndSuccessfulReadIsUnscaled) {
  ScriptedPlatform platform;
  CounterQuery query{reinterpret_cast<QueryHandle>(1)};
  CounterHandle good = nullptr;
  CounterHandle bad = nullptr;
  platform.values[u"\\GPU Engine(x)\\Utilization Percentage"] = 250.75;
  AddCounter(platform, query, u"\\GPU Engine(x)\\Utilization Percentage", good);
  AddCounter(platform, query, u"\\GPU Engine(y)\\Utilization Percentage", bad);

  EXPECT_EQ(ReadCounterValue(platform, good), 250.75);
  EXPECT_EQ(ReadCounterValue(platform, bad), -1);
}

TEST(CounterQuery, LastErrorLineEndsOnceAndAlwaysNamesTheOperation) {
  const std::pair<std::optional<std::u16string>, std::u16string> cases[] = {
      {std::nullopt, u"PdhOpenQuery: "},
      {u"Access is denied.\r\n", u"PdhOpenQuery: Access is denied."},
      {u"Two lines.\r\nSecond.\r\n\n", u"PdhOpenQuery: Two lines.\r\nSecond."},
      {u"\r\n", u"PdhOpenQuery: "},
      {u"No line break", u"PdhOpenQuery: No line break"},
  };
  for (const auto& [message, line] : cases) {
    ScriptedPlatform platform;
    platform.lastError = 1234;
    platform.systemMessage = message;
    ReportLastError(platform, u"PdhOpenQuery");
    EXPECT_THAT(platform.errorLines, ElementsAre(line)) << Narrow(line);
  }
}

TEST(CounterQuery, TwoSamplesArePausedFiftyMillisecondsEach) {
  ScriptedPlatform platform;
  CollectTwoSamples(platform, CounterQuery{reinterpret_cast<QueryHandle>(1)});
  EXPECT_THAT(platform.events, ElementsAre("Sleep 50", "Collect", "Sleep 50", "Collect"));
}

}  // namespace
}  // namespace gpuproc::testing
