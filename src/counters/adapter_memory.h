// The adapter pair of a call: the adapter-wide "Total Committed" and "Free"
// of every GPU, read as arrays and matched to the GPU of each record.
//
// Windows publishes no "Free" in "GPU Adapter Memory" (its counters are
// "Dedicated Usage", "Shared Usage" and "Total Committed"). Where the object
// has no "Free", the pair's second counter is "Dedicated Usage" and free
// memory is the GPU's dedicated memory size, as the system describes the GPU,
// less that usage.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "counters/counter_query.h"
#include "platform/platform.h"

namespace gpuproc {

inline constexpr std::u16string_view kAdapterTotalCommittedPath =
    u"\\GPU Adapter Memory(*)\\Total Committed";
inline constexpr std::u16string_view kAdapterFreePath = u"\\GPU Adapter Memory(*)\\Free";
inline constexpr std::u16string_view kAdapterDedicatedUsagePath =
    u"\\GPU Adapter Memory(*)\\Dedicated Usage";

struct AdapterCounterPair {
  CounterHandle totalCommitted = nullptr;
  CounterHandle second = nullptr;  // "Free", or "Dedicated Usage" where there is no "Free"
  bool secondIsDedicatedUsage = false;
};

// Adds "Total Committed", then "Free"; where the system has no "Free" counter
// (PDH_CSTATUS_NO_COUNTER) "Dedicated Usage" instead, without a line for the
// missing one. Every other refusal writes its add-failure line.
void AddAdapterCounterPair(Platform& platform, const CounterQuery& query, AdapterCounterPair& pair);

// The `luid_0x<HI>_0x<LO>_phys_<N>` that starts `instance` (a process,
// engine or adapter instance name without its "pid_<N>_"); the whole text
// where it does not have that shape.
std::u16string_view AdapterOf(std::u16string_view instance);

// The two adapter-wide figures of every GPU in one collection.
class AdapterReadings {
 public:
  // Both arrays of the pair, read after the collections.
  static AdapterReadings Read(Platform& platform, const AdapterCounterPair& pair);

  // Total committed bytes of `adapter` (see AdapterOf): the sum over every
  // instance whose name starts with it (a real Windows instance may carry
  // more after phys_<N>); -1 where none has a value.
  double TotalCommitted(std::u16string_view adapter) const;
  // Free bytes of `adapter`: its "Free" as read; or, from "Dedicated Usage",
  // the matching description's dedicated size less that usage, at least 0;
  // -1 where either is missing.
  double Free(std::u16string_view adapter, const std::vector<AdapterDescription>& adapters) const;
  bool NeedsDescriptions() const { return secondIsDedicatedUsage_; }

 private:
  std::vector<InstanceReading> totalCommitted_;
  std::vector<InstanceReading> second_;
  bool secondIsDedicatedUsage_ = false;
};

// The description of the GPU `adapter` is on, or none.
const AdapterDescription* FindAdapterDescription(std::u16string_view adapter,
                                                 const std::vector<AdapterDescription>& adapters);

}  // namespace gpuproc
