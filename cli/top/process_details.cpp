#include "process_details.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>

#include "container_label.h"
#include "pod_label.h"
#include "proc_file.h"

namespace gpuproc::tool {
namespace {

constexpr std::size_t kMaxCommandLineBytes = 4096;
constexpr std::size_t kShortContainerId = 12;

std::string UserName(uid_t uid) {
  passwd entry{};
  passwd* found = nullptr;
  char buffer[1024];
  if (::getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr) {
    return found->pw_name;
  }
  return std::to_string(uid);
}

}  // namespace

std::string OwnerText(const ProcessOwner& owner) {
  if (!owner.podUid.empty()) {
    std::string text = owner.pod.empty() ? owner.podUid : owner.namespaceName + "/" + owner.pod;
    if (!owner.container.empty()) text += "/" + owner.container;
    return text;
  }
  const bool containerId =
      owner.container.size() == 64 &&
      owner.container.find_first_not_of("0123456789abcdef") == std::string::npos;
  return containerId ? owner.container.substr(0, kShortContainerId) : owner.container;
}

std::vector<ProcessDetails> ReadProcessDetails(const std::vector<std::uint32_t>& processIds,
                                               const std::vector<std::string>& names, double now,
                                               const std::string& podLogsDir, DetailsCache& cache) {
  std::optional<KubeletLogLayout> layout;
  const std::string root = HostProcRoot();
  std::map<std::uint32_t, DetailsCache::Entry> kept;
  std::vector<ProcessDetails> details;
  details.reserve(processIds.size());
  for (std::size_t i = 0; i < processIds.size(); ++i) {
    const std::uint32_t processId = processIds[i];
    const std::string& name = i < names.size() ? names[i] : std::string();
    auto cached = cache.processes.find(processId);
    if (const auto seen = kept.find(processId); seen != kept.end()) {
      details.push_back(seen->second.details);  // the same process on another GPU
      continue;
    }
    if (cached != cache.processes.end() && cached->second.name == name &&
        now - cached->second.readAt < kDetailsMaxAge) {
      details.push_back(cached->second.details);
      kept.emplace(processId, std::move(cached->second));
      continue;
    }
    if (!layout) layout = KubeletLogLayout::Read(podLogsDir);
    ProcessDetails entry;
    const std::string folder = root + "/" + std::to_string(processId);
    // ps's rule: a process belongs to the owner of its /proc folder.
    struct stat status {};
    if (::stat(folder.c_str(), &status) == 0) {
      auto [user, added] = cache.users.try_emplace(status.st_uid);
      if (added) user->second = UserName(status.st_uid);
      entry.user = user->second;
    }
    const std::string cgroup = ReadProcessCgroup(processId);
    entry.owner = OwnerText(layout->Owner(IdentityFromCgroup(cgroup)));
    entry.cgroupPath = CgroupPath(cgroup);
    entry.commandLine = ReadSmallRegularFile(folder + "/cmdline", kMaxCommandLineBytes);
    while (!entry.commandLine.empty() && entry.commandLine.back() == '\0') {
      entry.commandLine.pop_back();
    }
    std::replace(entry.commandLine.begin(), entry.commandLine.end(), '\0', ' ');
    details.push_back(entry);
    kept.emplace(processId, DetailsCache::Entry{name, now, std::move(entry)});
  }
  cache.processes = std::move(kept);
  return details;
}

}  // namespace gpuproc::tool
