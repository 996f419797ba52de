// Parsing of a DRM client's /proc/<pid>/fdinfo/<fd> text: the kernel's DRM
// usage-stats format (Documentation/gpu/drm-usage-stats.rst), as every
// open-source GPU driver prints it. Text in, struct out: nothing here touches
// the file system.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace gpuproc {

// One engine class of a client, as the drm-engine-, drm-cycles-,
// drm-total-cycles- and drm-engine-capacity- keys name it.
struct FdinfoEngine {
  std::string name;
  std::optional<std::uint64_t> busyNs;       // drm-engine-<e>
  std::optional<std::uint64_t> cycles;       // drm-cycles-<e>
  std::optional<std::uint64_t> totalCycles;  // drm-total-cycles-<e>
  std::optional<std::uint64_t> capacity;     // drm-engine-capacity-<e>
};

// A cycle-counting driver's (xe's) two counters of one engine class at one
// reading: the class's busy cycles and the GPU timestamp, in cycles.
struct CycleReading {
  std::uint64_t cycles = 0;
  std::uint64_t totalCycles = 0;
};

// The engines of a class busy between two readings, on average: busy cycles
// over the timestamp's cycles, at most `capacity` (0 counts as 1). Empty when
// that interval is unknown: the timestamp did not move, or went back (a GT
// reset or a resume restarts it lower), which says nothing of the span.
std::optional<double> CycleBusyShare(const CycleReading& before, const CycleReading& now,
                                     std::uint64_t capacity);

// What the interval after `now` counts from: the timestamp as read, whatever
// it did, so that counting restarts from a timestamp that went back; the
// larger of the two busy counts, so that a busy count that went down counts 0
// until the driver catches up (the DRM usage-stats rule).
CycleReading NextCycleBase(const CycleReading& before, const CycleReading& now);

// One memory region of a client, in bytes.
struct FdinfoRegion {
  std::string name;
  std::optional<std::uint64_t> total;         // drm-total-<r>
  std::optional<std::uint64_t> resident;      // drm-resident-<r>
  std::optional<std::uint64_t> legacyMemory;  // drm-memory-<r>, amdgpu's old name of resident

  // drm-resident-<r>, else its old alias drm-memory-<r>, else (a driver that
  // reports no residency) drm-total-<r>.
  std::optional<std::uint64_t> ResidentBytes() const;
};

struct DrmFdinfo {
  std::string driver;  // drm-driver; empty: the file carries no usage statistics
  std::string pdev;    // drm-pdev, empty when absent
  std::optional<std::uint64_t> clientId;
  std::string clientName;  // drm-client-name, the name a client gave itself; may be empty
  std::vector<FdinfoEngine> engines;  // in the order the driver lists them
  std::vector<FdinfoRegion> regions;  // every region any memory key names, in order

  const FdinfoEngine* FindEngine(std::string_view name) const;
};

// A file from a hostile or broken driver must not cost unbounded memory or
// time: names and counts beyond these are ignored.
inline constexpr std::size_t kMaxFdinfoNameLength = 64;
inline constexpr std::size_t kMaxFdinfoEntries = 64;

// Lines that cannot be parsed (no colon, a value that is not a number in the
// key's unit, a number past 2^64) are ignored; so are keys we do not know.
DrmFdinfo ParseFdinfo(std::string_view text);

}  // namespace gpuproc
