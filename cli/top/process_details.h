// What the snapshot does not say about a process and the screen shows: who
// runs it, what it belongs to (the same ownership rules as the exporter's
// labels) and how it was started. Read from <HOST_PROC or /proc>.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace gpuproc {
struct ProcessOwner;
}

namespace gpuproc::tool {

struct ProcessDetails {
  std::string user;         // login name, else the numeric uid, else ""
  std::string owner;        // see OwnerText
  std::string cgroupPath;   // the cgroup v2 path, else the first line's path
  std::string commandLine;  // arguments joined by spaces; "" for a kernel thread or unread
};

// namespace/pod/container in a pod (the UID where the kubelet's log folder
// does not name the pod), else the container id cut to Docker's 12 digits,
// else the systemd unit.
std::string OwnerText(const ProcessOwner& owner);

// What was read of each process, kept between readings: a process's user,
// owner and command line seldom change, and reading three files for every
// process at every refresh would cost more than everything else top does.
struct DetailsCache {
  struct Entry {
    std::string name;  // as the snapshot named it when read: a new name is a new process
    double readAt = 0;
    ProcessDetails details;
  };
  std::map<std::uint32_t, Entry> processes;
  std::map<std::uint32_t, std::string> users;  // login names by uid
};

// Details are read again after this many seconds.
inline constexpr double kDetailsMaxAge = 10;

// The details of each process (`processIds` and `names` in step), from the
// cache where they are younger than kDetailsMaxAge at `now` and the name is
// the same, else read, with the kubelet's log folder read once for all of
// them. Processes no longer listed leave the cache.
std::vector<ProcessDetails> ReadProcessDetails(const std::vector<std::uint32_t>& processIds,
                                               const std::vector<std::string>& names, double now,
                                               const std::string& podLogsDir, DetailsCache& cache);

}  // namespace gpuproc::tool
