// Which GPU an instance name is on, and the description that names it.
#include "counters/adapter_memory.h"

#include <gtest/gtest.h>

namespace gpuproc {
namespace {

TEST(AdapterMemory, InstanceNamesItsGpuByTheLuidAndPhysicalIndex) {
  const struct {
    std::u16string_view instance;
    std::u16string_view adapter;
  } cases[] = {
      {u"luid_0x00000000_0x0000C3F1_phys_0", u"luid_0x00000000_0x0000C3F1_phys_0"},
      {u"luid_0x00000000_0x0000C3F1_phys_12_eng_3_engtype_3D",
       u"luid_0x00000000_0x0000C3F1_phys_12"},
      {u"luid_0x00000000_0x0000C3F1_phys_", u"luid_0x00000000_0x0000C3F1_phys_"},
      {u"_Total", u"_Total"},
  };
  for (const auto& c : cases) EXPECT_EQ(AdapterOf(c.instance), c.adapter);
}

TEST(AdapterMemory, DescriptionMatchesTheLuidWhateverItsCase) {
  const std::vector<AdapterDescription> adapters = {{u"luid_0x00000000_0x0000C3F1", "A", 1},
                                                    {u"luid_0x00000001_0x0000c3f1", "B", 2}};
  const struct {
    std::u16string_view adapter;
    const char* name;  // nullptr: none
  } cases[] = {
      {u"luid_0x00000000_0x0000C3F1_phys_1", "A"},
      {u"luid_0x00000001_0x0000C3F1_phys_0", "B"},
      {u"luid_0x00000000_0x0000C3F10_phys_0", nullptr},
      {u"luid_0x00000002_0x0000C3F1_phys_0", nullptr},
  };
  for (const auto& c : cases) {
    const AdapterDescription* found = FindAdapterDescription(c.adapter, adapters);
    ASSERT_EQ(found != nullptr, c.name != nullptr);
    if (found != nullptr) {
      EXPECT_EQ(found->name, c.name);
    }
  }
}

}  // namespace
}  // namespace gpuproc
