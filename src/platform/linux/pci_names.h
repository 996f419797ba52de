// Names of GPUs from the PCI ID database (pci.ids, through libpci), for the
// devices the DRM source reports.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/linux/host_fs.h"

namespace gpuproc {

// "<vendor name> <device name>" from the database at `idsFile` (libpci's
// default where null); empty when it has no entry for the vendor and device
// or cannot be read. Neither udev's hwdb nor the network is asked, and
// nothing outside the database file is read or written.
std::string LookUpPciName(std::uint16_t vendor, std::uint16_t device,
                          const char* idsFile = nullptr);

// The name of the device behind `sysfsDevice` (a sysfs path below the root,
// such as "class/drm/card0/device") whose bus address is `address`: the
// database's name for its `vendor` and `device` files; else its driver's name
// (the `driver` link) followed by the address; else the address alone.
std::string DescribeSysfsDevice(const HostFs& fs, std::string_view sysfsDevice,
                                std::string_view address, const char* idsFile = nullptr);

}  // namespace gpuproc
