#include "container_label.h"

#include <algorithm>
#include <array>
#include <vector>

#include "proc_file.h"

namespace gpuproc {

namespace {

constexpr std::size_t kContainerIdLength = 64;
constexpr std::size_t kMaxCgroupFileBytes = 64 * 1024;
// The kernel prints a cgroup path of at most PATH_MAX bytes; a longer line
// is not one it wrote, and is ignored rather than searched.
constexpr std::size_t kMaxLineBytes = 4096 + 64;

bool IsLowerHex(std::string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

bool IsContainerId(std::string_view text) {
  return text.size() == kContainerIdLength && IsLowerHex(text);
}

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

bool EndsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

std::string_view WithoutSuffix(std::string_view text, std::string_view suffix) {
  return EndsWith(text, suffix) ? text.substr(0, text.size() - suffix.size()) : text;
}

// One path component as the runtimes name a container: "<64 hex>"
// (cgroupfs driver: /docker/<id>, /kubepods/.../<id>), "<prefix>-<64 hex>"
// (Podman's cgroupfs layout, /libpod_parent/libpod-<id>) or the same with
// ".scope" (systemd driver). Podman's monitor ("libpod-conmon-<id>.scope")
// is not the container and does not match.
std::string ContainerIdOf(std::string_view component) {
  if (IsContainerId(component)) return std::string(component);
  const std::string_view name = WithoutSuffix(component, ".scope");
  for (const std::string_view prefix : {"docker-", "cri-containerd-", "crio-", "libpod-"}) {
    if (StartsWith(name, prefix) && IsContainerId(name.substr(prefix.size()))) {
      return std::string(name.substr(prefix.size()));
    }
  }
  return {};
}

// A pod UID is a UUID (8-4-4-4-12 hex digits); a static pod's is the 32
// hex digits of its manifest's hash. The systemd driver writes each "-" as
// "_", because "-" nests slices.
std::string PodUidOf(std::string_view text) {
  std::string uid(text);
  std::replace(uid.begin(), uid.end(), '_', '-');
  if (uid.size() == 32 && IsLowerHex(uid)) return uid;
  if (uid.size() != 36) return {};
  for (std::size_t i = 0; i < uid.size(); ++i) {
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? uid[i] != '-' : !IsLowerHex(std::string_view(uid).substr(i, 1))) return {};
  }
  return uid;
}

// "pod<UID>" (cgroupfs driver), or "kubepods[-<qos>]-pod<UID>.slice"
// (systemd driver; Guaranteed pods have no QoS level).
std::string PodUidOfComponent(std::string_view component) {
  if (StartsWith(component, "pod")) return PodUidOf(component.substr(3));
  if (!StartsWith(component, "kubepods-") || !EndsWith(component, ".slice")) return {};
  std::string_view name = WithoutSuffix(component, ".slice");
  for (const std::string_view qos :
       {"kubepods-burstable-pod", "kubepods-besteffort-pod", "kubepods-pod"}) {
    if (StartsWith(name, qos)) return PodUidOf(name.substr(qos.size()));
  }
  return {};
}

std::vector<std::string_view> Split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t end = text.find(separator, start);
    const std::size_t stop = end == std::string_view::npos ? text.size() : end;
    parts.push_back(text.substr(start, stop - start));
    start = stop + 1;
  }
  return parts;
}

using Components = std::vector<std::string_view>;

std::string_view At(const Components& parts, std::size_t index) {
  return index < parts.size() ? parts[index] : std::string_view();
}

// The pod UID and container id of a path that the kubelet made. The
// kubelet's root is the first component (kubepods, kubepods.slice), then an
// optional QoS level, the pod, and the container directly under it. A path
// that starts with ".." lies outside this cgroup namespace's root and begins
// at one of its ancestors' siblings, which may be the QoS level or the pod
// itself. Pod-like names anywhere else (a user's own delegated subtree may
// hold any name) are not the kubelet's and say nothing.
bool KubeletPod(const Components& parts, bool outsideRoot, CgroupIdentity& identity) {
  std::size_t at = 0;
  const bool cgroupfs = At(parts, 0) == "kubepods";
  if (cgroupfs || At(parts, 0) == "kubepods.slice") {
    at = 1;
  } else if (!outsideRoot) {
    return false;
  }
  const std::string_view level = At(parts, at);
  if (level == "kubepods-besteffort.slice" || level == "kubepods-burstable.slice" ||
      ((cgroupfs || outsideRoot) && (level == "besteffort" || level == "burstable"))) {
    ++at;
  }
  std::string uid = PodUidOfComponent(At(parts, at));
  if (uid.empty()) return false;
  identity.podUid = std::move(uid);
  identity.containerId = ContainerIdOf(At(parts, at + 1));
  return true;
}

// Where container runtimes place containers outside Kubernetes: system and
// machine slices (root's), the cgroupfs parents of Docker and Podman, and a
// user's own delegated subtree, where an id names that user's rootless
// container and nothing more.
bool RuntimePlacesContainers(const Components& parts, std::size_t& from) {
  const std::string_view root = At(parts, 0);
  if (root == "system.slice" || root == "machine.slice" || root == "docker" ||
      root == "libpod_parent") {
    from = 1;
    return true;
  }
  const std::string_view user = At(parts, 1);
  if (root != "user.slice" || !StartsWith(user, "user-") || !EndsWith(user, ".slice")) return false;
  const std::string_view uid = user.substr(5, user.size() - 5 - 6);
  from = 3;
  return At(parts, 2) == "user@" + std::string(uid) + ".service";
}

CgroupIdentity IdentityOfPath(std::string_view path) {
  CgroupIdentity identity;
  Components parts;
  for (const std::string_view part : Split(path, '/')) {
    if (!part.empty()) parts.push_back(part);
  }
  bool outsideRoot = false;
  while (!parts.empty() && parts.front() == "..") {
    outsideRoot = true;
    parts.erase(parts.begin());
  }
  // Innermost first: Podman nests its payload in <scope>/container, and a
  // container inside a systemd service belongs to the container.
  for (auto it = parts.rbegin(); it != parts.rend(); ++it) {
    if (identity.unit.empty() && (EndsWith(*it, ".service") || EndsWith(*it, ".scope"))) {
      identity.unit = std::string(*it);
    }
  }
  if (KubeletPod(parts, outsideRoot, identity)) return identity;
  std::size_t from = 0;
  if (!outsideRoot && RuntimePlacesContainers(parts, from)) {
    for (std::size_t i = parts.size(); i > from && identity.containerId.empty(); --i) {
      identity.containerId = ContainerIdOf(parts[i - 1]);
    }
  }
  return identity;
}

int Weight(const CgroupIdentity& identity) {
  if (!identity.containerId.empty()) return 3;
  if (!identity.podUid.empty()) return 2;
  return identity.unit.empty() ? 0 : 1;
}

}  // namespace

std::vector<CgroupLine> CgroupLines(std::string_view cgroupText) {
  std::vector<CgroupLine> lines;
  for (const std::string_view line : Split(cgroupText, '\n')) {
    if (line.size() > kMaxLineBytes) continue;
    const std::size_t first = line.find(':');
    if (first == std::string_view::npos) continue;
    const std::size_t second = line.find(':', first + 1);
    if (second == std::string_view::npos) continue;
    lines.push_back({line.substr(0, second + 1) == "0::", line.substr(second + 1)});
  }
  return lines;
}

std::string CgroupPath(std::string_view cgroupText) {
  const std::vector<CgroupLine> lines = CgroupLines(cgroupText);
  for (const CgroupLine& line : lines) {
    if (line.unified) return std::string(line.path);
  }
  return lines.empty() ? std::string() : std::string(lines.front().path);
}

CgroupIdentity IdentityFromCgroup(std::string_view cgroupText) {
  // On a hybrid host the v2 line may stay at the root (or read "/../.."
  // from another cgroup namespace) while the v1 controllers name the
  // container, so no line is trusted on its own.
  CgroupIdentity best;
  bool bestIsV2 = false;
  for (const CgroupLine& line : CgroupLines(cgroupText)) {
    CgroupIdentity identity = IdentityOfPath(line.path);
    const int weight = Weight(identity);
    if (weight > Weight(best) ||
        (weight > 0 && weight == Weight(best) && line.unified && !bestIsV2)) {
      best = std::move(identity);
      bestIsV2 = line.unified;
    }
  }
  return best;
}

std::string ContainerFromCgroup(std::string_view cgroupText) {
  CgroupIdentity identity = IdentityFromCgroup(cgroupText);
  return identity.containerId.empty() ? std::move(identity.unit) : std::move(identity.containerId);
}

std::string ReadProcessCgroup(std::uint32_t processId) {
  return ReadSmallRegularFile(HostProcRoot() + "/" + std::to_string(processId) + "/cgroup",
                              kMaxCgroupFileBytes);
}

}  // namespace gpuproc
