// GPU names from the PCI ID database, over a database and sysfs trees of the
// test's own.
#include "platform/linux/pci_names.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace gpuproc {
namespace {

namespace fs = std::filesystem;

class PciNames : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/gpuproc-pci-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    top_ = pattern;
    Write("pci.ids",
          "# vendor, device, subsystem lines as pci.ids has them\n"
          "1002  Advanced Micro Devices, Inc. [AMD/ATI]\n"
          "\t73bf  Navi 21 [Radeon RX 6800/6800 XT / 6900 XT]\n"
          "\t\t1002 0e3a  Radeon RX 6900 XT\n"
          "10de  NVIDIA Corporation\n");
    Write("bad.ids",
          "1002  Advanced Micro Devices, Inc. [AMD/ATI]\n\t73bf  Navi 21\nnot an id line\n");
  }
  void TearDown() override { fs::remove_all(top_); }

  void Write(const std::string& relative, const std::string& text) {
    fs::create_directories((top_ / relative).parent_path());
    std::ofstream(top_ / relative) << text;
  }
  std::string Ids(const char* name) const { return (top_ / name).string(); }

  fs::path top_;
};

TEST_F(PciNames, DatabaseNamesVendorAndDeviceOrNothing) {
  PciNameDatabase database(Ids("pci.ids").c_str());
  EXPECT_EQ(database.Name(0x1002, 0x73bf),
            "Advanced Micro Devices, Inc. [AMD/ATI] Navi 21 [Radeon RX 6800/6800 XT / 6900 XT]");
  // A vendor without that device, an unknown vendor, a missing database and
  // one with a line libpci cannot parse (its error handler would exit the
  // host): no name, and the call returns.
  EXPECT_EQ(database.Name(0x10de, 0x2684), "");
  EXPECT_EQ(database.Name(0x1234, 0x5678), "");
  EXPECT_EQ(PciNameDatabase(Ids("missing.ids").c_str()).Name(0x1002, 0x73bf), "");
  PciNameDatabase broken(Ids("bad.ids").c_str());
  EXPECT_EQ(broken.Name(0x1002, 0x73bf), "");
  EXPECT_EQ(broken.Name(0x1002, 0x73bf), "");
}

TEST_F(PciNames, NamesOutliveTheTablesAndABrokenFileIsReadAgain) {
  PciNameDatabase database(Ids("pci.ids").c_str());
  const std::string navi = database.Name(0x1002, 0x73bf);
  ASSERT_FALSE(navi.empty());
  database.ReleaseTables();
  fs::remove(Ids("pci.ids"));
  EXPECT_EQ(database.Name(0x1002, 0x73bf), navi);

  PciNameDatabase broken(Ids("bad.ids").c_str());
  EXPECT_EQ(broken.Name(0x1002, 0x73bf), "");
  broken.ReleaseTables();
  Write("bad.ids", "1002  Advanced Micro Devices, Inc. [AMD/ATI]\n\t73bf  Navi 21\n");
  EXPECT_EQ(broken.Name(0x1002, 0x73bf), "Advanced Micro Devices, Inc. [AMD/ATI] Navi 21");
}

TEST_F(PciNames, SysfsDeviceIsNamedByIdsElseDriverAndAddress) {
  Write("sys/devices/a/vendor", "0x1002\n");
  Write("sys/devices/a/device", "0x73bf\n");
  Write("sys/devices/b/vendor", "0x10de\n");
  Write("sys/devices/b/device", "0x2684\n");
  fs::create_directory_symlink("../../bus/pci/drivers/nvidia", top_ / "sys/devices/b/driver");
  Write("sys/devices/c/vendor", "1002\n");  // not sysfs's form: no id
  const HostFs hostFs((top_ / "proc").string(), (top_ / "sys").string());
  PciNameDatabase database(Ids("pci.ids").c_str());
  const struct {
    const char* device;
    const char* expected;
  } cases[] = {
      {"devices/a",
       "Advanced Micro Devices, Inc. [AMD/ATI] Navi 21 [Radeon RX 6800/6800 XT / 6900 XT]"},
      {"devices/b", "nvidia 0000:05:00.0"},
      {"devices/c", "0000:05:00.0"},
      {"devices/missing", "0000:05:00.0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.device);
    EXPECT_EQ(database.DescribeSysfsDevice(hostFs, c.device, "0000:05:00.0"), c.expected);
  }
}

}  // namespace
}  // namespace gpuproc
