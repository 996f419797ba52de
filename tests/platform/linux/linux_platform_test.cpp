// The Linux platform: process names from a /proc tree, whole calls with no
// GPU source, and adapter names from a damaged tree.
#include "platform/linux/linux_platform.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>

#include <nlohmann/json.hpp>

#include "export/all_processes_driver.h"
#include "export/call_driver.h"
#include "process/process_name.h"

namespace gpuproc {
namespace {

namespace fs = std::filesystem;

class ProcTree : public ::testing::Test {
 protected:
  fs::path root;
  void SetUp() override {
    char pattern[] = "/tmp/gpuproc-proc-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root = pattern;
  }
  void TearDown() override { fs::remove_all(root); }
  void Exe(std::uint32_t processId, const std::string& target) {
    fs::create_directories(root / std::to_string(processId));
    fs::create_symlink(target, root / std::to_string(processId) / "exe");
  }
  LinuxPlatform Platform() {
    return LinuxPlatform({}, HostFs(root.string(), root.string()), [] { return std::uint64_t{0}; });
  }
};

TEST(ExecutableBaseName, IsTheLastComponentWithoutDeletedMark) {
  const std::pair<std::string, std::string> cases[] = {
      {"/usr/bin/glxgears", "glxgears"},
      {"/opt/game/bin/game (deleted)", "game"},
      {"/tmp/x (deleted) (deleted)", "x (deleted)"},
      {"/usr/bin/with space", "with space"},
      {"relative", "relative"},
  };
  for (const auto& [target, name] : cases) EXPECT_EQ(ExecutableBaseName(target), name);
}

TEST_F(ProcTree, ProcessNameComesFromTheExeLink) {
  Exe(10, "/usr/bin/g\xC3\xBCnter (deleted)");
  Exe(11, "/usr/bin/bad\xFFname");
  Exe(12, "/usr/bin/" + std::string(300, 'n'));
  LinuxPlatform platform = Platform();
  EXPECT_EQ(GetProcessName(platform, 10), u"g\u00FCnter");
  EXPECT_EQ(WideToUtf8(platform, GetProcessName(platform, 11)), "bad\xEF\xBF\xBDname");
  EXPECT_EQ(GetProcessName(platform, 12), std::u16string(259, u'n'));
  EXPECT_EQ(GetProcessName(platform, 13), u"unknown");
}

TEST_F(ProcTree, OwnProcessIsNamedFromTheRealProc) {
  LinuxPlatform platform({}, HostFs("/proc", "/sys"), MonotonicNanoseconds);
  const std::u16string name = GetProcessName(platform, static_cast<std::uint32_t>(getpid()));
  EXPECT_EQ(name, u"gpuproc_linux_tests");
}

TEST_F(ProcTree, CallWithoutGpuSourcesReportsNullAndWritesNoErrors) {
  Exe(10, "/usr/bin/app");
  LinuxPlatform platform = Platform();
  std::string reportText;
  std::string printed;
  ::testing::internal::CaptureStderr();
  ::testing::internal::CaptureStdout();
  const char* result = CollectGPUData(platform, 10, reportText, printed);
  platform.WriteOutputLine(printed);
  const std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  EXPECT_STREQ(result, "null");
  EXPECT_EQ(out, "null\n");
}

TEST_F(ProcTree, SystemPlatformFollowsHostProcEvenWhenItIsMissing) {
  ASSERT_EQ(setenv("HOST_PROC", (root / "missing").c_str(), 1), 0);
  const auto platform = CreateSystemPlatform();
  unsetenv("HOST_PROC");
  EXPECT_EQ(GetProcessName(*platform, static_cast<std::uint32_t>(getpid())), u"unknown");
  std::string reportText;
  std::string printed;
  ::testing::internal::CaptureStderr();
  ::testing::internal::CaptureStdout();
  EXPECT_STREQ(CollectGPUData(*platform, static_cast<std::uint32_t>(getpid()), reportText, printed),
               "");
  platform->FlushErrorLines();
  ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "PdhOpenQuery: The HOST_PROC root " + (root / "missing").string() +
                " is not a readable directory: No such file or directory.\n");
}

// A device whose sysfs link ends in a byte that is not UTF-8 (the msm tree:
// a platform device, named by its driver and that link's last component).
TEST_F(ProcTree, DeviceLinkThatIsNotUtf8GivesAValidDocument) {
  const fs::path tree = fs::path(GPUPROC_FIXTURES_DIR) / "msm";
  fs::copy(tree, root, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
  for (const char* node : {"card0", "renderD128"}) {
    const fs::path link = root / "sys/class/drm" / node / "device";
    fs::remove(link);
    fs::create_symlink("../../../devices/platform/soc@0/ae00000.gpu\xFF", link);
  }
  LinuxPlatform platform(DefaultGpuSources(),
                         HostFs((root / "proc").string(), (root / "sys").string()),
                         MonotonicNanoseconds);
  std::string reportText;
  const nlohmann::json report = nlohmann::json::parse(CollectAllGPUData(platform, reportText));
  ASSERT_EQ(report.size(), 1u);
  EXPECT_EQ(report[0]["AdapterName"], "ae00000.gpu\uFFFD");
}

TEST(LinuxPlatform, AdapterPairIsAcceptedButHasNoValueWithoutSources) {
  LinuxPlatform platform({}, HostFs("/", "/"), MonotonicNanoseconds);
  QueryHandle query = nullptr;
  ASSERT_EQ(platform.OpenQuery(&query), kPdhSuccess);
  CounterHandle free = nullptr;
  ASSERT_EQ(platform.AddCounter(query, u"\\GPU Adapter Memory\\Free", &free), kPdhSuccess);
  platform.CollectQueryData(query);
  platform.CollectQueryData(query);
  double value = 0;
  EXPECT_NE(platform.GetFormattedCounterValue(free, &value), kPdhSuccess);
  EXPECT_EQ(platform.CloseQuery(query), kPdhSuccess);
}

TEST(LinuxPlatform, MessageTextsExistForTheBackEndsStatuses) {
  LinuxPlatform platform({}, HostFs("/nonexistent", "/nonexistent"), MonotonicNanoseconds);
  std::u16string text;
  ASSERT_TRUE(platform.FormatSystemMessage(0xC0000BB8u, &text));
  EXPECT_EQ(text, u"The specified object was not found on the computer.");
  ASSERT_TRUE(platform.FormatSystemMessage(0xDEADBEEFu, &text));
  EXPECT_EQ(text, u"Unknown error 0xDEADBEEF.");
}

}  // namespace
}  // namespace gpuproc
