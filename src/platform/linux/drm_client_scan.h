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
#include "platform/linux/drm_fd_listing.h"
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
  // When its fdinfo was read (monotonic ns): on a machine with many
  // processes a scan takes long enough that each client needs its own time.
  std::uint64_t readAtNs = 0;
};

class DrmClientScanner {
 public:
  explicit DrmClientScanner(MonotonicClock clock)
      : clock_(std::move(clock)), directoryBuffer_(32 * 1024) {}

  // Every process id under the proc root, ascending.
  const std::vector<std::uint32_t>& ListProcesses(int procRoot);

  // True when `processId` names a thread of another process, which /proc
  // lets one open but does not list.
  bool IsOtherProcessThread(int procRoot, std::uint32_t processId);

  // The clients behind a process's listed DRM fds (taken from `listed`),
  // in fd order, valid until the next read (the caller may move what it
  // keeps out of them).
  std::vector<DrmClient>& ReadListedClients(int procRoot, ProcessGpuFds& listed,
                                            DrmDeviceResolver& resolver);

  // The same for only the fds the previous collection found, where they
  // still point at the same node.
  std::vector<DrmClient>& ReadKnownClients(int procRoot, std::uint32_t processId,
                                           DrmDeviceResolver& resolver);

  // Ends a collection: the fds it found are the known ones of the next.
  void FinishCollection();

 private:
  // `listed`: the fdinfo read with the links, one for each fd; else it is
  // read here.
  std::vector<DrmClient>& ReadClients(int procRoot, std::uint32_t processId,
                                      DrmDeviceResolver& resolver,
                                      const std::vector<ListedFdinfo>* listed = nullptr);

  MonotonicClock clock_;
  // Kept between collections so that a scan allocates nothing for the fds
  // and processes that are not GPU clients.
  std::vector<char> directoryBuffer_;
  std::vector<std::uint32_t> processIds_;
  GpuFds gpuFds_;
  // Each process's DRM fds at the previous collection, and at this one,
  // for a follow-up collection that re-reads only those.
  std::map<std::uint32_t, GpuFds> knownGpuFds_;
  std::map<std::uint32_t, GpuFds> currentGpuFds_;
  std::string fdinfoText_;
  std::vector<DrmClient> clients_;
  std::set<DrmClientKey> seenClients_;
};

}  // namespace gpuproc
