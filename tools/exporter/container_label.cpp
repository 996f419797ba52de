#include "container_label.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace gpuproc {

namespace {

constexpr std::size_t kContainerIdLength = 64;
constexpr std::size_t kMaxCgroupFileBytes = 64 * 1024;

bool IsContainerId(std::string_view text) {
  if (text.size() != kContainerIdLength) return false;
  for (const char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

bool EndsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

// One path component as the runtimes name it: "<64 hex>" (cgroupfs driver:
// /docker/<id>, /kubepods/.../<id>), or "<prefix>-<64 hex>.scope" (systemd
// driver). Podman's conmon scope ("libpod-conmon-<id>.scope") is the
// runtime's monitor, not the container, and does not match.
std::string ContainerIdOf(std::string_view component) {
  if (IsContainerId(component)) return std::string(component);
  if (!EndsWith(component, ".scope")) return {};
  component.remove_suffix(6);
  for (const std::string_view prefix : {"docker-", "cri-containerd-", "crio-", "libpod-"}) {
    if (component.substr(0, prefix.size()) == prefix &&
        IsContainerId(component.substr(prefix.size()))) {
      return std::string(component.substr(prefix.size()));
    }
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

// Line format: hierarchy-ID:controller-list:cgroup-path (cgroups(7)); the
// path may itself hold colons.
std::string_view CgroupPath(std::string_view cgroupText) {
  std::string_view firstV1;
  for (const std::string_view line : Split(cgroupText, '\n')) {
    const std::size_t first = line.find(':');
    if (first == std::string_view::npos) continue;
    const std::size_t second = line.find(':', first + 1);
    if (second == std::string_view::npos) continue;
    const std::string_view path = line.substr(second + 1);
    // On a hybrid host the v2 line stays at the root while the v1
    // controllers hold the container.
    if (line.substr(0, second + 1) == "0::" && path.size() > 1) return path;
    if (firstV1.empty() && path.size() > 1) firstV1 = path;
  }
  return firstV1;
}

}  // namespace

std::string ContainerFromCgroup(std::string_view cgroupText) {
  // Innermost first: Podman nests its payload in <scope>/container, and a
  // container inside a systemd service belongs to the container.
  const std::vector<std::string_view> components = Split(CgroupPath(cgroupText), '/');
  for (auto it = components.rbegin(); it != components.rend(); ++it) {
    std::string id = ContainerIdOf(*it);
    if (!id.empty()) return id;
  }
  for (auto it = components.rbegin(); it != components.rend(); ++it) {
    if (EndsWith(*it, ".service") || EndsWith(*it, ".scope")) return std::string(*it);
  }
  return {};
}

std::string ReadProcessContainer(std::uint32_t processId) {
  const char* root = ::secure_getenv("HOST_PROC");
  const std::string path = std::string(root != nullptr && *root != '\0' ? root : "/proc") + "/" +
                           std::to_string(processId) + "/cgroup";
  // A replayed tree may hold anything at that name: a FIFO would block the
  // scrape for good, so open without waiting and read only a regular file.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return {};
  std::string text;
  struct stat status {};
  if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) {
    text.resize(kMaxCgroupFileBytes);
    std::size_t used = 0;
    while (used < text.size()) {
      const ssize_t got = ::read(fd, text.data() + used, text.size() - used);
      if (got <= 0) break;
      used += static_cast<std::size_t>(got);
    }
    text.resize(used);
  }
  ::close(fd);
  return ContainerFromCgroup(text);
}

}  // namespace gpuproc
