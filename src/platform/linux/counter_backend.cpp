#include "platform/linux/counter_backend.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>

#include "platform/linux/counter_path.h"
#include "platform/linux/pci_names.h"
#include "platform/linux/pdh_status.h"

namespace gpuproc {
namespace {

// "dddd:bb:dd.f" of a device named luid_0x<HI>_0x<LO>_phys_0, where HI and
// LO came from a PCI address (a MIG instance's is its GPU's, in the low 16
// bits); empty for a device that has none.
std::string PciAddressOf(std::u16string_view instance) {
  unsigned int high = 0;
  unsigned int low = 0;
  const std::string narrow(instance.begin(), instance.end());
  if (std::sscanf(narrow.c_str(), "luid_0x%8X_0x%8X_phys_", &high, &low) != 2 ||
      high == kNonPciDeviceHigh) {
    return {};
  }
  low &= 0xFFFFu;
  char text[24];
  std::snprintf(text, sizeof text, "%04x:%02x:%02x.%x", high, low >> 8, (low >> 3) & 0x1F,
                low & 0x7);
  return text;
}

// Every covered instance as an array item. An instance without a value is
// still listed, as PDH lists an instance whose sample is bad, so a caller
// can tell "no value" from "no instance".
template <typename Item, typename Convert>
void ListCovered(const std::vector<std::pair<std::u16string_view, std::optional<double>>>& covered,
                 std::vector<Item>& items, Convert convert) {
  items.clear();
  items.reserve(covered.size());
  for (const auto& [name, reading] : covered) {
    items.push_back(
        {std::u16string(name),
         reading ? kPdhCStatusValidData : static_cast<std::uint32_t>(pdh::kCStatusInvalidData),
         reading ? convert(*reading) : decltype(convert(0.0))(0)});
  }
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
  std::vector<LostSource> lost;
  std::vector<std::unique_ptr<Counter>> counters;
  int collections = 0;
  // Whether the latest collection scanned every process: the one after it
  // then rescans only the processes that scan found.
  bool latestScannedAll = false;
  CounterValues latest;
  std::set<std::string> noticesGiven;
};

CounterBackend::CounterBackend(std::vector<GpuSourceEntry> sources, HostFs fs, MonotonicClock clock,
                               std::shared_ptr<BusyTimeLedger> ledger)
    : sourceTable_(std::move(sources)),
      fs_(std::move(fs)),
      clock_(std::move(clock)),
      ledger_(ledger ? std::move(ledger) : std::make_shared<BusyTimeLedger>()) {}

CounterBackend::~CounterBackend() {
  for (Query* query : queries_) delete query;
}

std::vector<std::unique_ptr<GpuSource>> CounterBackend::CreateSources() const {
  std::vector<std::unique_ptr<GpuSource>> sources;
  const GpuSourceContext context{fs_, clock_, *ledger_};
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
    // A source that does not stamp its processes read them during its own
    // collection, which ends now: before the next source's (a scan of every
    // process's fds may take a second).
    const std::uint64_t endNs = clock_ ? clock_() : 0;
    for (ProcessGpuUsage& usage : snapshots.back().processes) {
      if (!usage.readAtNs) usage.readAtNs = endNs;
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
    for (const GpuSourceEntry& entry : sourceTable_) {
      std::string why = entry.lost ? entry.lost() : std::string();
      if (!why.empty()) opened->lost.push_back({entry.name, std::move(why)});
    }
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

  SelectCoveredValues(query->latest, counter->kind, counter->instance, out);
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
  ListCovered(covered, *items, [](double reading) { return reading; });
  return kPdhSuccess;
}

PdhStatus CounterBackend::GetRawCounterArray(CounterHandle handle,
                                             std::vector<RawCounterItem>* items) {
  if (items == nullptr) return FindCounter(handle) ? pdh::kInvalidArgument : pdh::kInvalidHandle;
  std::vector<std::pair<std::u16string_view, std::optional<double>>> covered;
  const PdhStatus status = CoveredValues(handle, covered);
  if (status != kPdhSuccess) return status;
  ListCovered(covered, *items, [](double reading) { return static_cast<std::int64_t>(reading); });
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

std::uint32_t CounterBackend::UnreadableProcesses(QueryHandle handle) const {
  const Query* query = FindQuery(handle);
  return query != nullptr ? query->latest.unreadableProcesses : 0;
}

std::vector<CounterBackend::LostSource> CounterBackend::LostSources(QueryHandle handle) const {
  const Query* query = FindQuery(handle);
  return query != nullptr ? query->lost : std::vector<LostSource>();
}

std::vector<InstanceReadTime> CounterBackend::ProcessReadTimes(QueryHandle handle) const {
  std::vector<InstanceReadTime> times;
  const Query* query = FindQuery(handle);
  if (query == nullptr) return times;
  for (const CounterValues::ProcessInstance& process : query->latest.processes) {
    if (process.readAtNs) {
      times.push_back({process.name, static_cast<double>(*process.readAtNs) * 1e-9});
    }
  }
  return times;
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
    described.push_back({adapter.name.substr(0, physical), std::move(name), -1,
                         PciAddressOf(adapter.name), adapter.kind});
  }
  database.ReleaseTables();
  return described;
}

std::vector<std::string> CounterBackend::TakeNewNotices(QueryHandle handle) {
  std::vector<std::string> notices;
  Query* query = FindQuery(handle);
  if (query == nullptr) return notices;
  for (const std::string& notice : query->latest.notices) {
    if (query->noticesGiven.insert(notice).second) notices.push_back(notice);
  }
  return notices;
}

std::vector<AdapterHealth> CounterBackend::ReadAdapterHealth(QueryHandle handle) const {
  std::vector<AdapterHealth> health;
  const Query* query = FindQuery(handle);
  if (query == nullptr) return health;
  for (const CounterValues::AdapterInstance& adapter : query->latest.adapters) {
    if (!adapter.readHealth) continue;
    DeviceHealth read;
    // A reader that fails leaves its device unknown, never the snapshot.
    try {
      read = adapter.readHealth();
    } catch (...) {
      continue;
    }
    health.push_back({adapter.name.substr(0, adapter.name.rfind(u"_phys_")), read.powerWatts,
                      read.powerLimitWatts, read.energyJoules, std::move(read.temperatures),
                      std::move(read.slowdownTemperatures), std::move(read.clocks), read.fanRpm,
                      read.busyPercent, read.packagePower});
  }
  return health;
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

  const PdhStatus status = HandOutNameLists(counterText, instanceText, sizeRequest, counters,
                                            counterLength, instances, instanceLength);
  if (status == kPdhSuccess) pendingInstanceLists_.erase(pending);
  return status;
}

}  // namespace gpuproc
