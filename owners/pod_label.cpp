#include "pod_label.h"

#include <dirent.h>

#include <memory>
#include <vector>

namespace gpuproc {

namespace {

constexpr std::size_t kContainerIdLength = 64;
// A node runs a few hundred pods; a folder far beyond that is not the
// kubelet's, and reading it must not make a scrape slow.
constexpr std::size_t kMaxEntries = 20000;

// Entry names of a folder, "" entries and dot files left out.
std::vector<std::string> FolderNames(const std::string& folder) {
  std::vector<std::string> names;
  std::unique_ptr<DIR, int (*)(DIR*)> directory(::opendir(folder.c_str()), ::closedir);
  if (directory == nullptr) return names;
  while (const dirent* entry = ::readdir(directory.get())) {
    if (entry->d_name[0] == '.') continue;
    names.emplace_back(entry->d_name);
    if (names.size() == kMaxEntries) break;
  }
  return names;
}

std::string SiblingFolder(const std::string& folder, const char* name) {
  std::string parent = folder;
  while (parent.size() > 1 && parent.back() == '/') parent.pop_back();
  const std::size_t slash = parent.rfind('/');
  if (slash == std::string::npos) return name;
  return parent.substr(0, slash + 1) + name;
}

bool IsLowerHex(std::string_view text) {
  for (const char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

// Namespace and pod names are DNS labels and subdomains: they hold no "_",
// so the kubelet's "_" separators split them unambiguously.
std::vector<std::string_view> SplitUnderscores(std::string_view text) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  for (std::size_t at = text.find('_'); at != std::string_view::npos; at = text.find('_', start)) {
    parts.push_back(text.substr(start, at - start));
    start = at + 1;
  }
  parts.push_back(text.substr(start));
  return parts;
}

bool NoneEmpty(const std::vector<std::string_view>& parts) {
  for (const std::string_view part : parts) {
    if (part.empty()) return false;
  }
  return true;
}

}  // namespace

KubeletLogLayout KubeletLogLayout::Read(const std::string& podLogsDir) {
  KubeletLogLayout layout;
  for (const std::string& name : FolderNames(podLogsDir)) {
    const std::vector<std::string_view> parts = SplitUnderscores(name);
    if (parts.size() != 3 || !NoneEmpty(parts)) continue;
    layout.pods_[std::string(parts[2])] = PodName{std::string(parts[0]), std::string(parts[1])};
  }
  for (const std::string& name : FolderNames(SiblingFolder(podLogsDir, "containers"))) {
    std::string_view text = name;
    if (text.size() < 4 || text.substr(text.size() - 4) != ".log") continue;
    text.remove_suffix(4);
    if (text.size() < kContainerIdLength + 2) continue;
    const std::string_view id = text.substr(text.size() - kContainerIdLength);
    text.remove_suffix(kContainerIdLength);
    if (!IsLowerHex(id) || text.back() != '-') continue;
    text.remove_suffix(1);
    const std::vector<std::string_view> parts = SplitUnderscores(text);
    if (parts.size() != 3 || !NoneEmpty(parts)) continue;
    layout.containers_[std::string(id)] = std::string(parts[2]);
  }
  return layout;
}

std::optional<PodName> KubeletLogLayout::Pod(std::string_view podUid) const {
  const auto found = pods_.find(podUid);
  if (found == pods_.end()) return std::nullopt;
  return found->second;
}

std::string KubeletLogLayout::ContainerName(std::string_view containerId) const {
  const auto found = containers_.find(containerId);
  return found == containers_.end() ? std::string() : found->second;
}

ProcessOwner KubeletLogLayout::Owner(const CgroupIdentity& identity) const {
  ProcessOwner owner;
  owner.container = identity.containerId.empty() ? identity.unit : identity.containerId;
  if (identity.podUid.empty()) return owner;
  owner.podUid = identity.podUid;
  if (const std::optional<PodName> pod = Pod(identity.podUid)) {
    owner.namespaceName = pod->namespaceName;
    owner.pod = pod->pod;
  }
  // A pod's own cgroup (no container in it) names no container: the
  // kubelet's slice is not one.
  if (identity.containerId.empty()) {
    owner.container.clear();
  } else if (std::string name = ContainerName(identity.containerId); !name.empty()) {
    owner.container = std::move(name);
  }
  return owner;
}

OwnerLookupFactory HostOwnerLookup(std::string podLogsDir) {
  return [podLogsDir = std::move(podLogsDir)]() -> OwnerLookup {
    auto layout = std::make_shared<const KubeletLogLayout>(KubeletLogLayout::Read(podLogsDir));
    return [layout](std::uint32_t processId) {
      return layout->Owner(IdentityFromCgroup(ReadProcessCgroup(processId)));
    };
  };
}

}  // namespace gpuproc
