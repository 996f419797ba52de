#include "platform/linux/counter_backend.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <span>
#include <tuple>

#include "platform/linux/pci_names.h"
#include "platform/linux/pdh_status.h"

namespace gpuproc {
namespace {

enum class CounterKind {
  kLocalUsage,
  kSharedUsage,
  kDedicatedUsage,
  kProcessTotalCommitted,
  kUtilization,
  kAdapterTotalCommitted,
  kAdapterFree,
};

using CounterEntry = std::pair<std::u16string_view, CounterKind>;
struct ObjectDescription {
  std::u16string_view name;
  std::span<const CounterEntry> counters;
};

// Constant tables, with nothing for an exit handler to destroy: a host's
// thread may still be inside a call while the process exits.
constexpr CounterEntry kProcessMemoryCounters[] = {
    {u"Local Usage", CounterKind::kLocalUsage},
    {u"Shared Usage", CounterKind::kSharedUsage},
    {u"Dedicated Usage", CounterKind::kDedicatedUsage},
    {u"Total Committed", CounterKind::kProcessTotalCommitted},
};
constexpr CounterEntry kEngineCounters[] = {{u"Utilization Percentage", CounterKind::kUtilization}};
constexpr CounterEntry kAdapterMemoryCounters[] = {
    {u"Total Committed", CounterKind::kAdapterTotalCommitted},
    {u"Free", CounterKind::kAdapterFree},
};
constexpr ObjectDescription kObjects[] = {
    {u"GPU Process Memory", kProcessMemoryCounters},
    {u"GPU Engine", kEngineCounters},
    {u"GPU Adapter Memory", kAdapterMemoryCounters},
};

std::span<const ObjectDescription> Objects() { return kObjects; }

// Object and counter names are case-insensitive, as PDH treats them.
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

std::u16string Widen(std::string_view ascii) { return std::u16string(ascii.begin(), ascii.end()); }

bool IsProcessKind(CounterKind kind) {
  return kind != CounterKind::kAdapterTotalCommitted && kind != CounterKind::kAdapterFree;
}

// The process a per-process instance pattern is limited to: "pid_<digits>_..."
// with nothing wild before the separator. Anything else may cover any process.
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

// Each name followed by its NUL, the list ended by an empty name; nothing at
// all for an empty list.
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

}  // namespace

struct CounterBackend::Counter {
  const Query* owner = nullptr;
  CounterKind kind;
  std::optional<std::u16string> instance;  // absent: every instance of the object
  int addedAtCollection = 0;
};

struct CounterBackend::Query {
  std::vector<std::unique_ptr<GpuSource>> sources;
  std::vector<std::unique_ptr<Counter>> counters;
  int collections = 0;
  // Whether the latest collection scanned every process: the one after it
  // then rescans only the processes that scan found.
  bool latestScannedAll = false;
  CounterValues latest;
};

CounterValues MergeSnapshots(const std::vector<GpuSnapshot>& snapshots) {
  struct Entry {
    std::uint32_t processId;
    std::string name;
    const ProcessGpuUsage* usage;
  };
  std::vector<Entry> processes;
  std::vector<std::pair<std::string, const AdapterUsage*>> adapters;
  std::set<GpuDevice> claimed;
  std::set<std::pair<std::uint32_t, GpuDevice>> seenProcesses;
  std::set<GpuDevice> seenAdapters;

  for (const GpuSnapshot& snapshot : snapshots) {
    std::set<GpuDevice> reported;
    for (const ProcessGpuUsage& usage : snapshot.processes) {
      reported.insert(usage.device);
      if (claimed.count(usage.device) != 0) continue;
      if (!seenProcesses.emplace(usage.processId, usage.device).second) continue;
      processes.push_back(
          {usage.processId, ProcessInstanceName(usage.processId, usage.device), &usage});
    }
    for (const AdapterUsage& adapter : snapshot.adapters) {
      reported.insert(adapter.device);
      if (claimed.count(adapter.device) != 0 || !seenAdapters.insert(adapter.device).second)
        continue;
      adapters.emplace_back(DeviceInstanceName(adapter.device), &adapter);
    }
    claimed.insert(reported.begin(), reported.end());
  }

  std::sort(processes.begin(), processes.end(), [](const Entry& a, const Entry& b) {
    return std::tie(a.processId, a.name) < std::tie(b.processId, b.name);
  });
  std::sort(adapters.begin(), adapters.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });

  CounterValues values;
  for (const Entry& entry : processes) {
    const ProcessGpuUsage& usage = *entry.usage;
    values.processes.push_back({Widen(entry.name), usage.localUsage, usage.sharedUsage,
                                usage.dedicatedUsage, usage.totalCommitted, usage.processId});
    for (std::size_t k = 0; k < usage.engines.size(); ++k) {
      values.engines.push_back({Widen(EngineInstanceName(entry.name, k, usage.engines[k].type)),
                                usage.engines[k].utilizationPercent});
    }
  }
  for (const auto& [name, adapter] : adapters) {
    values.adapters.push_back({Widen(name), adapter->totalCommitted, adapter->free, adapter->name,
                               adapter->sysfsDevice, adapter->address});
  }
  return values;
}

CounterBackend::CounterBackend(std::vector<GpuSourceEntry> sources, HostFs fs, MonotonicClock clock)
    : sourceTable_(std::move(sources)), fs_(std::move(fs)), clock_(std::move(clock)) {}

CounterBackend::~CounterBackend() {
  for (Query* query : queries_) delete query;
}

std::vector<std::unique_ptr<GpuSource>> CounterBackend::CreateSources() const {
  std::vector<std::unique_ptr<GpuSource>> sources;
  const GpuSourceContext context{fs_, clock_};
  for (const GpuSourceEntry& entry : sourceTable_) {
    // A source that cannot start on this machine simply contributes nothing.
    try {
      if (auto source = entry.create(context)) sources.push_back(std::move(source));
    } catch (...) {
    }
  }
  return sources;
}

CounterValues CounterBackend::CollectOnce(std::vector<std::unique_ptr<GpuSource>>& sources,
                                          const CollectScope& scope) const {
  std::vector<GpuSnapshot> snapshots;
  snapshots.reserve(sources.size());
  for (const auto& source : sources) {
    try {
      snapshots.push_back(source->Collect(scope));
    } catch (...) {
      snapshots.emplace_back();
    }
  }
  return MergeSnapshots(snapshots);
}

CounterBackend::Query* CounterBackend::FindQuery(QueryHandle handle) const {
  auto* query = static_cast<Query*>(handle);
  return queries_.count(query) != 0 ? query : nullptr;
}

CounterBackend::Counter* CounterBackend::FindCounter(CounterHandle handle) const {
  for (Query* query : queries_) {
    for (const auto& counter : query->counters) {
      if (counter.get() == handle) return counter.get();
    }
  }
  return nullptr;
}

PdhStatus CounterBackend::OpenQuery(QueryHandle* query) {
  if (query == nullptr) return pdh::kInvalidArgument;
  try {
    auto opened = std::make_unique<Query>();
    opened->sources = CreateSources();
    queries_.insert(opened.get());
    *query = opened.release();
    return kPdhSuccess;
  } catch (const std::bad_alloc&) {
    return pdh::kMemoryAllocationFailure;
  }
}

PdhStatus CounterBackend::AddCounter(QueryHandle queryHandle, std::u16string_view path,
                                     CounterHandle* counter) {
  Query* query = FindQuery(queryHandle);
  if (query == nullptr) return pdh::kInvalidHandle;
  if (counter == nullptr) return pdh::kInvalidArgument;
  const std::optional<CounterPath> parsed = ParseCounterPath(path);
  if (!parsed) return pdh::kBadCounterName;
  const ObjectDescription* object = FindObject(parsed->object);
  if (object == nullptr) return pdh::kNoObject;
  const auto known =
      std::find_if(object->counters.begin(), object->counters.end(),
                   [&](const auto& entry) { return SameName(entry.first, parsed->counter); });
  if (known == object->counters.end()) return pdh::kNoCounter;

  auto added = std::make_unique<Counter>();
  added->owner = query;
  added->kind = known->second;
  added->instance = parsed->instance;
  added->addedAtCollection = query->collections;
  *counter = added.get();
  query->counters.push_back(std::move(added));
  return kPdhSuccess;
}

PdhStatus CounterBackend::CollectQueryData(QueryHandle queryHandle) {
  Query* query = FindQuery(queryHandle);
  if (query == nullptr) return pdh::kInvalidHandle;

  // Scan only the processes the counters name; instance-less or wild ones
  // may cover any process.
  CollectScope scope;
  scope.allProcesses = false;
  for (const auto& counter : query->counters) {
    if (!IsProcessKind(counter->kind)) continue;
    const std::optional<std::uint32_t> processId =
        counter->instance ? ProcessOfPattern(*counter->instance) : std::nullopt;
    if (!processId) {
      scope.allProcesses = true;
      scope.processIds.clear();
      break;
    }
    scope.processIds.push_back(*processId);
  }
  const bool scansAll = scope.allProcesses && !query->latestScannedAll;
  if (scope.allProcesses && !scansAll) {
    // The second of a pair of collections over every process rescans only
    // the processes the first one found: a rate needs both, and a process
    // that starts using a GPU in between shows from the next pair on. This
    // keeps a whole-machine sample at one scan of every process's fds.
    scope.allProcesses = false;
    scope.knownClientsOnly = true;
    for (const auto& process : query->latest.processes)
      scope.processIds.push_back(process.processId);
  }
  std::sort(scope.processIds.begin(), scope.processIds.end());
  scope.processIds.erase(std::unique(scope.processIds.begin(), scope.processIds.end()),
                         scope.processIds.end());

  query->latest = CollectOnce(query->sources, scope);
  query->latestScannedAll = scansAll;
  ++query->collections;
  return kPdhSuccess;
}

PdhStatus CounterBackend::CoveredValues(
    CounterHandle handle,
    std::vector<std::pair<std::u16string_view, std::optional<double>>>& out) const {
  const Counter* counter = FindCounter(handle);
  if (counter == nullptr) return pdh::kInvalidHandle;
  const Query* query = counter->owner;
  // A rate needs two collections after the counter joined the query; a
  // level needs one.
  const int needed = counter->kind == CounterKind::kUtilization ? 2 : 1;
  if (query->collections - counter->addedAtCollection < needed) return pdh::kInvalidData;

  const auto covers = [&](const std::u16string& name) {
    return !counter->instance || MatchesWildcard(*counter->instance, name);
  };
  const auto bytes = [](const std::optional<std::uint64_t>& value) {
    return value ? std::optional<double>(static_cast<double>(*value)) : std::nullopt;
  };
  const CounterValues& values = query->latest;
  out.clear();
  switch (counter->kind) {
    case CounterKind::kUtilization:
      for (const auto& engine : values.engines) {
        if (covers(engine.name)) out.emplace_back(engine.name, engine.utilizationPercent);
      }
      break;
    case CounterKind::kAdapterTotalCommitted:
    case CounterKind::kAdapterFree:
      for (const auto& adapter : values.adapters) {
        if (!covers(adapter.name)) continue;
        out.emplace_back(adapter.name, bytes(counter->kind == CounterKind::kAdapterFree
                                                 ? adapter.free
                                                 : adapter.totalCommitted));
      }
      break;
    default:
      for (const auto& process : values.processes) {
        if (!covers(process.name)) continue;
        switch (counter->kind) {
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
  return kPdhSuccess;
}

PdhStatus CounterBackend::GetFormattedCounterValue(CounterHandle handle, double* value) {
  if (value == nullptr) return FindCounter(handle) ? pdh::kInvalidArgument : pdh::kInvalidHandle;
  std::vector<std::pair<std::u16string_view, std::optional<double>>> covered;
  const PdhStatus status = CoveredValues(handle, covered);
  if (status != kPdhSuccess) return status;
  const bool rate = FindCounter(handle)->kind == CounterKind::kUtilization;
  std::optional<double> result;
  for (const auto& [name, reading] : covered) {
    if (!reading) continue;
    // The busiest matching engine, the rule Task Manager applies to one
    // process; memory adds up over the instances.
    result = rate ? std::max(result.value_or(*reading), *reading) : result.value_or(0) + *reading;
  }
  if (!result) return pdh::kInvalidData;
  *value = *result;
  return kPdhSuccess;
}

PdhStatus CounterBackend::GetFormattedCounterArray(CounterHandle handle,
                                                   std::vector<CounterItem>* items) {
  if (items == nullptr) return FindCounter(handle) ? pdh::kInvalidArgument : pdh::kInvalidHandle;
  std::vector<std::pair<std::u16string_view, std::optional<double>>> covered;
  const PdhStatus status = CoveredValues(handle, covered);
  if (status != kPdhSuccess) return status;
  items->clear();
  items->reserve(covered.size());
  for (const auto& [name, reading] : covered) {
    // An instance without a value is still listed, as PDH lists an instance
    // whose sample is bad, so a caller can tell "no value" from "no instance".
    items->push_back(
        {std::u16string(name),
         reading ? kPdhCStatusValidData : static_cast<std::uint32_t>(pdh::kCStatusInvalidData),
         reading.value_or(0)});
  }
  return kPdhSuccess;
}

PdhStatus CounterBackend::RemoveCounter(CounterHandle handle) {
  for (Query* query : queries_) {
    auto& counters = query->counters;
    const auto found = std::find_if(counters.begin(), counters.end(),
                                    [&](const auto& counter) { return counter.get() == handle; });
    if (found != counters.end()) {
      counters.erase(found);
      return kPdhSuccess;
    }
  }
  return pdh::kInvalidHandle;
}

PdhStatus CounterBackend::CloseQuery(QueryHandle handle) {
  Query* query = FindQuery(handle);
  if (query == nullptr) return pdh::kInvalidHandle;
  queries_.erase(query);
  delete query;
  return kPdhSuccess;
}

std::vector<AdapterDescription> CounterBackend::DescribeAdapters(QueryHandle handle) const {
  std::vector<AdapterDescription> described;
  const Query* query = FindQuery(handle);
  if (query == nullptr) return described;
  // The database file is read only for a GPU not named before, and its
  // tables are not kept past the call.
  PciNameDatabase& database = SharedPciNameDatabase();
  for (const CounterValues::AdapterInstance& adapter : query->latest.adapters) {
    // Every device is luid_0x<HI>_0x<LO>_phys_0.
    const std::size_t physical = adapter.name.rfind(u"_phys_");
    std::string name = adapter.deviceName;
    if (name.empty() && !adapter.sysfsDevice.empty()) {
      name = database.DescribeSysfsDevice(fs_, adapter.sysfsDevice, adapter.address);
    }
    described.push_back({adapter.name.substr(0, physical), std::move(name), -1});
  }
  database.ReleaseTables();
  return described;
}

PdhStatus CounterBackend::EnumObjectItems(std::u16string_view objectName, char16_t* counters,
                                          std::uint32_t* counterLength, char16_t* instances,
                                          std::uint32_t* instanceLength) {
  return Enumerate(objectName, std::nullopt, counters, counterLength, instances, instanceLength);
}

PdhStatus CounterBackend::EnumProcessObjectItems(std::uint32_t processId,
                                                 std::u16string_view objectName, char16_t* counters,
                                                 std::uint32_t* counterLength, char16_t* instances,
                                                 std::uint32_t* instanceLength) {
  return Enumerate(objectName, processId, counters, counterLength, instances, instanceLength);
}

PdhStatus CounterBackend::Enumerate(std::u16string_view objectName,
                                    std::optional<std::uint32_t> processId, char16_t* counters,
                                    std::uint32_t* counterLength, char16_t* instances,
                                    std::uint32_t* instanceLength) {
  if (counterLength == nullptr || instanceLength == nullptr) return pdh::kInvalidArgument;
  const ObjectDescription* object = FindObject(objectName);
  if (object == nullptr) return pdh::kNoObject;

  std::vector<std::u16string> counterNames;
  for (const auto& [name, kind] : object->counters) counterNames.emplace_back(name);
  const std::u16string counterText = JoinNames(counterNames);

  const std::pair<std::u16string, std::optional<std::uint32_t>> key(object->name, processId);
  const bool sizeRequest = counters == nullptr && instances == nullptr;
  auto pending = pendingInstanceLists_.find(key);
  if (sizeRequest || pending == pendingInstanceLists_.end()) {
    CollectScope scope;
    if (processId) scope = CollectScope{false, {*processId}};
    scope.adapterValues = false;  // an enumeration hands out names only
    auto sources = CreateSources();
    const CounterValues values = CollectOnce(sources, scope);
    pending = pendingInstanceLists_.insert_or_assign(key, JoinNames(InstanceNames(values, *object)))
                  .first;
  }
  const std::u16string& instanceText = pending->second;

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
  pendingInstanceLists_.erase(pending);
  return kPdhSuccess;
}

}  // namespace gpuproc
