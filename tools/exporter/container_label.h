// The `container` label: which container or systemd unit a process runs in,
// from the text of /proc/<pid>/cgroup.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace gpuproc {

// The container id (Docker, containerd, CRI-O, Podman: 64 hex digits) found
// in the process's cgroup path, else the innermost systemd unit (`.service`
// or `.scope`) on it, else "". The cgroup v2 line ("0::") is used where its
// path is below the root, otherwise the first v1 line with such a path.
std::string ContainerFromCgroup(std::string_view cgroupText);

// Reads <HOST_PROC or /proc>/<pid>/cgroup; "" when it cannot be read.
std::string ReadProcessContainer(std::uint32_t processId);

}  // namespace gpuproc
