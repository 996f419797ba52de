// The three counter objects the Linux back end publishes, their counters,
// and how names and instance lists are matched and written, as PDH does.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/linux/counter_values.h"
#include "platform/platform.h"

namespace gpuproc {

enum class CounterKind {
  kLocalUsage,
  kSharedUsage,
  kDedicatedUsage,
  kProcessTotalCommitted,
  kUtilization,
  kAdapterTotalCommitted,
  kAdapterFree,
};

struct ObjectDescription {
  std::u16string_view name;
  std::vector<std::pair<std::u16string_view, CounterKind>> counters;
};

// Every object, in the order PDH would list them.
const std::vector<ObjectDescription>& Objects();

// Object and counter names are case-insensitive, as PDH treats them.
bool SameName(std::u16string_view a, std::u16string_view b);

const ObjectDescription* FindObject(std::u16string_view name);

bool IsProcessKind(CounterKind kind);

// The process a per-process instance pattern is limited to: "pid_<digits>_..."
// with nothing wild before the separator. Anything else may cover any process.
std::optional<std::uint32_t> ProcessOfPattern(std::u16string_view pattern);

// Each name followed by its NUL, the list ended by an empty name; nothing at
// all for an empty list.
std::u16string JoinNames(const std::vector<std::u16string>& names);

// The names of the object's instances in one collection, in enumeration order.
std::vector<std::u16string> InstanceNames(const CounterValues& values,
                                          const ObjectDescription& object);

// Every instance of the counter's object in `values` that `instance` covers
// (all of them when absent), with that counter's value, into `out`.
void SelectCoveredValues(const CounterValues& values, CounterKind kind,
                         const std::optional<std::u16string>& instance,
                         std::vector<std::pair<std::u16string_view, std::optional<double>>>& out);

// The second half of the two-call size protocol: both lengths and
// PDH_MORE_DATA for a size request or a buffer too small, else both lists
// copied out.
PdhStatus HandOutNameLists(const std::u16string& counterText, const std::u16string& instanceText,
                           bool sizeRequest, char16_t* counters, std::uint32_t* counterLength,
                           char16_t* instances, std::uint32_t* instanceLength);

}  // namespace gpuproc
