// Whom a process belongs to, from the text of /proc/<pid>/cgroup: the
// container id and Kubernetes pod UID found on its cgroup path, else the
// systemd unit it runs in.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace gpuproc {

struct CgroupIdentity {
  std::string containerId;  // 64 lower-case hex digits, or ""
  std::string podUid;       // as the API writes it (dashes, not underscores), or ""
  std::string unit;         // innermost `.service` or `.scope`, or ""
};

// One line of /proc/<pid>/cgroup, "hierarchy-ID:controller-list:cgroup-path"
// (cgroups(7)), where the path may itself hold colons.
struct CgroupLine {
  bool unified = false;  // the cgroup v2 line, "0::"
  std::string_view path;
};

// The lines of `cgroupText` the kernel could have written, in order: a line
// without two colons, or longer than a path the kernel prints, is left out.
std::vector<CgroupLine> CgroupLines(std::string_view cgroupText);

// The path the v2 line names, else that of the first line; "" without one.
std::string CgroupPath(std::string_view cgroupText);

// Reads every line (cgroup v1 lines and the v2 "0::" line) and keeps the
// one that says most: a container id over a pod alone over a unit; among
// equals the v2 line, then the first v1 line. A pod and its container come
// only from the kubelet's layout (its root first, the container directly
// under the pod); a container id outside Kubernetes only from where a
// runtime puts one (system.slice, machine.slice, Docker's and Podman's
// cgroupfs parents, a user's own user@UID.service subtree). Anything else
// gets at most its systemd unit, whatever names it holds.
CgroupIdentity IdentityFromCgroup(std::string_view cgroupText);

// The `container` label outside Kubernetes: the container id, else the unit.
std::string ContainerFromCgroup(std::string_view cgroupText);

// The text of <HOST_PROC or /proc>/<pid>/cgroup; "" when it cannot be read.
std::string ReadProcessCgroup(std::uint32_t processId);

}  // namespace gpuproc
