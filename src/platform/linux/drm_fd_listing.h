// Which fds of which processes point into /dev/dri or /dev/accel. Reading every fd link
// of every process is what a whole-machine collection costs, and nothing
// cheaper tells a DRM fd from any other; on a machine with thousands of
// processes the reading is spread over a few short-lived threads.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/linux/gpu_source.h"

namespace gpuproc {

// The node an fd link names when it is a DRM device ("/dev/dri/card0",
// "/dev/dri/renderD128") or a compute accelerator ("/dev/accel/accel0"):
// "card0", "renderD128", "accel0"; empty for every other file. accel<N>
// only under /dev/accel, so that the node name alone says which it is.
std::string_view DeviceNodeOfLink(std::string_view target);

// A process's fds that point at DRM or accel nodes: (fd, node name).
using GpuFds = std::vector<std::pair<int, std::string>>;

// The fdinfo of one DRM fd, read right after its link, and when.
struct ListedFdinfo {
  bool read = false;
  std::string text;
  std::uint64_t readAtNs = 0;
};

struct ProcessGpuFds {
  std::uint32_t processId = 0;
  GpuFds fds;
  std::vector<ListedFdinfo> fdinfo;  // one for each of `fds`
};

// getdents64 straight into a buffer the caller keeps: opendir() would
// allocate its own for each of the machine's thousands of fd folders.
template <typename Visit>
void ForEachDirectoryEntry(int dirFd, std::vector<char>& buffer, Visit&& visit) {
  for (;;) {
    const ssize_t got = ::getdents64(dirFd, buffer.data(), buffer.size());
    if (got <= 0) return;
    for (std::size_t position = 0; position < static_cast<std::size_t>(got);) {
      const char* record = buffer.data() + position;
      unsigned short recordLength = 0;
      std::memcpy(&recordLength, record + offsetof(dirent64, d_reclen), sizeof recordLength);
      if (recordLength == 0) return;
      const auto type = static_cast<unsigned char>(record[offsetof(dirent64, d_type)]);
      visit(record + offsetof(dirent64, d_name), type);
      position += recordLength;
    }
  }
}

// True for the errors that mean "not allowed to look", as against "gone".
inline bool IsRefusal(int error) { return error == EACCES || error == EPERM; }

// Adds the process's DRM and accel fds to `fds`, in directory order. False when its
// fd folder cannot be opened: gone, another user's, not dumpable, hidepid.
// `refused` (where given) is set when the folder or one of its links was
// refused rather than missing: the process was not seen, not seen empty.
bool ListProcessGpuFds(int procRoot, std::uint32_t processId, std::vector<char>& buffer,
                       GpuFds& fds, bool* refused = nullptr);

// Reads the fdinfo of the process's `fd` into `text`. Not procfs's own
// fdinfo but a replayed tree's may be a FIFO or a device: only regular
// files are read, and never with a blocking open. `refused` as above.
bool ReadFdinfo(int procRoot, std::uint32_t processId, int fd, std::string& text,
                bool* refused = nullptr);

class GpuFdLister {
 public:
  // Up to `maxThreads` threads (the calling one included), one for each
  // `processesPerThread` processes listed; only the calling one in a
  // process forked from the one the library was loaded in. `clock` stamps
  // each fdinfo read and is called from all of them.
  explicit GpuFdLister(MonotonicClock clock, unsigned maxThreads = DefaultThreads(),
                       std::size_t processesPerThread = 2000)
      : clock_(std::move(clock)),
        maxThreads_(maxThreads == 0 ? 1 : maxThreads),
        processesPerThread_(processesPerThread == 0 ? 1 : processesPerThread) {}

  // The processes of `processIds` that hold DRM fds, in the order given,
  // each with its fds in fd order and the fdinfo of those that name a
  // card or render node. Valid until the next call.
  std::vector<ProcessGpuFds>& List(int procRoot, const std::vector<std::uint32_t>& processIds);

  // The processes of the latest List whose fd folder, fd links or DRM
  // fdinfo were refused (each counted once).
  std::uint32_t Refused() const { return refused_; }

  // The CPUs this process may run on, at most 8: more threads than that
  // only contend for the same kernel locks.
  static unsigned DefaultThreads();

 private:
  MonotonicClock clock_;
  unsigned maxThreads_;
  std::size_t processesPerThread_;
  std::vector<char> buffer_ = std::vector<char>(32 * 1024);
  std::vector<ProcessGpuFds> listed_;
  std::uint32_t refused_ = 0;
};

}  // namespace gpuproc
