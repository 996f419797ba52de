// Names of GPUs from the PCI ID database (pci.ids, through libpci), for the
// devices the DRM source reports.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/linux/host_fs.h"

struct pci_access;  // libpci's handle

namespace gpuproc {

// The PCI ID database (libpci's default file, or `idsFile`), read on the
// first lookup and kept for the object's life: one call names all its GPUs
// from one reading. Neither udev's hwdb nor the network is asked, and nothing
// outside the database file is read or written.
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

 private:
  std::string idsFile_;  // libpci keeps a pointer to it
  ::pci_access* access_ = nullptr;
  // libpci gave up half-way through the file: its tables are not trusted.
  bool abandoned_ = false;
};

}  // namespace gpuproc
