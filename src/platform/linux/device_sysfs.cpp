#include "platform/linux/device_sysfs.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "platform/linux/host_fs.h"
#include "platform/linux/number_text.h"

namespace gpuproc {
namespace {

std::optional<std::string> ReadInRoot(int rootFd, const std::string& relative) {
  if (rootFd < 0) return std::nullopt;
  const UniqueFd file(OpenRegularFileInRoot(rootFd, relative));
  std::string text;
  if (!file.Valid() || !ReadAll(file.Get(), text)) return std::nullopt;
  return text;
}

// Calls visit(key, value) for each "key value" line of a sysfs or cgroup
// file; lines whose value is not a number are skipped.
template <typename Visit>
void ForEachKeyNumber(std::string_view text, Visit&& visit) {
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    const std::size_t space = line.rfind(' ');
    if (space == std::string_view::npos) continue;
    if (const auto value = ParseDecimal(line.substr(space + 1))) {
      visit(line.substr(0, space), *value);
    }
  }
}

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};

std::vector<std::string> ListInRoot(int rootFd, const char* relative) {
  std::vector<std::string> names;
  if (rootFd < 0) return names;
  const int fd = OpenInRoot(rootFd, relative, O_RDONLY | O_DIRECTORY);
  if (fd < 0) return names;
  const std::unique_ptr<DIR, DirCloser> dir(::fdopendir(fd));
  if (!dir) {
    ::close(fd);
    return names;
  }
  while (const dirent* entry = ::readdir(dir.get())) {
    if (entry->d_name[0] != '.') names.emplace_back(entry->d_name);
  }
  return names;
}

}  // namespace

std::optional<std::uint64_t> ReadSysNumber(int dirFd, const char* name) {
  if (dirFd < 0) return std::nullopt;
  const UniqueFd file(OpenRegularFileInRoot(dirFd, name));
  char text[32];
  ssize_t got = -1;
  if (file.Valid()) {
    do {
      got = ::read(file.Get(), text, sizeof text);
    } while (got < 0 && errno == EINTR);
  }
  // A number is far shorter than the buffer; a longer text is not one.
  if (got <= 0 || got == static_cast<ssize_t>(sizeof text)) return std::nullopt;
  std::string_view value(text, static_cast<std::size_t>(got));
  while (!value.empty() && (value.back() == '\n' || value.back() == ' ')) value.remove_suffix(1);
  return ParseDecimal(value);
}

std::optional<bool> KfdShowsIntegrated(int sysRoot, GpuDevice device) {
  constexpr const char* kNodes = "class/kfd/kfd/topology/nodes";
  for (const std::string& node : ListInRoot(sysRoot, kNodes)) {
    if (!ParseDecimal(node)) continue;
    const auto text = ReadInRoot(sysRoot, std::string(kNodes) + "/" + node + "/properties");
    if (!text) continue;
    std::optional<std::uint64_t> domain, location, cpuCores, simds;
    ForEachKeyNumber(*text, [&](std::string_view key, std::uint64_t value) {
      if (key == "domain") domain = value;
      if (key == "location_id") location = value;
      if (key == "cpu_cores_count") cpuCores = value;
      if (key == "simd_count") simds = value;
    });
    // location_id is the PCI bus, device and function as the device name's
    // low half packs them.
    if (domain != device.high || location != device.low || !simds || *simds == 0) continue;
    return cpuCores.value_or(0) > 0;
  }
  return std::nullopt;
}

std::map<std::uint32_t, KfdGpu> ReadKfdGpus(int sysRoot) {
  constexpr const char* kNodes = "class/kfd/kfd/topology/nodes";
  std::map<std::uint32_t, KfdGpu> gpus;
  for (const std::string& node : ListInRoot(sysRoot, kNodes)) {
    if (!ParseDecimal(node)) continue;
    const std::string folder = std::string(kNodes) + "/" + node;
    const auto idText = ReadInRoot(sysRoot, folder + "/gpu_id");
    const auto text = ReadInRoot(sysRoot, folder + "/properties");
    if (!idText || !text) continue;
    std::string_view id(*idText);
    while (!id.empty() && (id.back() == '\n' || id.back() == ' ')) id.remove_suffix(1);
    const std::optional<std::uint64_t> gpuId = ParseDecimal(id);
    if (!gpuId || *gpuId == 0 || *gpuId > 0xFFFFFFFFu) continue;
    std::optional<std::uint64_t> domain, location, simds, simdsPerCu;
    ForEachKeyNumber(*text, [&](std::string_view key, std::uint64_t value) {
      if (key == "domain") domain = value;
      if (key == "location_id") location = value;
      if (key == "simd_count") simds = value;
      if (key == "simd_per_cu") simdsPerCu = value;
    });
    if (!domain || !location || *domain > 0xFFFFFFFFu || *location > 0xFFFFu) continue;
    KfdGpu gpu{
        GpuDevice{static_cast<std::uint32_t>(*domain), static_cast<std::uint32_t>(*location)},
        std::nullopt};
    if (simds && simdsPerCu && *simdsPerCu > 0 && *simds >= *simdsPerCu) {
      gpu.computeUnits = *simds / *simdsPerCu;
    }
    gpus.emplace(static_cast<std::uint32_t>(*gpuId), gpu);
  }
  return gpus;
}

AdapterFigures ReadMemInfoAdapter(int deviceDir, int, GpuDevice) {
  AdapterFigures figures;
  const auto vramTotal = ReadSysNumber(deviceDir, "mem_info_vram_total");
  const auto vramUsed = ReadSysNumber(deviceDir, "mem_info_vram_used");
  const auto gttUsed = ReadSysNumber(deviceDir, "mem_info_gtt_used");
  if (vramUsed && gttUsed) figures.totalCommitted = SaturatingAdd(*vramUsed, *gttUsed);
  if (vramTotal && vramUsed) figures.free = *vramTotal > *vramUsed ? *vramTotal - *vramUsed : 0;
  return figures;
}

AdapterFigures ReadDmemVramAdapter(int, int sysRoot, GpuDevice device) {
  const auto capacityText = ReadInRoot(sysRoot, "fs/cgroup/dmem.capacity");
  const auto currentText = ReadInRoot(sysRoot, "fs/cgroup/dmem.current");
  if (!capacityText || !currentText) return {};
  // The regions of a DRM device are named drm/<its unique name>/<region>,
  // the unique name of a PCI device being its address.
  const std::string prefix = "drm/" + PciName(device) + "/vram";
  const auto isVram = [&](std::string_view region) {
    if (region.substr(0, std::min(region.size(), prefix.size())) != prefix) return false;
    return ParseDecimal(region.substr(prefix.size())).has_value();
  };
  std::uint64_t capacity = 0;
  std::uint64_t used = 0;
  int capacities = 0;
  int currents = 0;
  ForEachKeyNumber(*capacityText, [&](std::string_view region, std::uint64_t value) {
    if (!isVram(region)) return;
    capacity = SaturatingAdd(capacity, value);
    ++capacities;
  });
  ForEachKeyNumber(*currentText, [&](std::string_view region, std::uint64_t value) {
    if (!isVram(region)) return;
    used = SaturatingAdd(used, value);
    ++currents;
  });
  if (capacities == 0 || capacities != currents) return {};
  return {used, capacity > used ? capacity - used : 0};
}

std::string PciName(GpuDevice device) {
  char name[32];
  std::snprintf(name, sizeof name, "%04x:%02x:%02x.%x", device.high, device.low >> 8,
                (device.low >> 3) & 31u, device.low & 7u);
  return name;
}

}  // namespace gpuproc
