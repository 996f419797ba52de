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

// The path the cgroup file's v2 line names, else that of its first line.
std::string CgroupPath(std::string_view cgroupText);

// Login names by uid, kept between readings: the password database is a
// file read per lookup.
using UserNames = std::map<std::uint32_t, std::string>;

// The details of each of `processIds`, in order, with the kubelet's log
// folder read once for all of them.
std::vector<ProcessDetails> ReadProcessDetails(const std::vector<std::uint32_t>& processIds,
                                               const std::string& podLogsDir, UserNames& users);

// Whether this user cannot see some process's open files (another user's
// process seen without root): their GPU use is then missing from the
// snapshot. Stops at the first such process.
bool SomeProcessesUnreadable();

}  // namespace gpuproc::tool
