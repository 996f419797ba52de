#include "counters/adapter_memory.h"

#include <algorithm>

namespace gpuproc {
namespace {

bool IsDecimalDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

char16_t Lower(char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c; }

// PDH compares names without regard to case, and LUIDs are hex either way.
bool StartsWithIgnoringCase(std::u16string_view text, std::u16string_view prefix) {
  return text.size() >= prefix.size() &&
         std::equal(prefix.begin(), prefix.end(), text.begin(),
                    [](char16_t a, char16_t b) { return Lower(a) == Lower(b); });
}

// `instance` belongs to `adapter` when it starts with it and does not go on
// with another digit (phys_1 is not phys_10).
bool OnAdapter(std::u16string_view instance, std::u16string_view adapter) {
  return StartsWithIgnoringCase(instance, adapter) &&
         (instance.size() == adapter.size() || !IsDecimalDigit(instance[adapter.size()]));
}

double SumOn(const std::vector<InstanceReading>& readings, std::u16string_view adapter) {
  double sum = -1;
  for (const InstanceReading& reading : readings) {
    if (reading.value < 0 || !OnAdapter(reading.instance, adapter)) continue;
    sum = std::max(sum, 0.0) + reading.value;
  }
  return sum;
}

}  // namespace

void AddAdapterCounterPair(Platform& platform, const CounterQuery& query,
                           AdapterCounterPair& pair) {
  AddCounter(platform, query, kAdapterTotalCommittedPath, pair.totalCommitted);
  // A counter this system does not have is no fault worth a line per call.
  const PdhStatus status = AddCounterUnlessMissing(platform, query, kAdapterFreePath, pair.second);
  if (status == kPdhCStatusNoCounter) {
    pair.secondIsDedicatedUsage = true;
    AddCounter(platform, query, kAdapterDedicatedUsagePath, pair.second);
  }
}

std::u16string_view AdapterOf(std::u16string_view instance) {
  constexpr std::u16string_view kPhysical = u"_phys_";
  const std::size_t physical = instance.find(kPhysical);
  if (!instance.starts_with(u"luid_") || physical == std::u16string_view::npos) return instance;
  std::size_t end = physical + kPhysical.size();
  const std::size_t digits = end;
  while (end < instance.size() && IsDecimalDigit(instance[end])) ++end;
  return end == digits ? instance : instance.substr(0, end);
}

AdapterReadings AdapterReadings::Read(Platform& platform, const AdapterCounterPair& pair) {
  AdapterReadings readings;
  readings.totalCommitted_ = ReadCounterArray(platform, pair.totalCommitted);
  readings.second_ = ReadCounterArray(platform, pair.second);
  readings.secondIsDedicatedUsage_ = pair.secondIsDedicatedUsage;
  return readings;
}

double AdapterReadings::TotalCommitted(std::u16string_view adapter) const {
  return SumOn(totalCommitted_, adapter);
}

double AdapterReadings::Free(std::u16string_view adapter,
                             const std::vector<AdapterDescription>& adapters) const {
  const double second = SumOn(second_, adapter);
  if (!secondIsDedicatedUsage_ || second < 0) return second;
  const AdapterDescription* description = FindAdapterDescription(adapter, adapters);
  if (description == nullptr || description->dedicatedBytes < 0) return -1;
  // Usage can pass the dedicated size (the integrated GPU's small carve-out
  // spills into system memory): nothing is free then.
  return std::max(description->dedicatedBytes - second, 0.0);
}

const AdapterDescription* FindAdapterDescription(std::u16string_view adapter,
                                                 const std::vector<AdapterDescription>& adapters) {
  for (const AdapterDescription& description : adapters) {
    if (description.luid.empty() || !StartsWithIgnoringCase(adapter, description.luid)) continue;
    if (adapter.substr(description.luid.size()).starts_with(u"_phys_")) return &description;
  }
  return nullptr;
}

}  // namespace gpuproc
