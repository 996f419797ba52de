#include "platform/linux/drm_fdinfo_source.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/linux/counter_path.h"
#include "platform/linux/device_sysfs.h"
#include "platform/linux/driver_profiles.h"
#include "platform/linux/fdinfo_parser.h"
#include "platform/linux/host_fs.h"

namespace gpuproc {
namespace {

constexpr std::string_view kDriPrefix = "/dev/dri/";

std::uint64_t SaturatingAdd(std::uint64_t a, std::uint64_t b) {
  return (a > std::numeric_limits<std::uint64_t>::max() - b)
             ? std::numeric_limits<std::uint64_t>::max()
             : a + b;
}

template <typename Number>
std::optional<Number> ParseDecimal(std::string_view text) {
  if (text.empty() || text.size() > 20) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
    if (value > std::numeric_limits<Number>::max()) return std::nullopt;
  }
  return static_cast<Number>(value);
}

std::optional<std::uint32_t> ParseHex(std::string_view text, std::size_t maxDigits) {
  if (text.empty() || text.size() > maxDigits) return std::nullopt;
  std::uint32_t value = 0;
  for (const char c : text) {
    std::uint32_t digit = 0;
    if (c >= '0' && c <= '9') {
      digit = static_cast<std::uint32_t>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      digit = static_cast<std::uint32_t>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      digit = static_cast<std::uint32_t>(c - 'A' + 10);
    } else {
      return std::nullopt;
    }
    value = value << 4 | digit;
  }
  return value;
}

std::string_view LastComponent(std::string_view path) {
  while (!path.empty() && path.back() == '/') path.remove_suffix(1);
  const std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// A DRM node name as it may appear under /dev/dri and /sys/class/drm: it
// goes into sysfs paths, so nothing that could climb out of the folder.
bool IsNodeName(std::string_view name) {
  return !name.empty() && name.size() <= 32 && std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
  });
}

// The minor number that card<N> and renderD<N> carry in their names.
std::optional<std::uint32_t> NodeNumber(std::string_view node, std::string_view prefix) {
  if (node.substr(0, std::min(node.size(), prefix.size())) != prefix) return std::nullopt;
  return ParseDecimal<std::uint32_t>(node.substr(prefix.size()));
}

// getdents64 straight into a buffer the source keeps: opendir() would
// allocate its own for each of the machine's thousands of fd folders.
template <typename Visit>
void ForEachDirectoryEntry(int dirFd, std::vector<char>& buffer, Visit&& visit) {
  for (;;) {
    const ssize_t got = ::getdents64(dirFd, buffer.data(), buffer.size());
    if (got <= 0) return;
    for (std::size_t position = 0; position < static_cast<std::size_t>(got);) {
      const char* record = buffer.data() + position;
      unsigned short recordLength = 0;
      std::memcpy(&recordLength, record + offsetof(dirent64, d_reclen), sizeof recordLength);
      if (recordLength == 0) return;
      const auto type = static_cast<unsigned char>(record[offsetof(dirent64, d_type)]);
      visit(record + offsetof(dirent64, d_name), type);
      position += recordLength;
    }
  }
}

// One DRM client of one process, after deduplication.
struct ClientKey {
  std::uint32_t processId = 0;
  GpuDevice device;
  bool hasClientId = false;
  std::uint64_t id = 0;  // drm-client-id, else the fd number
  friend auto operator<=>(const ClientKey&, const ClientKey&) = default;
};

struct Client {
  ClientKey key;
  DrmFdinfo info;
};

// Maps DRM nodes to devices through sysfs. A source keeps one for its life
// (one call): which node is which GPU does not change between the
// collections of a 100 ms window, and listing the cards again for each
// collection would be most of what a collection limited to one process costs.
class DeviceResolver {
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
  };

  explicit DeviceResolver(const HostFs& fs) : fs_(fs) {}

  const std::vector<Card>& Cards() {
    if (cardsListed_) return cards_;
    cardsListed_ = true;
    for (const std::string& name : fs_.ListSysDir("class/drm")) {
      // Connectors (card0-DP-1) share the prefix but are not devices.
      const std::optional<std::uint32_t> minor = NodeNumber(name, "card");
      if (!minor) continue;
      const std::optional<std::string> link = fs_.ReadSysLink("class/drm/" + name + "/device");
      if (!link) continue;
      Card card{*minor, name, std::string(LastComponent(*link)), {}, UniqueFd(), nullptr};
      card.device = ParsePciAddress(card.deviceName).value_or(GpuDevice{kNonPciDeviceHigh, *minor});
      if (fs_.SysRootFd() >= 0) {
        card.deviceDir = UniqueFd(
            OpenInRoot(fs_.SysRootFd(), "class/drm/" + name + "/device", O_PATH | O_DIRECTORY));
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
    std::sort(cards_.begin(), cards_.end(),
              [](const Card& a, const Card& b) { return a.minor < b.minor; });
    return cards_;
  }

  // False when every DRM node (primary or render) belongs to a driver known
  // to print no usage statistics, so that no process can hold a client worth
  // reading: an NVIDIA server whose only DRM devices are nvidia-drm and the
  // BMC's display. A node whose driver is unknown or unreadable may report.
  bool AnyNodeMayReport() {
    if (anyNodeMayReport_) return *anyNodeMayReport_;
    bool sawNode = false;
    bool mayReport = false;
    for (const std::string& name : fs_.ListSysDir("class/drm")) {
      if (!NodeNumber(name, "card") && !NodeNumber(name, "renderD")) continue;
      sawNode = true;
      const std::optional<std::string> link =
          fs_.ReadSysLink("class/drm/" + name + "/device/driver");
      const DriverProfile* profile = link ? ProfileForBoundDriver(LastComponent(*link)) : nullptr;
      if (profile == nullptr || profile->reportsUsage) mayReport = true;
    }
    // No node at all: sysfs may just be hidden from us, so look anyway.
    anyNodeMayReport_ = mayReport || !sawNode;
    return *anyNodeMayReport_;
  }

  // drm-pdev when the driver names one; else the device behind the node in
  // sysfs (its PCI address, or the card of the same device, so that a render
  // node and its primary node name the same device); else the node's own
  // minor.
  std::optional<GpuDevice> ForClient(const DrmFdinfo& info, std::string_view node) {
    if (const std::optional<GpuDevice> device = ParsePciAddress(info.pdev)) return device;
    for (const auto& [known, device] : nodes_) {
      if (known == node) return device;
    }
    std::optional<GpuDevice> device = FromSysfs(node);
    if (!device) {
      std::optional<std::uint32_t> minor = NodeNumber(node, "card");
      if (!minor) minor = NodeNumber(node, "renderD");
      if (minor) device = GpuDevice{kNonPciDeviceHigh, *minor};
    }
    if (device) nodes_.emplace_back(std::string(node), *device);
    return device;
  }

 private:
  std::optional<GpuDevice> FromSysfs(std::string_view node) {
    const std::optional<std::string> link =
        fs_.ReadSysLink("class/drm/" + std::string(node) + "/device");
    if (!link) return std::nullopt;
    const std::string_view deviceName = LastComponent(*link);
    if (const std::optional<GpuDevice> device = ParsePciAddress(deviceName)) return device;
    for (const Card& card : Cards()) {
      if (card.deviceName == deviceName) return card.device;
    }
    return std::nullopt;
  }

  const HostFs& fs_;
  std::optional<bool> anyNodeMayReport_;
  bool cardsListed_ = false;
  std::vector<Card> cards_;
  std::vector<std::pair<std::string, GpuDevice>> nodes_;
};

// One client's use of one engine class between two collections.
std::optional<double> ClientEnginePercent(const FdinfoEngine& now, const FdinfoEngine* before,
                                          std::uint64_t wallNs) {
  const double capacity =
      (now.capacity && *now.capacity > 0) ? static_cast<double>(*now.capacity) : 1.0;
  if (now.busyNs) {
    if (wallNs == 0) return std::nullopt;
    // A busy-time line the previous collection lacked had not counted yet:
    // amdgpu prints an engine only once its time is above 0.
    const std::uint64_t earlier = (before && before->busyNs) ? *before->busyNs : 0;
    const std::uint64_t busy = *now.busyNs > earlier ? *now.busyNs - earlier : 0;
    return static_cast<double>(busy) * 100.0 / static_cast<double>(wallNs) / capacity;
  }
  if (now.cycles && now.totalCycles) {
    if (before == nullptr || !before->cycles || !before->totalCycles) return std::nullopt;
    if (*now.totalCycles <= *before->totalCycles) return std::nullopt;
    const std::uint64_t total = *now.totalCycles - *before->totalCycles;
    const std::uint64_t busy = *now.cycles > *before->cycles ? *now.cycles - *before->cycles : 0;
    return static_cast<double>(busy) * 100.0 / static_cast<double>(total) / capacity;
  }
  return std::nullopt;
}

class DrmFdinfoSource final : public GpuSource {
 public:
  explicit DrmFdinfoSource(const GpuSourceContext& context)
      : fs_(context.fs), clock_(context.clock), resolver_(fs_), directoryBuffer_(32 * 1024) {}

  GpuSnapshot Collect(const CollectScope& scope) override;

 private:
  void ListProcesses(int procRoot);
  bool IsOtherProcessThread(int procRoot, std::uint32_t processId);
  void ScanProcess(int procRoot, std::uint32_t processId, DeviceResolver& resolver,
                   bool knownClientsOnly);
  bool ListGpuFds(int procRoot, std::uint32_t processId);
  void ListKnownGpuFds(int procRoot, std::uint32_t processId);
  bool ReadFdinfo(int procRoot, std::uint32_t processId, int fd);
  void Summarise(std::uint32_t processId, std::uint64_t wallNs, GpuSnapshot& snapshot);
  std::vector<AdapterUsage> ReadAdapters(DeviceResolver& resolver, bool values);
  DeviceKind KindOf(const DriverProfile& profile, GpuDevice device, bool reportsDiscreteRegion);

  const HostFs& fs_;
  MonotonicClock clock_;
  DeviceResolver resolver_;

  // Kept between collections so that a scan allocates nothing for the fds
  // and processes that are not GPU clients.
  std::vector<char> directoryBuffer_;
  std::vector<std::uint32_t> processIds_;
  std::vector<std::pair<int, std::string>> gpuFds_;
  // Each process's DRM fds (fd, node) at the previous collection, and at
  // this one, for a follow-up collection that re-reads only those.
  std::map<std::uint32_t, std::vector<std::pair<int, std::string>>> knownGpuFds_;
  std::map<std::uint32_t, std::vector<std::pair<int, std::string>>> currentGpuFds_;
  std::string fdinfoText_;
  std::vector<Client> clients_;
  std::set<ClientKey> seenClients_;

  // The engines of every client at the previous collection, for utilisation.
  std::map<ClientKey, std::vector<FdinfoEngine>> previous_;
  std::map<ClientKey, std::vector<FdinfoEngine>> current_;
  std::optional<std::uint64_t> previousTime_;

  // The compute topology's verdict per device, read once per source.
  std::map<GpuDevice, std::optional<bool>> kfdVerdicts_;
};

DeviceKind DrmFdinfoSource::KindOf(const DriverProfile& profile, GpuDevice device,
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

void DrmFdinfoSource::ListProcesses(int procRoot) {
  processIds_.clear();
  const UniqueFd dir(OpenInRoot(procRoot, ".", O_RDONLY | O_DIRECTORY));
  if (!dir.Valid()) return;
  ForEachDirectoryEntry(dir.Get(), directoryBuffer_, [&](const char* name, unsigned char) {
    if (const auto processId = ParseDecimal<std::uint32_t>(name)) processIds_.push_back(*processId);
  });
  std::sort(processIds_.begin(), processIds_.end());
}

// /proc/<tid> of a thread opens like its process's folder and shows the
// process's fds, but /proc lists only processes: a thread's id names no
// process, so it has no instances of its own. A status without Tgid (a
// recorded tree) is taken as a process's.
bool DrmFdinfoSource::IsOtherProcessThread(int procRoot, std::uint32_t processId) {
  char path[32];
  std::snprintf(path, sizeof path, "%u/status", processId);
  const UniqueFd file(OpenRegularFileInRoot(procRoot, path));
  if (!file.Valid()) return false;
  // Tgid is the fourth line, after a name of at most 64 escaped bytes.
  char text[512];
  ssize_t got = 0;
  do {
    got = ::read(file.Get(), text, sizeof text);
  } while (got < 0 && errno == EINTR);
  if (got <= 0) return false;
  constexpr std::string_view kTgid = "\nTgid:";
  std::string_view status(text, static_cast<std::size_t>(got));
  const std::size_t at = status.find(kTgid);
  if (at == std::string_view::npos) return false;
  status.remove_prefix(at + kTgid.size());
  while (!status.empty() && (status.front() == '\t' || status.front() == ' ')) {
    status.remove_prefix(1);
  }
  const std::size_t end = status.find('\n');
  if (end == std::string_view::npos) return false;
  const std::optional<std::uint32_t> group = ParseDecimal<std::uint32_t>(status.substr(0, end));
  return group && *group != processId;
}

bool DrmFdinfoSource::ReadFdinfo(int procRoot, std::uint32_t processId, int fd) {
  char path[48];
  std::snprintf(path, sizeof path, "%u/fdinfo/%d", processId, fd);
  // Not procfs's own fdinfo but a replayed tree's may be a FIFO or a device:
  // only regular files are read, and never with a blocking open.
  const UniqueFd file(OpenRegularFileInRoot(procRoot, path));
  return file.Valid() && ReadAll(file.Get(), fdinfoText_);
}

bool DrmFdinfoSource::ListGpuFds(int procRoot, std::uint32_t processId) {
  char path[32];
  std::snprintf(path, sizeof path, "%u/fd", processId);
  // Gone, another user's process, not dumpable, hidepid: no data.
  const UniqueFd dir(OpenInRoot(procRoot, path, O_RDONLY | O_DIRECTORY));
  if (!dir.Valid()) return false;
  char target[256];
  ForEachDirectoryEntry(dir.Get(), directoryBuffer_, [&](const char* name, unsigned char type) {
    if (type != DT_LNK && type != DT_UNKNOWN) return;
    const std::optional<int> fd = ParseDecimal<int>(name);
    if (!fd) return;
    const ssize_t length = ::readlinkat(dir.Get(), name, target, sizeof target);
    if (length <= static_cast<ssize_t>(kDriPrefix.size()) ||
        length >= static_cast<ssize_t>(sizeof target) ||
        std::memcmp(target, kDriPrefix.data(), kDriPrefix.size()) != 0) {
      return;
    }
    gpuFds_.emplace_back(*fd, std::string(target + kDriPrefix.size(),
                                          static_cast<std::size_t>(length) - kDriPrefix.size()));
  });
  return true;
}

void DrmFdinfoSource::ListKnownGpuFds(int procRoot, std::uint32_t processId) {
  const auto known = knownGpuFds_.find(processId);
  if (known == knownGpuFds_.end()) return;
  char path[32];
  std::snprintf(path, sizeof path, "%u/fd", processId);
  const UniqueFd dir(OpenInRoot(procRoot, path, O_RDONLY | O_DIRECTORY));
  if (!dir.Valid()) return;
  char name[16];
  char target[256];
  for (const auto& [fd, node] : known->second) {
    // Still the same node: a closed fd, or one reused for another file, is
    // no longer that client.
    std::snprintf(name, sizeof name, "%d", fd);
    const ssize_t length = ::readlinkat(dir.Get(), name, target, sizeof target);
    if (length == static_cast<ssize_t>(kDriPrefix.size() + node.size()) &&
        std::memcmp(target, kDriPrefix.data(), kDriPrefix.size()) == 0 &&
        std::memcmp(target + kDriPrefix.size(), node.data(), node.size()) == 0) {
      gpuFds_.emplace_back(fd, node);
    }
  }
}

void DrmFdinfoSource::ScanProcess(int procRoot, std::uint32_t processId, DeviceResolver& resolver,
                                  bool knownClientsOnly) {
  gpuFds_.clear();
  clients_.clear();
  seenClients_.clear();
  if (knownClientsOnly) {
    ListKnownGpuFds(procRoot, processId);
  } else if (!ListGpuFds(procRoot, processId)) {
    return;
  }
  if (gpuFds_.empty()) return;
  // Clients in fd order, so that engine classes come in the same order in
  // every collection whatever order the directory lists them in.
  std::sort(gpuFds_.begin(), gpuFds_.end());
  currentGpuFds_[processId] = gpuFds_;

  for (const auto& [fd, node] : gpuFds_) {
    if (!IsNodeName(node)) continue;
    // The fd may have been closed since its link was read, or reused for a
    // file that is not a DRM client: such fdinfo has no drm-driver.
    if (!ReadFdinfo(procRoot, processId, fd)) continue;
    DrmFdinfo info = ParseFdinfo(fdinfoText_);
    // nvidia-drm, nouveau and KMS-only drivers print no usage statistics.
    if (info.driver.empty()) continue;
    const std::optional<GpuDevice> device = resolver.ForClient(info, node);
    if (!device) continue;
    ClientKey key{processId, *device, info.clientId.has_value(),
                  info.clientId.value_or(static_cast<std::uint64_t>(fd))};
    // A dup()ed or inherited fd shows the same client twice; a process that
    // leaks DRM fds may hold tens of thousands, hence a set, not a search.
    if (!seenClients_.insert(key).second) continue;
    const std::string_view always = ProfileForDriver(info.driver).alwaysListedEngine;
    if (!always.empty() && info.FindEngine(always) == nullptr) {
      // A driver that leaves out an engine whose busy time is still 0: the
      // class exists for every client all the same, listed first.
      FdinfoEngine engine;
      engine.name = std::string(always);
      engine.busyNs = 0;
      info.engines.insert(info.engines.begin(), std::move(engine));
    }
    clients_.push_back(Client{key, std::move(info)});
  }
}

void DrmFdinfoSource::Summarise(std::uint32_t processId, std::uint64_t wallNs,
                                GpuSnapshot& snapshot) {
  std::vector<GpuDevice> devices;
  for (const Client& client : clients_) devices.push_back(client.key.device);
  std::sort(devices.begin(), devices.end());
  devices.erase(std::unique(devices.begin(), devices.end()), devices.end());

  for (const GpuDevice& device : devices) {
    ProcessGpuUsage usage;
    usage.processId = processId;
    usage.device = device;

    bool hasMemory = false;
    bool reportsDiscreteRegion = false;
    std::uint64_t dedicated = 0;
    std::uint64_t shared = 0;
    std::uint64_t committed = 0;
    std::vector<std::pair<std::string_view, std::string_view>> classes;  // driver, class
    const DriverProfile* profile = nullptr;

    for (const Client& client : clients_) {
      if (client.key.device != device) continue;
      profile = &ProfileForDriver(client.info.driver);
      for (const FdinfoRegion& region : client.info.regions) {
        if (RegionMarksDiscrete(*profile, region.name)) reportsDiscreteRegion = true;
      }
    }
    const DeviceKind kind = KindOf(*profile, device, reportsDiscreteRegion);

    for (const Client& client : clients_) {
      if (client.key.device != device) continue;
      const DrmFdinfo& info = client.info;
      const DriverProfile& clientProfile = ProfileForDriver(info.driver);
      for (const FdinfoRegion& region : info.regions) {
        hasMemory = true;
        const RegionClass regionClass = ClassifyRegion(clientProfile, region.name, kind);
        if (regionClass == RegionClass::kIgnored) continue;
        const std::optional<std::uint64_t> resident = region.ResidentBytes();
        // Windows' dedicated memory: VRAM, or the firmware's carve-out of
        // an integrated GPU.
        if (regionClass == RegionClass::kSystem) {
          shared = SaturatingAdd(shared, resident.value_or(0));
        } else {
          dedicated = SaturatingAdd(dedicated, resident.value_or(0));
        }
        committed = SaturatingAdd(committed, region.total.value_or(resident.value_or(0)));
      }
      for (const FdinfoEngine& engine : info.engines) {
        const bool listed = std::any_of(classes.begin(), classes.end(), [&](const auto& known) {
          return known.second == engine.name;
        });
        if (!listed) classes.emplace_back(info.driver, engine.name);
      }
    }
    if (hasMemory) {
      usage.dedicatedUsage = dedicated;
      usage.sharedUsage = shared;
      // On an integrated GPU the local segment and system memory are the
      // same memory (a UMA adapter, as Windows counts it).
      usage.localUsage =
          kind == DeviceKind::kDiscrete ? dedicated : SaturatingAdd(dedicated, shared);
      usage.totalCommitted = committed;
    }

    for (const auto& [driver, engineClass] : classes) {
      double sum = 0;
      bool contributed = false;
      for (const Client& client : clients_) {
        if (client.key.device != device) continue;
        const FdinfoEngine* now = client.info.FindEngine(engineClass);
        if (now == nullptr) continue;
        const auto before = previous_.find(client.key);
        if (before == previous_.end() || !previousTime_) continue;
        const FdinfoEngine* earlier = nullptr;
        for (const FdinfoEngine& engine : before->second) {
          if (engine.name == engineClass) earlier = &engine;
        }
        if (const std::optional<double> percent = ClientEnginePercent(*now, earlier, wallNs)) {
          sum += *percent;
          contributed = true;
        }
      }
      EngineClassUsage engine;
      engine.type = EngineClassType(driver, engineClass);
      if (contributed) engine.utilizationPercent = std::clamp(sum, 0.0, 100.0);
      usage.engines.push_back(std::move(engine));
    }
    snapshot.processes.push_back(std::move(usage));
  }

  // Keep this collection's counters for the next one. A counter that went
  // down keeps its larger earlier value until the driver catches up with it
  // (the DRM usage-stats rule), so the dip is not counted twice.
  for (Client& client : clients_) {
    std::vector<FdinfoEngine>& engines = client.info.engines;
    const auto before = previous_.find(client.key);
    if (before != previous_.end()) {
      for (FdinfoEngine& engine : engines) {
        for (const FdinfoEngine& earlier : before->second) {
          if (earlier.name != engine.name) continue;
          if (engine.busyNs && earlier.busyNs && *earlier.busyNs > *engine.busyNs) {
            engine.busyNs = earlier.busyNs;
          }
          if (engine.cycles && earlier.cycles && *earlier.cycles > *engine.cycles) {
            engine.cycles = earlier.cycles;
          }
        }
      }
    }
    current_[client.key] = std::move(engines);
  }
}

std::vector<AdapterUsage> DrmFdinfoSource::ReadAdapters(DeviceResolver& resolver, bool values) {
  std::vector<AdapterUsage> adapters;
  for (const DeviceResolver::Card& card : resolver.Cards()) {
    AdapterUsage adapter;
    adapter.device = card.device;
    // An integrated GPU's memory is the system's: no adapter figures, as
    // on Windows. Where the kind shows only in a process's regions, the
    // driver's reader finds nothing on an integrated device anyway.
    const DriverProfile* profile = card.profile;
    if (values && profile != nullptr && profile->adapter != nullptr &&
        KindOf(*profile, card.device, true) == DeviceKind::kDiscrete) {
      const AdapterFigures figures =
          profile->adapter(card.deviceDir.Get(), fs_.SysRootFd(), card.device);
      adapter.totalCommitted = figures.totalCommitted;
      adapter.free = figures.free;
    }
    const bool duplicate =
        std::any_of(adapters.begin(), adapters.end(),
                    [&](const AdapterUsage& known) { return known.device == adapter.device; });
    if (!duplicate) adapters.push_back(adapter);
  }
  std::sort(adapters.begin(), adapters.end(),
            [](const AdapterUsage& a, const AdapterUsage& b) { return a.device < b.device; });
  return adapters;
}

GpuSnapshot DrmFdinfoSource::Collect(const CollectScope& scope) {
  const std::uint64_t now = clock_ ? clock_() : 0;
  const std::uint64_t wallNs = (previousTime_ && now > *previousTime_) ? now - *previousTime_ : 0;
  GpuSnapshot snapshot;
  current_.clear();
  currentGpuFds_.clear();

  const int procRoot = fs_.ProcRootFd();
  if (procRoot >= 0) {
    if (!resolver_.AnyNodeMayReport()) {
      // No DRM device here prints statistics: no fd is worth a look.
      processIds_.clear();
    } else if (scope.allProcesses) {
      ListProcesses(procRoot);
    } else {
      processIds_ = scope.processIds;
      std::sort(processIds_.begin(), processIds_.end());
      processIds_.erase(std::unique(processIds_.begin(), processIds_.end()), processIds_.end());
      // The full scan never sees threads; a scan limited to ids must not either.
      std::erase_if(processIds_, [&](std::uint32_t processId) {
        return IsOtherProcessThread(procRoot, processId);
      });
    }
    for (const std::uint32_t processId : processIds_) {
      ScanProcess(procRoot, processId, resolver_, scope.knownClientsOnly && !scope.allProcesses);
      if (clients_.empty()) continue;
      Summarise(processId, wallNs, snapshot);
    }
  }
  snapshot.adapters = ReadAdapters(resolver_, scope.adapterValues);

  std::swap(previous_, current_);
  current_.clear();
  std::swap(knownGpuFds_, currentGpuFds_);
  previousTime_ = now;
  return snapshot;
}

}  // namespace

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

std::unique_ptr<GpuSource> CreateDrmFdinfoSource(const GpuSourceContext& context) {
  return std::make_unique<DrmFdinfoSource>(context);
}

}  // namespace gpuproc
