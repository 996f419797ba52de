// Cumulative busy time that outlives a call: what each DRM client and each
// NVML process has been busy, kept from one reading to the next whichever
// call takes it.
//
// Every call makes its own platform and sources, so time accumulated across
// readings (cycles turned into seconds, NVML samples integrated, the last
// total of a client that closed) needs one owner of its own. Calls may come
// from any thread: every operation takes the ledger's lock.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/linux/drm_client_scan.h"
#include "platform/linux/gpu_source.h"

namespace gpuproc {

// Busy nanoseconds per engine class of one process on one device.
using ClassBusyTimes = std::map<std::pair<GpuDevice, std::string>, std::uint64_t>;

// One NVML utilisation sample of a process on a device.
struct NvmlSample {
  std::uint32_t processId = 0;
  std::uint64_t timeStampUs = 0;  // the driver's own sample time
  unsigned int smUtil = 0;
  unsigned int encUtil = 0;  // NVENC
  unsigned int decUtil = 0;  // NVDEC
};

class BusyTimeLedger {
 public:
  // Records one reading of every client `processId` has now, each taken at
  // its own `readAtNs`, and returns the process's busy time per (device,
  // class): its clients' counters where the driver publishes time, its
  // accumulated cycles where it publishes cycles, and the last total of every
  // client it has closed, so that no total ever falls while it lives.
  // `startTime` (/proc/<pid>/stat's, empty where unreadable) tells a process
  // from an earlier one of the same id: one that started at another time
  // starts from nothing.
  ClassBusyTimes RecordClients(std::uint32_t processId, std::optional<std::uint64_t> startTime,
                               const std::vector<DrmClient>& clients);

  // Integrates the samples of one NVML device into each process's busy time
  // and returns, per process, its busy nanoseconds and its newest sample.
  struct NvmlProcessTime {
    std::uint64_t busyNs = 0;  // on the SMs
    std::optional<NvmlSample> newest;
    std::uint64_t encBusyNs = 0, decBusyNs = 0;
  };
  // The driver's sample time after which samples are still unseen on
  // `device`; empty before the first reading.
  std::optional<std::uint64_t> NvmlLastSeen(GpuDevice device);
  std::map<std::uint32_t, NvmlProcessTime> RecordNvmlSamples(
      GpuDevice device, const std::vector<NvmlSample>& samples);
  // Forgets what was seen on the device's clock: it stepped.
  void RestartNvmlDevice(GpuDevice device);
  // Whether NVML's sample times (the wall clock) can be compared with the
  // wall clock now, `realUs`, over the last `windowUs`: false when the wall
  // clock stepped against the monotonic one, `monoUs`, since the previous
  // reading or within the window before now.
  bool NvmlWindowTrusted(std::uint64_t realUs, std::uint64_t monoUs, std::uint64_t windowUs);

  // Integrates one reading of KFD's compute-unit occupancy, `share` of the
  // GPU's compute units (0 to 1) that the process holds at `readAtNs`, into
  // its busy time on `device`: occupancy is a level, not a counter, so each
  // interval between two readings counts at the mean of its two ends. The
  // first reading counts from 0. Returns the busy ns so far.
  std::uint64_t RecordKfdOccupancy(std::uint32_t processId, GpuDevice device, double share,
                                   std::uint64_t readAtNs);

  // Forgets every process not in `living` (ascending): it has exited.
  void KeepOnly(const std::vector<std::uint32_t>& living);

  // Every process whose DRM clients the ledger keeps time for, with its
  // start time where one was recorded, ascending. (NVML names processes by
  // ids that the proc root may not show, in a container: those are
  // forgotten only by KeepOnly.)
  std::vector<std::pair<std::uint32_t, std::optional<std::uint64_t>>> KeptProcesses();
  // Forgets the process: it has exited, or its id now names another one.
  void Forget(std::uint32_t processId);
  // Clients and processes kept: what the ledger's size grows with.
  std::size_t Entries();

 private:
  struct EngineTime {
    std::uint64_t totalNs = 0;
    std::optional<CycleReading> cycles;  // what the next reading counts from
  };
  struct ClientTime {
    std::optional<std::uint64_t> readAtNs;
    std::map<std::string, EngineTime> engines;
  };
  struct NvmlTime {
    std::uint64_t busyNs = 0;
    std::optional<NvmlSample> newest;
    std::uint64_t encBusyNs = 0, decBusyNs = 0;
  };
  struct KfdOccupancy {
    std::uint64_t busyNs = 0;
    double share = 0;
    std::uint64_t readAtNs = 0;
  };
  struct NvmlDevice {
    std::optional<std::uint64_t> lastSeenUs;
    std::map<std::uint32_t, NvmlTime> processes;
  };

  void ForgetLocked(std::uint32_t processId);

  std::mutex lock_;
  std::map<DrmClientKey, ClientTime> clients_;
  // Each process whose clients were recorded, with its start time where
  // known.
  std::map<std::uint32_t, std::optional<std::uint64_t>> startTimes_;
  std::map<GpuDevice, NvmlDevice> nvmlDevices_;
  std::map<std::pair<std::uint32_t, GpuDevice>, KfdOccupancy> kfdOccupancy_;
  std::optional<std::uint64_t> previousRealUs_, previousMonoUs_, lastStepMonoUs_;
};

// The ledger of the library's calls, part of the process's kept state: kept
// until the library is unloaded, and fresh in a forked child.
std::shared_ptr<BusyTimeLedger> SharedBusyTimeLedger();

// NVML samples come every 1/6 s to 1 s: a sample stands for the time since
// the process's previous one, at most this long (a process idle in between
// has no samples).
inline constexpr std::uint64_t kNvmlMaxSampleIntervalUs = 1'000'000;

}  // namespace gpuproc
