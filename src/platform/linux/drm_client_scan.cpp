#include "platform/linux/drm_client_scan.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "platform/linux/host_fs.h"
#include "platform/linux/number_text.h"

namespace gpuproc {
const std::vector<std::uint32_t>& DrmClientScanner::ListProcesses(int procRoot) {
  processIds_.clear();
  const UniqueFd dir(OpenInRoot(procRoot, ".", O_RDONLY | O_DIRECTORY));
  if (!dir.Valid()) return processIds_;
  ForEachDirectoryEntry(dir.Get(), directoryBuffer_, [&](const char* name, unsigned char) {
    if (const auto processId = ParseDecimal<std::uint32_t>(name)) processIds_.push_back(*processId);
  });
  std::sort(processIds_.begin(), processIds_.end());
  return processIds_;
}

// /proc/<tid> of a thread opens like its process's folder and shows the
// process's fds, but /proc lists only processes: a thread's id names no
// process, so it has no instances of its own. A status without Tgid (a
// recorded tree) is taken as a process's.
bool DrmClientScanner::IsOtherProcessThread(int procRoot, std::uint32_t processId) {
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

std::vector<DrmClient>& DrmClientScanner::ReadKnownClients(int procRoot, std::uint32_t processId,
                                                           DrmDeviceResolver& resolver) {
  gpuFds_.clear();
  const auto known = knownGpuFds_.find(processId);
  if (known == knownGpuFds_.end()) return ReadClients(procRoot, processId, resolver);
  char path[32];
  std::snprintf(path, sizeof path, "%u/fd", processId);
  const UniqueFd dir(OpenInRoot(procRoot, path, O_RDONLY | O_DIRECTORY));
  if (!dir.Valid()) return ReadClients(procRoot, processId, resolver);
  char name[16];
  char target[256];
  for (const auto& [fd, node] : known->second) {
    // Still the same node: a closed fd, or one reused for another file, is
    // no longer that client.
    std::snprintf(name, sizeof name, "%d", fd);
    const ssize_t length = ::readlinkat(dir.Get(), name, target, sizeof target);
    if (length > 0 && length < static_cast<ssize_t>(sizeof target) &&
        DeviceNodeOfLink(std::string_view(target, static_cast<std::size_t>(length))) == node) {
      gpuFds_.emplace_back(fd, node);
    }
  }
  return ReadClients(procRoot, processId, resolver);
}

std::vector<DrmClient>& DrmClientScanner::ReadListedClients(int procRoot, ProcessGpuFds& listed,
                                                            DrmDeviceResolver& resolver) {
  std::swap(gpuFds_, listed.fds);
  return ReadClients(procRoot, listed.processId, resolver, &listed.fdinfo);
}

std::vector<DrmClient>& DrmClientScanner::ReadClients(int procRoot, std::uint32_t processId,
                                                      DrmDeviceResolver& resolver,
                                                      const std::vector<ListedFdinfo>* listed) {
  clients_.clear();
  seenClients_.clear();
  if (gpuFds_.empty()) return clients_;
  currentGpuFds_[processId] = gpuFds_;

  for (std::size_t at = 0; at < gpuFds_.size(); ++at) {
    const auto& [fd, node] = gpuFds_[at];
    if (!IsNodeName(node)) continue;
    // The fd may have been closed since its link was read, or reused for a
    // file that is not a DRM client: such fdinfo has no drm-driver.
    std::uint64_t readAt = 0;
    DrmFdinfo info;
    if (listed != nullptr) {
      if (!(*listed)[at].read) continue;
      readAt = (*listed)[at].readAtNs;
      info = ParseFdinfo((*listed)[at].text);
    } else {
      if (!ReadFdinfo(procRoot, processId, fd, fdinfoText_)) continue;
      readAt = clock_ ? clock_() : 0;
      info = ParseFdinfo(fdinfoText_);
    }
    // nvidia-drm, nouveau and KMS-only drivers print no usage statistics.
    if (info.driver.empty()) continue;
    const std::optional<GpuDevice> device = resolver.ForClient(info, node);
    if (!device) continue;
    DrmClientKey key{processId, *device, info.clientId.has_value(),
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
    clients_.push_back(DrmClient{key, std::move(info), readAt});
  }
  return clients_;
}

void DrmClientScanner::FinishCollection() {
  std::swap(knownGpuFds_, currentGpuFds_);
  currentGpuFds_.clear();
}

}  // namespace gpuproc
