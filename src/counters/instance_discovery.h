// Which "GPU Process Memory" instances belong to a process, and the counter
// paths measured for them.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace gpuproc {

inline constexpr std::u16string_view kGPUProcessMemoryObject = u"GPU Process Memory";
inline constexpr std::u16string_view kAdapterTotalCommittedPath =
    u"\\GPU Adapter Memory\\Total Committed";
inline constexpr std::u16string_view kAdapterFreePath = u"\\GPU Adapter Memory\\Free";

using InstanceList = std::vector<std::u16string>;

// Member order of a ProcessCounterSet: the order counters are added, read and
// removed in.
enum ProcessCounterMember : std::size_t {
  kLocalUsageMember,
  kUtilizationMember,
  kSharedUsageMember,
  kDedicatedUsageMember,
  kTotalCommittedMember,
  kProcessCounterCount
};
using ProcessCounterPaths = std::array<std::u16string, kProcessCounterCount>;

// An enumeration length beyond this is not believed: no machine has 64 Mi
// characters of instance names, and honouring a corrupt size would exhaust
// the host's memory.
inline constexpr std::uint32_t kMaxEnumerationLength = 1u << 26;

// The instance names of `object` in the platform's order; empty when nothing
// can be listed.
InstanceList ListInstances(Platform& platform, std::u16string_view object);
// The same for a caller that keeps only the instances of `processId`: every
// instance of that process, and perhaps others, which the caller still sorts
// out with the pid pattern.
InstanceList ListProcessInstances(Platform& platform, std::u16string_view object,
                                  std::uint32_t processId);
std::u16string MakePidPattern(std::uint32_t processId);
bool MatchesPidPattern(std::u16string_view instanceName, std::u16string_view pidPattern);
ProcessCounterPaths MakeProcessCounterPaths(std::u16string_view instanceName);

}  // namespace gpuproc
