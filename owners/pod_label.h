// Kubernetes names for a process, with no API server and no RBAC: the pod
// UID and container id come from the process's cgroup path, and the
// kubelet's log layout on the node turns them into names.
//   <pods>/<namespace>_<pod>_<uid>/<container>/<restart>.log
//   <pods>/../containers/<pod>_<namespace>_<container>-<container id>.log
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "container_label.h"

namespace gpuproc {

// Whom a process belongs to, as its series are labelled.
struct ProcessOwner {
  std::string container;  // Kubernetes container name, else runtime id or systemd unit
  std::string namespaceName;
  std::string pod;
  std::string podUid;
  bool operator==(const ProcessOwner&) const = default;
};

struct PodName {
  std::string namespaceName;
  std::string pod;
};

// A snapshot of the kubelet's log folders. Names only are read (the log
// files are never opened); a missing or unreadable folder gives no names.
class KubeletLogLayout {
 public:
  KubeletLogLayout() = default;
  // `podLogsDir` is the kubelet's /var/log/pods; its sibling "containers"
  // is /var/log/containers.
  static KubeletLogLayout Read(const std::string& podLogsDir);

  std::optional<PodName> Pod(std::string_view podUid) const;
  std::string ContainerName(std::string_view containerId) const;

  // What the cgroup identity and these names give: outside a pod the
  // container id or unit as before; in a pod the names where the layout has
  // them, else the UID and id alone.
  ProcessOwner Owner(const CgroupIdentity& identity) const;

 private:
  std::map<std::string, PodName, std::less<>> pods_;            // by UID
  std::map<std::string, std::string, std::less<>> containers_;  // by container id
};

// Called once per reading: takes a fresh snapshot of the log layout and
// returns the lookup that labels each process of that reading.
using OwnerLookup = std::function<ProcessOwner(std::uint32_t)>;
using OwnerLookupFactory = std::function<OwnerLookup()>;
OwnerLookupFactory HostOwnerLookup(std::string podLogsDir);

}  // namespace gpuproc
