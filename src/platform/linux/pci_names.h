// Names of GPUs from the PCI ID database (pci.ids, through libpci), for the
// devices the DRM source reports.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "platform/linux/host_fs.h"

struct pci_access;  // libpci's handle

namespace gpuproc {

// The PCI ID database (libpci's default file, or `idsFile`). Parsing it costs
// milliseconds and its tables megabytes, while a GPU's name never changes:
// every name looked up is kept for the object's life, and the file is read
// only for a (vendor, device) not looked up before, its tables kept until
// ReleaseTables. Neither udev's hwdb nor the network is asked, and nothing
// outside the database file is read or written. Not synchronised.
class PciNameDatabase {
 public:
  explicit PciNameDatabase(const char* idsFile = nullptr);
  ~PciNameDatabase();
  PciNameDatabase(const PciNameDatabase&) = delete;
  PciNameDatabase& operator=(const PciNameDatabase&) = delete;

  // "<vendor name> <device name>"; empty when the database has no entry for
  // the vendor and device or cannot be read.
  std::string Name(std::uint16_t vendor, std::uint16_t device);

  // The name of the device behind `sysfsDevice` (a sysfs path below the
  // root, such as "class/drm/card0/device") whose bus address is `address`:
  // the database's name for its `vendor` and `device` files; else its
  // driver's name (the `driver` link) followed by the address; else the
  // address alone.
  std::string DescribeSysfsDevice(const HostFs& fs, std::string_view sysfsDevice,
                                  std::string_view address);

  // Frees libpci's tables; the names found stay. A database that could not
  // be parsed is tried again at the next lookup of a new device.
  void ReleaseTables();

 private:
  std::string idsFile_;  // libpci keeps a pointer to it
  ::pci_access* access_ = nullptr;
  std::map<std::uint32_t, std::string> names_;  // vendor << 16 | device
  // libpci gave up half-way through the file: its tables are not trusted.
  bool abandoned_ = false;
};

// The process's database (platform/linux/process_state.h, which defines
// this). Only used inside a call, under the library's call lock
// (src/export/call_state.h).
PciNameDatabase& SharedPciNameDatabase();

}  // namespace gpuproc
