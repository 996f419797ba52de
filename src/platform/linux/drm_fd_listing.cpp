#include "platform/linux/drm_fd_listing.h"

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <exception>
#include <mutex>
#include <optional>
#include <string_view>
#include <system_error>
#include <thread>

#include "platform/linux/drm_devices.h"
#include "platform/linux/host_fs.h"
#include "platform/linux/number_text.h"

namespace gpuproc {
namespace {

constexpr unsigned kMostThreads = 8;

// The process the library was loaded in. A child forked from it (by a host
// with threads of its own, say) may only make async-signal-safe calls until
// it execs, and starting a thread is none: ThreadSanitizer ends every such
// child. There the calling thread reads alone.
const pid_t loadedInProcess = ::getpid();
// Processes a thread takes at a time: small enough that threads finish
// together, large enough that they rarely meet on the counter.
constexpr std::size_t kChunk = 64;

// One listing shared by its threads. Each chunk's processes land in that
// chunk's own slot, so the result keeps the order given without a sort.
class SharedListing {
 public:
  SharedListing(int procRoot, const std::vector<std::uint32_t>& processIds,
                const MonotonicClock& clock)
      : procRoot_(procRoot),
        clock_(clock),
        processIds_(processIds),
        chunks_((processIds.size() + kChunk - 1) / kChunk) {}

  // With no `kept` buffer, a helper thread makes its own.
  void Work(std::vector<char>* kept) noexcept {
    try {
      std::vector<char> own;
      if (kept == nullptr) {
        own.resize(32 * 1024);
        kept = &own;
      }
      std::vector<char>& buffer = *kept;
      GpuFds fds;
      for (;;) {
        const std::size_t chunk = nextChunk_.fetch_add(1, std::memory_order_relaxed);
        if (chunk >= chunks_.size()) return;
        const std::size_t end = std::min(processIds_.size(), (chunk + 1) * kChunk);
        for (std::size_t index = chunk * kChunk; index < end; ++index) {
          fds.clear();
          bool refused = false;
          const bool listedFds =
              ListProcessGpuFds(procRoot_, processIds_[index], buffer, fds, &refused);
          if (refused) refused_.fetch_add(1, std::memory_order_relaxed);
          if (!listedFds || fds.empty()) continue;
          // Clients in fd order, so that engine classes come in the same
          // order in every collection whatever order the folder lists.
          std::sort(fds.begin(), fds.end());
          ProcessGpuFds& listed = chunks_[chunk].emplace_back();
          listed.processId = processIds_[index];
          listed.fds = std::move(fds);
          fds = GpuFds();
          if (!ReadListedFdinfo(listed) && !refused) {
            refused_.fetch_add(1, std::memory_order_relaxed);
          }
        }
      }
    } catch (...) {
      // Out of memory on a helper thread: the caller rethrows it, so the
      // call fails as any other would instead of ending the host.
      const std::lock_guard<std::mutex> hold(failureLock_);
      if (!failure_) failure_ = std::current_exception();
      nextChunk_.store(chunks_.size(), std::memory_order_relaxed);
    }
  }

  // Read here, on the listing's threads, as it costs as much again as the
  // rest of a GPU process's work. False when any of it was refused.
  bool ReadListedFdinfo(ProcessGpuFds& listed) const {
    bool allowed = true;
    listed.fdinfo.resize(listed.fds.size());
    for (std::size_t at = 0; at < listed.fds.size(); ++at) {
      if (!IsNodeName(listed.fds[at].second)) continue;
      ListedFdinfo& fdinfo = listed.fdinfo[at];
      bool refused = false;
      fdinfo.read =
          ReadFdinfo(procRoot_, listed.processId, listed.fds[at].first, fdinfo.text, &refused);
      fdinfo.readAtNs = clock_ ? clock_() : 0;
      if (refused) allowed = false;
    }
    return allowed;
  }

  std::uint32_t Refused() const { return refused_.load(std::memory_order_relaxed); }

  void Collect(std::vector<ProcessGpuFds>& listed) {
    if (failure_) std::rethrow_exception(failure_);
    for (std::vector<ProcessGpuFds>& chunk : chunks_) {
      std::move(chunk.begin(), chunk.end(), std::back_inserter(listed));
    }
  }

 private:
  const int procRoot_;
  const MonotonicClock& clock_;
  const std::vector<std::uint32_t>& processIds_;
  std::vector<std::vector<ProcessGpuFds>> chunks_;
  std::atomic<std::size_t> nextChunk_{0};
  std::atomic<std::uint32_t> refused_{0};
  std::mutex failureLock_;
  std::exception_ptr failure_;
};

// Threads of ours must never run the host's signal handlers: they start
// with every signal blocked, and the caller's mask is put back after.
class AllSignalsBlocked {
 public:
  AllSignalsBlocked() {
    sigset_t all;
    ::sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &previous_);
  }
  ~AllSignalsBlocked() { ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
  AllSignalsBlocked(const AllSignalsBlocked&) = delete;
  AllSignalsBlocked& operator=(const AllSignalsBlocked&) = delete;

 private:
  sigset_t previous_;
};

}  // namespace

std::string_view DeviceNodeOfLink(std::string_view target) {
  constexpr std::string_view kDri = "/dev/dri/";
  constexpr std::string_view kAccel = "/dev/accel/";
  constexpr std::string_view kAccelNode = "accel";
  if (target.starts_with(kDri)) {
    const std::string_view node = target.substr(kDri.size());
    return node.starts_with(kAccelNode) ? std::string_view() : node;
  }
  if (target.starts_with(kAccel)) {
    const std::string_view node = target.substr(kAccel.size());
    return node.starts_with(kAccelNode) ? node : std::string_view();
  }
  return {};
}

bool ReadFdinfo(int procRoot, std::uint32_t processId, int fd, std::string& text, bool* refused) {
  char path[48];
  std::snprintf(path, sizeof path, "%u/fdinfo/%d", processId, fd);
  const UniqueFd file(OpenRegularFileInRoot(procRoot, path));
  if (!file.Valid() && refused != nullptr && IsRefusal(errno)) *refused = true;
  return file.Valid() && ReadAll(file.Get(), text);
}

bool ListProcessGpuFds(int procRoot, std::uint32_t processId, std::vector<char>& buffer,
                       GpuFds& fds, bool* refused) {
  char path[32];
  std::snprintf(path, sizeof path, "%u/fd", processId);
  const UniqueFd dir(OpenInRoot(procRoot, path, O_RDONLY | O_DIRECTORY));
  if (!dir.Valid()) {
    if (refused != nullptr && IsRefusal(errno)) *refused = true;
    return false;
  }
  char target[256];
  ForEachDirectoryEntry(dir.Get(), buffer, [&](const char* name, unsigned char type) {
    if (type != DT_LNK && type != DT_UNKNOWN) return;
    const std::optional<int> fd = ParseDecimal<int>(name);
    if (!fd) return;
    const ssize_t length = ::readlinkat(dir.Get(), name, target, sizeof target);
    // A folder that lists but whose links are refused (Landlock's ptrace
    // check on another process) hides every fd the same way.
    if (length < 0 && refused != nullptr && IsRefusal(errno)) *refused = true;
    if (length <= 0 || length >= static_cast<ssize_t>(sizeof target)) return;
    const std::string_view node =
        DeviceNodeOfLink(std::string_view(target, static_cast<std::size_t>(length)));
    if (!node.empty()) fds.emplace_back(*fd, std::string(node));
  });
  return true;
}

unsigned GpuFdLister::DefaultThreads() {
  cpu_set_t cpus;
  CPU_ZERO(&cpus);
  if (::sched_getaffinity(0, sizeof cpus, &cpus) != 0) return 1;
  return std::clamp(static_cast<unsigned>(CPU_COUNT(&cpus)), 1u, kMostThreads);
}

std::vector<ProcessGpuFds>& GpuFdLister::List(int procRoot,
                                              const std::vector<std::uint32_t>& processIds) {
  listed_.clear();
  SharedListing listing(procRoot, processIds, clock_);
  const std::size_t wanted =
      ::getpid() != loadedInProcess
          ? 1
          : std::min<std::size_t>(
                maxThreads_, (processIds.size() + processesPerThread_ - 1) / processesPerThread_);
  std::vector<std::thread> helpers;
  if (wanted > 1) {
    helpers.reserve(wanted - 1);
    const AllSignalsBlocked blocked;
    while (helpers.size() + 1 < wanted) {
      try {
        helpers.emplace_back([&listing] { listing.Work(nullptr); });
      } catch (const std::system_error&) {
        break;  // No thread to be had (limits, a sandbox): fewer do it.
      }
    }
  }
  listing.Work(&buffer_);
  for (std::thread& helper : helpers) helper.join();
  listing.Collect(listed_);
  refused_ = listing.Refused();
  return listed_;
}

}  // namespace gpuproc
