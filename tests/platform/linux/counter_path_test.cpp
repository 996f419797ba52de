// Counter path parsing and wildcard matching of the Linux back end.
#include "platform/linux/counter_path.h"

#include <gtest/gtest.h>

namespace gpuproc {
namespace {

TEST(CounterPath, SplitsObjectInstanceAndCounter) {
  struct Case {
    std::u16string path;
    std::u16string object;
    std::optional<std::u16string> instance;
    std::u16string counter;
  };
  const Case cases[] = {
      {u"\\GPU Adapter Memory\\Free", u"GPU Adapter Memory", std::nullopt, u"Free"},
      {u"\\GPU Process Memory(pid_1_x)\\Local Usage", u"GPU Process Memory", u"pid_1_x",
       u"Local Usage"},
      {u"\\GPU Engine(pid_1*engtype_3D)\\Utilization Percentage", u"GPU Engine",
       u"pid_1*engtype_3D", u"Utilization Percentage"},
      // Instance names keep their own parentheses and backslashes.
      {u"\\GPU Process Memory(a(b)c)\\Total Committed", u"GPU Process Memory", u"a(b)c",
       u"Total Committed"},
      {u"\\GPU Process Memory(a\\b)\\Shared Usage", u"GPU Process Memory", u"a\\b",
       u"Shared Usage"},
  };
  for (const Case& c : cases) {
    const auto parsed = ParseCounterPath(c.path);
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(parsed->object, c.object);
    EXPECT_EQ(parsed->instance, c.instance);
    EXPECT_EQ(parsed->counter, c.counter);
  }
}

TEST(CounterPath, RefusesMalformedPaths) {
  const std::u16string cases[] = {
      u"",
      u"GPU Engine\\Utilization Percentage",  // no leading backslash
      u"\\\\host\\GPU Engine\\Utilization Percentage",
      u"\\GPU Engine",                            // no counter
      u"\\GPU Engine\\",                          // empty counter
      u"\\GPU Engine(x\\Utilization Percentage",  // unclosed instance
      u"\\GPU Engine()\\Utilization Percentage",  // empty instance
      u"\\(x)\\Free",                             // empty object
      u"\\GPU Engine)x(\\Free",
  };
  for (const std::u16string& path : cases) {
    EXPECT_FALSE(ParseCounterPath(path).has_value()) << std::string(path.begin(), path.end());
  }
}

TEST(CounterPath, WildcardStandsForAnyRun) {
  const std::tuple<std::u16string, std::u16string, bool> cases[] = {
      {u"pid_1_luid*engtype_3D", u"pid_1_luid_eng_0_engtype_3D", true},
      {u"pid_1_luid*engtype_3D", u"pid_1_luid_eng_0_engtype_3DX", false},
      {u"pid_1_luid*engtype_3D", u"pid_12_luid_eng_0_engtype_3D", false},
      {u"*", u"", true},
      {u"a*b*c", u"aXbYbZc", true},
      {u"a*b*c", u"aXcYb", false},
      {u"exact", u"exact", true},
      {u"exact", u"exacter", false},
  };
  for (const auto& [pattern, text, matches] : cases) {
    EXPECT_EQ(MatchesWildcard(pattern, text), matches)
        << std::string(pattern.begin(), pattern.end()) << " / "
        << std::string(text.begin(), text.end());
  }
}

TEST(CounterPath, InstanceNamesOfDevicesProcessesAndEngines) {
  const GpuDevice pci{0x0000, 0x0300};
  EXPECT_EQ(DeviceInstanceName(pci), "luid_0x00000000_0x00000300_phys_0");
  EXPECT_EQ(DeviceInstanceName({kNonPciDeviceHigh, 128}), "luid_0x80000000_0x00000080_phys_0");
  EXPECT_EQ(ProcessInstanceName(4294967295u, pci),
            "pid_4294967295_luid_0x00000000_0x00000300_phys_0");
  EXPECT_EQ(EngineInstanceName("pid_1_luid_0x00000000_0x00000300_phys_0", 2, "3D"),
            "pid_1_luid_0x00000000_0x00000300_phys_0_eng_2_engtype_3D");
  // A driver's own class name cannot break a counter path.
  EXPECT_EQ(EngineInstanceName("p", 0, "we)ird\\name*x"), "p_eng_0_engtype_we_ird_name_x");
}

}  // namespace
}  // namespace gpuproc
