// Which GPU device a DRM node or client is: the cards under
// /sys/class/drm and the compute accelerators under /sys/class/accel, the driver each is bound to,
// whether a device is integrated or discrete, and the device names that fdinfo and sysfs use.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/linux/driver_profiles.h"
#include "platform/linux/fdinfo_parser.h"
#include "platform/linux/gpu_source.h"
#include "platform/linux/host_fs.h"

namespace gpuproc {

// "dddd:bb:dd.f" (the domain may have up to 8 hex digits) as a device name;
// empty when the text is not a PCI address.
std::optional<GpuDevice> ParsePciAddress(std::string_view text);

// A DRM node name as it may appear under /dev/dri and /sys/class/drm (or
// /dev/accel and /sys/class/accel): it goes into sysfs paths, so nothing
// that could climb out of the folder.
bool IsNodeName(std::string_view name);

// The sysfs class folder of a node: "class/accel/accel0", "class/drm/card0".
std::string NodeClassDir(std::string_view node);

// Maps DRM nodes to devices through sysfs. A source keeps one for its life
// (one call): which node is which GPU does not change between the
// collections of a 100 ms window, and listing the cards again for each
// collection would be most of what a collection limited to one process costs.
class DrmDeviceResolver {
 public:
  struct Card {
    std::uint32_t minor = 0;
    std::string node;
    std::string deviceName;  // last component of the card's `device` link
    GpuDevice device;
    UniqueFd deviceDir;  // the `device` folder, resolved inside the sysfs root
    // The driver the device is bound to, from its `driver` link; null when
    // the link cannot be read or names a driver the table does not know.
    const DriverProfile* profile = nullptr;
    bool accel = false;  // accel<N> under /sys/class/accel: an NPU
  };

  explicit DrmDeviceResolver(const HostFs& fs) : fs_(fs) {}

  // Every card, by minor number, then every accelerator, by minor number.
  const std::vector<Card>& Cards();

  // False when every DRM node (primary or render) and accel node belongs to a driver known
  // to print no usage statistics, so that no process can hold a client worth
  // reading: an NVIDIA server whose only DRM devices are nvidia-drm and the
  // BMC's display. A node whose driver is unknown or unreadable may report.
  bool AnyNodeMayReport();

  // drm-pdev when the driver names one; else the device behind the node in
  // sysfs (its PCI address, or the card of the same device, so that a render
  // node and its primary node name the same device); else the node's own
  // minor.
  std::optional<GpuDevice> ForClient(const DrmFdinfo& info, std::string_view node);

  // Integrated or discrete, by the signal the driver's profile names;
  // `reportsDiscreteRegion` says whether a client showed a region that only
  // discrete devices have.
  DeviceKind KindOf(const DriverProfile& profile, GpuDevice device, bool reportsDiscreteRegion);

 private:
  std::optional<GpuDevice> FromSysfs(std::string_view node);

  const HostFs& fs_;
  std::optional<bool> anyNodeMayReport_;
  bool cardsListed_ = false;
  std::vector<Card> cards_;
  std::vector<std::pair<std::string, GpuDevice>> nodes_;
  // The compute topology's verdict per device, read once per source.
  std::map<GpuDevice, std::optional<bool>> kfdVerdicts_;
};

}  // namespace gpuproc
