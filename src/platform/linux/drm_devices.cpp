#include "platform/linux/drm_devices.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <tuple>

#include "platform/linux/device_sysfs.h"
#include "platform/linux/number_text.h"

namespace gpuproc {
namespace {

// The minor number that card<N> and renderD<N> carry in their names.
std::optional<std::uint32_t> NodeNumber(std::string_view node, std::string_view prefix) {
  if (node.substr(0, std::min(node.size(), prefix.size())) != prefix) return std::nullopt;
  return ParseDecimal<std::uint32_t>(node.substr(prefix.size()));
}

// The device of a node that has no PCI address: its minor, accelerators
// above every DRM minor.
std::optional<GpuDevice> NonPciDevice(std::string_view node) {
  if (const auto minor = NodeNumber(node, "accel")) {
    if (*minor < kAccelDeviceLowBase)
      return GpuDevice{kNonPciDeviceHigh, kAccelDeviceLowBase + *minor};
    return std::nullopt;
  }
  std::optional<std::uint32_t> minor = NodeNumber(node, "card");
  if (!minor) minor = NodeNumber(node, "renderD");
  if (!minor) return std::nullopt;
  return GpuDevice{kNonPciDeviceHigh, *minor};
}

}  // namespace

std::string NodeClassDir(std::string_view node) {
  return (node.starts_with("accel") ? "class/accel/" : "class/drm/") + std::string(node);
}

std::optional<GpuDevice> ParsePciAddress(std::string_view text) {
  // dddd:bb:dd.f
  const std::size_t firstColon = text.find(':');
  if (firstColon == std::string_view::npos) return std::nullopt;
  const std::string_view rest = text.substr(firstColon + 1);
  if (rest.size() != 7 || rest[2] != ':' || rest[5] != '.') return std::nullopt;
  const auto domain = ParseHex(text.substr(0, firstColon), 8);
  const auto bus = ParseHex(rest.substr(0, 2), 2);
  const auto slot = ParseHex(rest.substr(3, 2), 2);
  const auto function = ParseHex(rest.substr(6, 1), 1);
  if (!domain || !bus || !slot || !function || *slot > 31 || *function > 7) return std::nullopt;
  return GpuDevice{*domain, *bus << 8 | *slot << 3 | *function};
}

bool IsNodeName(std::string_view name) {
  return !name.empty() && name.size() <= 32 && std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
  });
}

const std::vector<DrmDeviceResolver::Card>& DrmDeviceResolver::Cards() {
  if (cardsListed_) return cards_;
  cardsListed_ = true;
  for (const char* prefix : {"card", "accel"}) {
    const bool accel = prefix[0] == 'a';
    const std::string classDir = accel ? "class/accel" : "class/drm";
    for (const std::string& name : fs_.ListSysDir(classDir)) {
      // Connectors (card0-DP-1) share the prefix but are not devices.
      const std::optional<std::uint32_t> minor = NodeNumber(name, prefix);
      const std::optional<GpuDevice> fallback = NonPciDevice(name);
      if (!minor || !fallback) continue;
      const std::string deviceLink = classDir + "/" + name + "/device";
      const std::optional<std::string> link = fs_.ReadSysLink(deviceLink);
      if (!link) continue;
      Card card{*minor, name, std::string(LastComponent(*link)), {}, UniqueFd(), nullptr, accel};
      card.device = ParsePciAddress(card.deviceName).value_or(*fallback);
      if (fs_.SysRootFd() >= 0) {
        card.deviceDir = UniqueFd(OpenInRoot(fs_.SysRootFd(), deviceLink, O_PATH | O_DIRECTORY));
      }
      char target[256];
      const ssize_t length = card.deviceDir.Valid() ? ::readlinkat(card.deviceDir.Get(), "driver",
                                                                   target, sizeof target)
                                                    : -1;
      if (length > 0 && length < static_cast<ssize_t>(sizeof target)) {
        card.profile = ProfileForBoundDriver(
            LastComponent(std::string_view(target, static_cast<std::size_t>(length))));
      }
      cards_.push_back(std::move(card));
    }
  }
  std::sort(cards_.begin(), cards_.end(), [](const Card& a, const Card& b) {
    return std::tie(a.accel, a.minor) < std::tie(b.accel, b.minor);
  });
  return cards_;
}

bool DrmDeviceResolver::AnyNodeMayReport() {
  if (anyNodeMayReport_) return *anyNodeMayReport_;
  bool sawNode = false;
  bool mayReport = false;
  for (const char* classDir : {"class/drm", "class/accel"}) {
    for (const std::string& name : fs_.ListSysDir(classDir)) {
      if (!NonPciDevice(name)) continue;
      sawNode = true;
      const std::optional<std::string> link =
          fs_.ReadSysLink(NodeClassDir(name) + "/device/driver");
      const DriverProfile* profile = link ? ProfileForBoundDriver(LastComponent(*link)) : nullptr;
      if (profile == nullptr || profile->reportsUsage) mayReport = true;
    }
  }
  // No node at all: sysfs may just be hidden from us, so look anyway.
  anyNodeMayReport_ = mayReport || !sawNode;
  return *anyNodeMayReport_;
}

std::optional<GpuDevice> DrmDeviceResolver::ForClient(const DrmFdinfo& info,
                                                      std::string_view node) {
  if (const std::optional<GpuDevice> device = ParsePciAddress(info.pdev)) return device;
  for (const auto& [known, device] : nodes_) {
    if (known == node) return device;
  }
  std::optional<GpuDevice> device = FromSysfs(node);
  if (!device) device = NonPciDevice(node);
  if (device) nodes_.emplace_back(std::string(node), *device);
  return device;
}

DeviceKind DrmDeviceResolver::KindOf(const DriverProfile& profile, GpuDevice device,
                                     bool reportsDiscreteRegion) {
  switch (profile.kind) {
    case KindSignal::kAlwaysIntegrated:
      return DeviceKind::kIntegrated;
    case KindSignal::kDiscreteRegion:
      return reportsDiscreteRegion ? DeviceKind::kDiscrete : DeviceKind::kIntegrated;
    case KindSignal::kKfdTopology: {
      auto known = kfdVerdicts_.find(device);
      if (known == kfdVerdicts_.end()) {
        known = kfdVerdicts_.emplace(device, KfdShowsIntegrated(fs_.SysRootFd(), device)).first;
      }
      // Unreadable or silent: the reading of old, a discrete device.
      return known->second.value_or(false) ? DeviceKind::kIntegrated : DeviceKind::kDiscrete;
    }
  }
  return DeviceKind::kDiscrete;
}

std::optional<GpuDevice> DrmDeviceResolver::FromSysfs(std::string_view node) {
  const std::optional<std::string> link = fs_.ReadSysLink(NodeClassDir(node) + "/device");
  if (!link) return std::nullopt;
  const std::string_view deviceName = LastComponent(*link);
  if (const std::optional<GpuDevice> device = ParsePciAddress(deviceName)) return device;
  for (const Card& card : Cards()) {
    if (card.deviceName == deviceName) return card.device;
  }
  return std::nullopt;
}

}  // namespace gpuproc
