// Finding the DRM clients of processes: the processes under /proc, each
// one's fds that point into /dev/dri, and the fdinfo of each, counted once
// per (process, device, drm-client-id).
#pragma once

#include <compare>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/linux/drm_devices.h"
#include "platform/linux/fdinfo_parser.h"
#include "platform/linux/gpu_source.h"

namespace gpuproc {

// One DRM client of one process, after deduplication.
struct DrmClientKey {
  std::uint32_t processId = 0;
  GpuDevice device;
  bool hasClientId = false;
  std::uint64_t id = 0;  // drm-client-id, else the fd number
  friend auto operator<=>(const DrmClientKey&, const DrmClientKey&) = default;
};

struct DrmClient {
  DrmClientKey key;
  DrmFdinfo info;
};

class DrmClientScanner {
 public:
  DrmClientScanner() : directoryBuffer_(32 * 1024) {}

  // Every process id under the proc root, ascending.
  const std::vector<std::uint32_t>& ListProcesses(int procRoot);

  // True when `processId` names a thread of another process, which /proc
  // lets one open but does not list.
  bool IsOtherProcessThread(int procRoot, std::uint32_t processId);

  // The process's clients, in fd order, valid until the next scan (the
  // caller may move what it keeps out of them). With `knownClientsOnly`,
  // only the fds the previous collection found are looked at again.
  std::vector<DrmClient>& ScanProcess(int procRoot, std::uint32_t processId,
                                      DrmDeviceResolver& resolver, bool knownClientsOnly);

  // Ends a collection: the fds it found are the known ones of the next.
  void FinishCollection();

 private:
  bool ListGpuFds(int procRoot, std::uint32_t processId);
  void ListKnownGpuFds(int procRoot, std::uint32_t processId);
  bool ReadFdinfo(int procRoot, std::uint32_t processId, int fd);

  // Kept between collections so that a scan allocates nothing for the fds
  // and processes that are not GPU clients.
  std::vector<char> directoryBuffer_;
  std::vector<std::uint32_t> processIds_;
  std::vector<std::pair<int, std::string>> gpuFds_;
  // Each process's DRM fds (fd, node) at the previous collection, and at
  // this one, for a follow-up collection that re-reads only those.
  std::map<std::uint32_t, std::vector<std::pair<int, std::string>>> knownGpuFds_;
  std::map<std::uint32_t, std::vector<std::pair<int, std::string>>> currentGpuFds_;
  std::string fdinfoText_;
  std::vector<DrmClient> clients_;
  std::set<DrmClientKey> seenClients_;
};

}  // namespace gpuproc
