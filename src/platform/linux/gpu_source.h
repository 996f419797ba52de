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
  // When its counters were read (the source's clock); empty: when the
  // source's collection ended.
  std::optional<std::uint64_t> readAtNs = {};
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
};

struct GpuSnapshot {
  std::vector<ProcessGpuUsage> processes;
  std::vector<AdapterUsage> adapters;
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
