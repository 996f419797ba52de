// The Windows binding against the real pdh.dll and KERNEL32, on Windows or
// under Wine.
#include "platform/windows/windows_platform.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/linux/utf16.h"
#include "process_capture.h"

namespace gpuproc {
namespace {

using windows_test::CapturedRun;
using windows_test::ExecutablePath;
using windows_test::RunCaptured;
using windows_test::RunningUnderWine;

constexpr std::string_view kChildWritesErrorLines = "--child-write-error-lines";

// PDH_CSTATUS_NO_COUNTER, as PdhAddCounterW returns it for a counter that
// does not exist.
constexpr PdhStatus kNoCounter = -1073738823;

constexpr std::u16string_view kProcessorTotalPath = u"\\Processor(_Total)\\% Processor Time";

// Closes the query of a test even when an assertion returns early.
class QueryOwner {
 public:
  explicit QueryOwner(WindowsPlatform& platform) : platform_(platform) {
    status_ = platform_.OpenQuery(&query_);
  }
  ~QueryOwner() {
    if (query_ != nullptr) {
      platform_.CloseQuery(query_);
    }
  }
  QueryOwner(const QueryOwner&) = delete;
  QueryOwner& operator=(const QueryOwner&) = delete;

  PdhStatus status() const { return status_; }
  QueryHandle get() const { return query_; }

 private:
  WindowsPlatform& platform_;
  QueryHandle query_ = nullptr;
  PdhStatus status_ = 0;
};

TEST(WindowsPlatformPdh, RefusedPathsLeaveNullCountersUnderWine) {
  if (!RunningUnderWine()) {
    GTEST_SKIP() << "Windows has these counter objects wherever a GPU driver publishes them";
  }
  WindowsPlatform platform;
  QueryOwner query(platform);
  ASSERT_EQ(query.status(), kPdhSuccess);
  ASSERT_NE(query.get(), nullptr);
  for (const std::u16string_view path :
       {std::u16string_view(u"\\GPU Adapter Memory\\Total Committed"),
        std::u16string_view(u"\\GPU Adapter Memory\\Free"),
        std::u16string_view(u"\\GPU Process Memory(pid_1_luid_0x0_0x1_phys_0)\\Local Usage"),
        std::u16string_view(
            u"\\GPU Engine(pid_1_luid_0x0_0x1_phys_0*engtype_3D)\\Utilization Percentage")}) {
    CounterHandle counter = &query;  // must be overwritten
    EXPECT_EQ(platform.AddCounter(query.get(), path, &counter), kNoCounter);
    EXPECT_EQ(counter, nullptr);
  }
}

TEST(WindowsPlatformPdh, PathViewIsPassedWithItsOwnEnd) {
  WindowsPlatform platform;
  QueryOwner query(platform);
  ASSERT_EQ(query.status(), kPdhSuccess);
  CounterHandle plain = nullptr;
  if (platform.AddCounter(query.get(), kProcessorTotalPath, &plain) != kPdhSuccess) {
    GTEST_SKIP() << "this system names its counters in another language";
  }
  // The path ends inside a longer text: PDH must see only the view.
  const std::u16string longer = std::u16string(kProcessorTotalPath) + u"XYZ";
  CounterHandle counter = nullptr;
  ASSERT_EQ(
      platform.AddCounter(
          query.get(), std::u16string_view(longer).substr(0, kProcessorTotalPath.size()), &counter),
      kPdhSuccess);
  ASSERT_NE(counter, nullptr);

  platform.CollectQueryData(query.get());
  platform.Sleep(50);
  platform.CollectQueryData(query.get());
  double value = -2;
  EXPECT_EQ(platform.GetFormattedCounterValue(counter, &value), kPdhSuccess);
  EXPECT_GE(value, 0.0);
  EXPECT_LE(value, 100.0);
  EXPECT_EQ(platform.RemoveCounter(counter), kPdhSuccess);
}

// PDH cannot list one process's instances: the per-process enumeration is
// PdhEnumObjectItemsW's whole list, whatever the process.
TEST(WindowsPlatformPdh, ProcessEnumerationListsWhatTheFullOneLists) {
  WindowsPlatform platform;
  const auto list = [&](std::optional<std::uint32_t> processId) {
    std::uint32_t counterLength = 0;
    std::uint32_t instanceLength = 0;
    const auto enumerate = [&](char16_t* counters, char16_t* instances) {
      return processId ? platform.EnumProcessObjectItems(*processId, u"Processor", counters,
                                                         &counterLength, instances, &instanceLength)
                       : platform.EnumObjectItems(u"Processor", counters, &counterLength, instances,
                                                  &instanceLength);
    };
    const PdhStatus sizes = enumerate(nullptr, nullptr);
    std::u16string counters(counterLength, u'\0');
    std::u16string instances(instanceLength, u'\0');
    if (instanceLength != 0) enumerate(counters.data(), instances.data());
    return std::make_pair(sizes, instances);
  };
  const auto full = list(std::nullopt);
  EXPECT_EQ(list(::GetCurrentProcessId()), full);
  EXPECT_EQ(list(4294967295u), full);
}

TEST(WindowsPlatformPdh, WildcardCounterReadsOneValue) {
  WindowsPlatform platform;
  QueryOwner query(platform);
  ASSERT_EQ(query.status(), kPdhSuccess);
  CounterHandle counter = nullptr;
  // Wine's pdh.dll refuses wildcard paths, and its
  // PdhGetFormattedCounterArrayW is an unimplemented stub.
  if (platform.AddCounter(query.get(), u"\\Processor(*)\\% Processor Time", &counter) !=
      kPdhSuccess) {
    GTEST_SKIP() << "this PDH does not expand wildcard instances";
  }
  platform.CollectQueryData(query.get());
  platform.Sleep(50);
  platform.CollectQueryData(query.get());
  double value = -2;
  EXPECT_EQ(platform.GetFormattedCounterValue(counter, &value), kPdhSuccess);
  EXPECT_GE(value, 0.0);
  EXPECT_LE(value, 100.0);
}

TEST(LargestValidItem, TakesTheLargestItemWithValidData) {
  constexpr std::uint32_t kValid = 0x0;              // PDH_CSTATUS_VALID_DATA
  constexpr std::uint32_t kNew = 0x1;                // PDH_CSTATUS_NEW_DATA
  constexpr std::uint32_t kInvalid = 0xC0000BBA;     // PDH_CSTATUS_INVALID_DATA
  constexpr std::uint32_t kNoInstance = 0x800007D1;  // PDH_CSTATUS_NO_INSTANCE
  struct Case {
    const char* name;
    std::vector<FormattedCounterItem> items;
    std::optional<double> expected;
  };
  const std::vector<Case> cases = {
      {"no items", {}, std::nullopt},
      {"one valid item", {{kValid, 12.5}}, 12.5},
      {"largest of several", {{kValid, 3}, {kNew, 41}, {kValid, 7}}, 41},
      {"invalid items ignored even when larger",
       {{kInvalid, 99}, {kValid, 5}, {kNoInstance, 80}},
       5},
      {"only invalid items", {{kInvalid, 1}, {kNoInstance, 2}}, std::nullopt},
      {"zero is a value", {{kValid, 0}}, 0.0},
  };
  for (const Case& testCase : cases) {
    EXPECT_EQ(LargestValidItem(testCase.items), testCase.expected) << testCase.name;
  }
}

TEST(WindowsPlatformText, WideCharToMultiByteWritesUtf8) {
  struct Case {
    const char* name;
    std::u16string wide;
    std::string utf8;
  };
  const std::vector<Case> cases = {
      {"ASCII", u"gpuproc.exe", "gpuproc.exe"},
      {"two-byte form", u"\u00fc", "\xC3\xBC"},
      {"surrogate pair", u"\U0001F600", "\xF0\x9F\x98\x80"},
      {"unpaired surrogate", std::u16string(1, char16_t{0xD800}), "\xEF\xBF\xBD"},
      {"embedded NUL", std::u16string(u"a\0b", 3), std::string("a\0b", 3)},
  };
  WindowsPlatform platform;
  for (const Case& testCase : cases) {
    const int length = static_cast<int>(testCase.wide.size());
    const int needed = platform.WideCharToMultiByte(testCase.wide.data(), length, nullptr, 0);
    ASSERT_EQ(needed, static_cast<int>(testCase.utf8.size())) << testCase.name;
    std::string out(static_cast<std::size_t>(needed), '\0');
    EXPECT_EQ(platform.WideCharToMultiByte(testCase.wide.data(), length, out.data(), needed),
              needed)
        << testCase.name;
    EXPECT_EQ(out, testCase.utf8) << testCase.name;
  }
}

// The Linux back end and the scripted platform convert with their own code;
// it must give the bytes that Windows gives.
TEST(WindowsPlatformText, OwnUtf8ConversionMatchesWindows) {
  const std::u16string lone = std::u16string(1, char16_t{0xDC00});
  const std::u16string inputs[] = {
      u"",
      u"plain",
      u"\u00e9\u4e2d\U0001F600",
      std::u16string(1, char16_t{0xD83D}) + u"x",  // high surrogate, then no low one
      lone + std::u16string(1, char16_t{0xD83D}),  // low before high
      std::u16string(1, char16_t{0xD83D}),         // high surrogate at the end
      u"\uFFFF\uFFFE\u0000end",
  };
  WindowsPlatform platform;
  for (const std::u16string& input : inputs) {
    const int length = static_cast<int>(input.size());
    const int needed = platform.WideCharToMultiByte(input.data(), length, nullptr, 0);
    std::string windows(static_cast<std::size_t>(needed), '\0');
    if (needed > 0) {
      platform.WideCharToMultiByte(input.data(), length, windows.data(), needed);
    }
    EXPECT_EQ(Utf16ToUtf8(input), windows) << "input of " << input.size() << " units";
  }
}

TEST(WindowsPlatformProcess, NamesItsOwnProcessAndNoOther) {
  WindowsPlatform platform;
  const ProcessHandle self = platform.OpenProcess(kProcessNameAccess, ::GetCurrentProcessId());
  ASSERT_NE(self, nullptr);
  std::array<char16_t, kProcessNameBufferSize> buffer{};
  const std::uint32_t count =
      platform.GetModuleBaseName(self, buffer.data(), kProcessNameBufferSize);
  platform.CloseHandle(self);
  ASSERT_NE(count, 0u);
  const std::u16string name(buffer.data(), std::u16string_view(buffer.data()).size());
  const std::wstring path = ExecutablePath();
  const std::wstring baseName = path.substr(path.find_last_of(L"\\/") + 1);
  EXPECT_EQ(name, std::u16string(baseName.begin(), baseName.end()));

  EXPECT_EQ(platform.OpenProcess(kProcessNameAccess, 4294967295u), nullptr);
}

TEST(WindowsPlatformErrors, LastErrorAndItsSystemText) {
  WindowsPlatform platform;
  ::SetLastError(ERROR_ACCESS_DENIED);
  EXPECT_EQ(platform.GetLastError(), static_cast<std::uint32_t>(ERROR_ACCESS_DENIED));

  std::u16string text;
  ASSERT_TRUE(platform.FormatSystemMessage(ERROR_ACCESS_DENIED, &text));
  // The system's text arrives untrimmed, with its own line break.
  ASSERT_GE(text.size(), 3u);
  EXPECT_EQ(text.substr(text.size() - 2), u"\r\n");

  // A code the system has no text for allocates no buffer.
  text = u"unchanged";
  EXPECT_FALSE(platform.FormatSystemMessage(0x2000FFFFu, &text));
  EXPECT_EQ(text, u"unchanged");
}

// In the C runtime's default C locale: Latin-1 as bytes, "?" for the rest.
TEST(ErrorLineBytes, UnconvertibleCharactersBecomeQuestionMarks) {
  struct Case {
    const char* name;
    std::u16string line;
    std::string bytes;
  };
  const std::vector<Case> cases = {
      {"plain line", u"one", "one\r\n"},
      {"empty line", u"", "\r\n"},
      {"Latin-1", u"caf\u00e9", "caf\xe9\r\n"},
      {"character in the middle", u"a\u4e2db", "a?b\r\n"},
      {"each half of a pair", u"\U0001F600x", "??x\r\n"},
  };
  for (const Case& testCase : cases) {
    EXPECT_EQ(ErrorLineBytes(testCase.line), testCase.bytes) << testCase.name;
  }
}

// The real standard error stream of a process, through the C runtime.
TEST(WindowsPlatformErrors, LineWithUnconvertibleCharacterDoesNotSilenceTheNext) {
  const CapturedRun run =
      RunCaptured(L"\"" + ExecutablePath() + L"\" " +
                      std::wstring(kChildWritesErrorLines.begin(), kChildWritesErrorLines.end()),
                  L"", nullptr);
  ASSERT_TRUE(run.started);
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_EQ(run.out, "");
  // The C locale has no byte for these two characters; the stream's text mode
  // ends each line with CR LF.
  EXPECT_EQ(run.err,
            "Failed to add counter: \\GPU Process Memory(\?\?)\\Local Usage ERROR CODE: -1\r\n"
            "second line\r\n");
}

int WriteErrorLinesAsChild() {
  WindowsPlatform platform;
  platform.WriteErrorLine(
      u"Failed to add counter: \\GPU Process Memory(\u4e2d\u6587)\\Local Usage ERROR CODE: -1");
  platform.WriteErrorLine(u"second line");
  platform.FlushErrorLines();
  return 0;
}

}  // namespace
}  // namespace gpuproc

int main(int argc, char** argv) {
  if (argc == 2 && std::string_view(argv[1]) == gpuproc::kChildWritesErrorLines) {
    return gpuproc::WriteErrorLinesAsChild();
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
