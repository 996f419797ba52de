// What a GPU source (DRM fdinfo, NVML, ...) hands the Linux counter back end.
//
// A source knows nothing of counter paths or queries: per collection it
// reports, for the processes it was asked about, what each uses on each GPU
// device, and what each device has committed and free. The back end turns
// that into the "GPU Process Memory", "GPU Engine" and "GPU Adapter Memory"
// objects. A value that could not be read stays empty; it never becomes 0.
#pragma once

#include <compare>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace gpuproc {

class BusyTimeLedger;
class HostFs;

// The two halves of a device's luid_0x<HI>_0x<LO> name. A PCI device
// dddd:bb:dd.f has high = domain, low = bus << 8 | device << 3 | function; a
// device without a PCI address has high = kNonPciDeviceHigh, low = its DRM
// minor.
struct GpuDevice {
  std::uint32_t high = 0;
  std::uint32_t low = 0;
  friend auto operator<=>(const GpuDevice&, const GpuDevice&) = default;
};
inline constexpr std::uint32_t kNonPciDeviceHigh = 0x80000000u;
// A compute accelerator without a PCI address (/dev/accel/accel<N>): its
// low half is this plus N, so that it never meets the DRM minor of a card.
inline constexpr std::uint32_t kAccelDeviceLowBase = 0x10000u;
// A GPU instance of an NVIDIA GPU in MIG mode: the parent's PCI name with
// (instance id + 1) in the upper half of the low word.
inline constexpr std::uint32_t kMigInstanceShift = 16;

// What kind of processor a device is, as the snapshot names it: "GPU", or
// "NPU" for the kernel's compute accelerators (/dev/accel).
inline constexpr const char* kGpuKind = "GPU";
inline constexpr const char* kNpuKind = "NPU";

// One engine class of one process on one device, in the driver's order (its
// position is the <k> of the engine instance name).
struct EngineClassUsage {
  std::string type;                          // "3D", "Compute", ... or the driver's own class name
  std::optional<double> utilizationPercent;  // empty: no value in this collection
  // Cumulative busy time of the class, summed over its engines and over the
  // process's clients on the device, closed ones included; empty: unknown.
  std::optional<std::uint64_t> busyNs = {};
  // False for a class that only clients the process has closed used: it
  // keeps its busy time but has no utilisation.
  bool current = true;
};

// What one process uses on one device. Memory in bytes.
struct ProcessGpuUsage {
  std::uint32_t processId = 0;
  GpuDevice device;
  std::optional<std::uint64_t> localUsage;
  std::optional<std::uint64_t> sharedUsage;
  std::optional<std::uint64_t> dedicatedUsage;
  std::optional<std::uint64_t> totalCommitted;
  std::vector<EngineClassUsage> engines;
  // The names the process's clients gave themselves on the device
  // (drm-client-name), each once, in client order: a label, where a driver
  // prints one.
  std::vector<std::string> clientNames = {};
  // When its counters were read (the source's clock); empty: when the
  // source's collection ended.
  std::optional<std::uint64_t> readAtNs = {};
};

// What a whole device says about itself: power, energy, temperatures,
// clocks, fan and busy share, each empty where the device publishes none.
struct DeviceHealth {
  std::optional<double> powerWatts;
  std::optional<double> powerLimitWatts;
  // The device's own cumulative energy counter.
  std::optional<double> energyJoules;
  // Sensor name ("edge", "junction", "memory", ...) to degrees Celsius.
  std::map<std::string, double> temperatures;
  // The temperature, per sensor, at which the device starts to slow down.
  std::map<std::string, double> slowdownTemperatures;
  // Clock name ("graphics", "memory", ...) to hertz.
  std::map<std::string, double> clocks;
  std::optional<double> fanRpm;
  std::optional<double> busyPercent;
  // The power is the whole package's (an integrated GPU), CPU included.
  bool packagePower = false;
};

// Adapter-wide memory of one device, in bytes, and what names it.
struct AdapterUsage {
  GpuDevice device;
  std::optional<std::uint64_t> totalCommitted;
  std::optional<std::uint64_t> free;
  // The device's name where the source knows it, else the sysfs folder
  // ("class/drm/card0/device") and bus address to look it up by: the lookup
  // is left until someone asks for names.
  std::string name;
  std::string sysfsDevice;
  std::string address;
  std::string kind = kGpuKind;
  // Reads the device's health when asked: a snapshot wants it, other calls
  // never pay for it. Empty where the source has nothing to read.
  std::function<DeviceHealth()> readHealth = {};
};

struct GpuSnapshot {
  std::vector<ProcessGpuUsage> processes;
  std::vector<AdapterUsage> adapters;
  // Processes whose fds the source was refused (EACCES, EPERM), not those
  // that exited meanwhile: what it could not see, rather than saw empty.
  std::uint32_t unreadableProcesses = 0;
  // Set by a source that completes another's view of the same devices (KFD
  // beside DRM fdinfo): its processes join those the earlier sources report
  // for a device instead of being ignored, and it reports no adapters.
  bool supplementsEarlierSources = false;
  // Lines for the standard error stream: something the caller can fix that
  // leaves values unknown (a switch that is off, a privilege that is
  // missing). Each is written once per query.
  std::vector<std::string> notices = {};
};

// Which part of the machine a collection has to look at. Scanning every
// process is the expensive part, so a query that only names some processes
// says which.
struct CollectScope {
  bool allProcesses = true;
  std::vector<std::uint32_t> processIds;  // ascending, used when !allProcesses
  // The second collection of a pair: a source may re-read only the clients
  // its previous collection found for these processes (a client opened in
  // between shows from the next pair on).
  bool knownClientsOnly = false;
  // False when only names are wanted (an enumeration): a source still lists
  // every adapter, but need not read its memory figures.
  bool adapterValues = true;
};

// Monotonic clock in nanoseconds; tests substitute their own.
using MonotonicClock = std::function<std::uint64_t()>;

struct GpuSourceContext {
  const HostFs& fs;
  MonotonicClock clock;
  BusyTimeLedger& ledger;
};

class GpuSource {
 public:
  virtual ~GpuSource() = default;
  // Takes one collection. Utilisation compares it with the previous
  // collection of this same source object; the first collection of a source
  // therefore has no utilisation values.
  virtual GpuSnapshot Collect(const CollectScope& scope) = 0;
};

// One row of the table of sources. A source that finds nothing to report on
// this machine (no driver, no library) returns null or an empty snapshot.
struct GpuSourceEntry {
  const char* name;
  std::function<std::unique_ptr<GpuSource>(const GpuSourceContext&)> create;
  // Asked after `create`: why a source this process was reading can no
  // longer be read (an error line), or empty. A source that was never there
  // is not lost.
  std::function<std::string()> lost = {};
};

// The sources of a real Linux build, in priority order: where two sources
// report the same device, the first one wins.
std::vector<GpuSourceEntry> DefaultGpuSources();

}  // namespace gpuproc
