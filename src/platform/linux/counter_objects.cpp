#include "platform/linux/counter_objects.h"

#include <algorithm>

#include "platform/linux/counter_path.h"
#include "platform/linux/pdh_status.h"

namespace gpuproc {

const std::vector<ObjectDescription>& Objects() {
  static const std::vector<ObjectDescription> objects = {
      {u"GPU Process Memory",
       {{u"Local Usage", CounterKind::kLocalUsage},
        {u"Shared Usage", CounterKind::kSharedUsage},
        {u"Dedicated Usage", CounterKind::kDedicatedUsage},
        {u"Total Committed", CounterKind::kProcessTotalCommitted}}},
      {u"GPU Engine", {{u"Utilization Percentage", CounterKind::kUtilization}}},
      {u"GPU Adapter Memory",
       {{u"Total Committed", CounterKind::kAdapterTotalCommitted},
        {u"Free", CounterKind::kAdapterFree}}},
  };
  return objects;
}

bool SameName(std::u16string_view a, std::u16string_view b) {
  const auto lower = [](char16_t c) { return (c >= u'A' && c <= u'Z') ? char16_t(c + 32) : c; };
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(),
                    [&](char16_t x, char16_t y) { return lower(x) == lower(y); });
}

const ObjectDescription* FindObject(std::u16string_view name) {
  for (const ObjectDescription& object : Objects()) {
    if (SameName(object.name, name)) return &object;
  }
  return nullptr;
}

bool IsProcessKind(CounterKind kind) {
  return kind != CounterKind::kAdapterTotalCommitted && kind != CounterKind::kAdapterFree;
}

std::optional<std::uint32_t> ProcessOfPattern(std::u16string_view pattern) {
  constexpr std::u16string_view kPrefix = u"pid_";
  if (pattern.substr(0, kPrefix.size()) != kPrefix) return std::nullopt;
  std::uint64_t id = 0;
  std::size_t at = kPrefix.size();
  const std::size_t digitsStart = at;
  while (at < pattern.size() && pattern[at] >= u'0' && pattern[at] <= u'9' &&
         at - digitsStart < 10) {
    id = id * 10 + (pattern[at++] - u'0');
  }
  if (at == digitsStart || at >= pattern.size() || pattern[at] != u'_' || id > 0xFFFFFFFFu) {
    return std::nullopt;
  }
  return static_cast<std::uint32_t>(id);
}

std::u16string JoinNames(const std::vector<std::u16string>& names) {
  std::u16string joined;
  for (const std::u16string& name : names) {
    joined += name;
    joined += u'\0';
  }
  if (!joined.empty()) joined += u'\0';
  return joined;
}

std::vector<std::u16string> InstanceNames(const CounterValues& values,
                                          const ObjectDescription& object) {
  std::vector<std::u16string> names;
  const auto collect = [&](const auto& instances) {
    for (const auto& instance : instances) names.push_back(instance.name);
  };
  if (object.counters.front().second == CounterKind::kUtilization) {
    collect(values.engines);
  } else if (IsProcessKind(object.counters.front().second)) {
    collect(values.processes);
  } else {
    collect(values.adapters);
  }
  return names;
}

void SelectCoveredValues(const CounterValues& values, CounterKind kind,
                         const std::optional<std::u16string>& instance,
                         std::vector<std::pair<std::u16string_view, std::optional<double>>>& out) {
  const auto covers = [&](const std::u16string& name) {
    return !instance || MatchesWildcard(*instance, name);
  };
  const auto bytes = [](const std::optional<std::uint64_t>& value) {
    return value ? std::optional<double>(static_cast<double>(*value)) : std::nullopt;
  };
  out.clear();
  switch (kind) {
    case CounterKind::kUtilization:
      for (const auto& engine : values.engines) {
        if (covers(engine.name)) out.emplace_back(engine.name, engine.utilizationPercent);
      }
      break;
    case CounterKind::kAdapterTotalCommitted:
    case CounterKind::kAdapterFree:
      for (const auto& adapter : values.adapters) {
        if (!covers(adapter.name)) continue;
        out.emplace_back(
            adapter.name,
            bytes(kind == CounterKind::kAdapterFree ? adapter.free : adapter.totalCommitted));
      }
      break;
    default:
      for (const auto& process : values.processes) {
        if (!covers(process.name)) continue;
        switch (kind) {
          case CounterKind::kLocalUsage:
            out.emplace_back(process.name, bytes(process.localUsage));
            break;
          case CounterKind::kSharedUsage:
            out.emplace_back(process.name, bytes(process.sharedUsage));
            break;
          case CounterKind::kDedicatedUsage:
            out.emplace_back(process.name, bytes(process.dedicatedUsage));
            break;
          default:
            out.emplace_back(process.name, bytes(process.totalCommitted));
            break;
        }
      }
      break;
  }
}

PdhStatus HandOutNameLists(const std::u16string& counterText, const std::u16string& instanceText,
                           bool sizeRequest, char16_t* counters, std::uint32_t* counterLength,
                           char16_t* instances, std::uint32_t* instanceLength) {
  const bool fits = (counters == nullptr || *counterLength >= counterText.size()) &&
                    (instances == nullptr || *instanceLength >= instanceText.size());
  if (sizeRequest || !fits) {
    *counterLength = static_cast<std::uint32_t>(counterText.size());
    *instanceLength = static_cast<std::uint32_t>(instanceText.size());
    return pdh::kMoreData;
  }
  if (counters != nullptr) std::copy(counterText.begin(), counterText.end(), counters);
  if (instances != nullptr) std::copy(instanceText.begin(), instanceText.end(), instances);
  *counterLength = static_cast<std::uint32_t>(counterText.size());
  *instanceLength = static_cast<std::uint32_t>(instanceText.size());
  return kPdhSuccess;
}

}  // namespace gpuproc
