// Which "GPU Process Memory" instances belong to a process, and the counter
// paths measured for them.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace gpuproc {

inline constexpr std::u16string_view kGPUProcessMemoryObject = u"GPU Process Memory";

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

// How many times a list that grew between its size request and its fill is
// asked for again.
inline constexpr int kEnumerationAttempts = 3;

// The instance names of `object` in the platform's order, for a caller that
// keeps only the instances of `processId`: every instance of that process,
// and perhaps others, which the caller still sorts out with the pid pattern.
// Empty when nothing can be listed.
InstanceList ListProcessInstances(Platform& platform, std::u16string_view object,
                                  std::uint32_t processId);
std::u16string MakePidPattern(std::uint32_t processId);
bool MatchesPidPattern(std::u16string_view instanceName, std::u16string_view pidPattern);
ProcessCounterPaths MakeProcessCounterPaths(std::u16string_view instanceName);

// The counters of a whole-machine sample, in the order they are added and
// read: every instance of each, in one query.
enum AllProcessesCounter : std::size_t {
  kAllLocalUsage,
  kAllSharedUsage,
  kAllDedicatedUsage,
  kAllTotalCommitted,
  kAllUtilization,
  kAllAdapterTotalCommitted,
  kAllAdapterFree,
  kAllProcessesCounterCount
};
inline constexpr std::array<std::u16string_view, kAllProcessesCounterCount>
    kAllProcessesCounterPaths = {
        u"\\GPU Process Memory(*)\\Local Usage",
        u"\\GPU Process Memory(*)\\Shared Usage",
        u"\\GPU Process Memory(*)\\Dedicated Usage",
        u"\\GPU Process Memory(*)\\Total Committed",
        u"\\GPU Engine(*)\\Utilization Percentage",
        u"\\GPU Adapter Memory(*)\\Total Committed",
        u"\\GPU Adapter Memory(*)\\Free",
};

// A "GPU Process Memory" instance name, pid_<N>_<adapter>.
struct ProcessInstanceParts {
  std::uint32_t processId = 0;
  std::u16string_view adapter;  // luid_0x<HI>_0x<LO>_phys_<N>
};
// A "GPU Engine" instance name, <process instance>_eng_<k>_engtype_<Type>.
struct EngineInstanceParts {
  std::u16string_view processInstance;
  std::u16string_view type;
};

// Empty for a name that does not have the shape (no decimal process id below
// 2^32, no adapter part).
std::optional<ProcessInstanceParts> SplitProcessInstance(std::u16string_view name);
std::optional<EngineInstanceParts> SplitEngineInstance(std::u16string_view name);

}  // namespace gpuproc
