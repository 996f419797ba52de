// The Linux stand-in for PDH: queries, counters, collections and enumeration
// over the GPU sources, with PDH's statuses and two-call size protocol.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/linux/busy_time_ledger.h"
#include "platform/linux/counter_objects.h"
#include "platform/linux/counter_values.h"
#include "platform/linux/gpu_source.h"
#include "platform/linux/host_fs.h"
#include "platform/platform.h"

namespace gpuproc {

class CounterBackend {
 public:
  // `ledger` keeps busy time between backends; a backend without one keeps
  // its own.
  CounterBackend(std::vector<GpuSourceEntry> sources, HostFs fs, MonotonicClock clock,
                 std::shared_ptr<BusyTimeLedger> ledger = nullptr);
  ~CounterBackend();
  CounterBackend(const CounterBackend&) = delete;
  CounterBackend& operator=(const CounterBackend&) = delete;

  PdhStatus OpenQuery(QueryHandle* query);
  PdhStatus AddCounter(QueryHandle query, std::u16string_view path, CounterHandle* counter);
  PdhStatus CollectQueryData(QueryHandle query);
  PdhStatus GetFormattedCounterValue(CounterHandle counter, double* value);
  PdhStatus GetFormattedCounterArray(CounterHandle counter, std::vector<CounterItem>* items);
  PdhStatus GetRawCounterArray(CounterHandle counter, std::vector<RawCounterItem>* items);
  PdhStatus RemoveCounter(CounterHandle counter);
  PdhStatus CloseQuery(QueryHandle query);
  PdhStatus EnumObjectItems(std::u16string_view object, char16_t* counters,
                            std::uint32_t* counterLength, char16_t* instances,
                            std::uint32_t* instanceLength);
  // The same, looking only at process `processId`: its instances (and, for
  // the adapter object, every adapter), without scanning other processes.
  PdhStatus EnumProcessObjectItems(std::uint32_t processId, std::u16string_view object,
                                   char16_t* counters, std::uint32_t* counterLength,
                                   char16_t* instances, std::uint32_t* instanceLength);

  // The devices of the query's latest collection, each named: the source's
  // name, else the PCI ID database's, else driver and address.
  std::vector<AdapterDescription> DescribeAdapters(QueryHandle query) const;
  // The processes the query's latest collection was refused.
  std::uint32_t UnreadableProcesses(QueryHandle query) const;

  // The sources' notices of the query's latest collection that the query
  // has not handed out yet: each line once per query.
  std::vector<std::string> TakeNewNotices(QueryHandle query);
  // The health of the devices of the query's latest collection, read now.
  std::vector<AdapterHealth> ReadAdapterHealth(QueryHandle query) const;
  // When each process instance of the query's latest collection was read,
  // in seconds on the backend's clock.
  std::vector<InstanceReadTime> ProcessReadTimes(QueryHandle query) const;
  // The sources the query could not open that this process was reading,
  // each with why (GpuSourceEntry::lost), in table order.
  struct LostSource {
    std::string name;
    std::string why;
  };
  std::vector<LostSource> LostSources(QueryHandle query) const;

  const HostFs& Fs() const { return fs_; }

 private:
  struct Query;
  struct Counter;

  std::vector<std::unique_ptr<GpuSource>> CreateSources() const;
  CounterValues CollectOnce(std::vector<std::unique_ptr<GpuSource>>& sources,
                            const CollectScope& scope) const;
  Query* FindQuery(QueryHandle handle) const;
  Counter* FindCounter(CounterHandle handle) const;
  // Every instance the counter covers in its query's latest collection, with
  // its value; a non-zero status when the counter cannot be read at all.
  PdhStatus CoveredValues(
      CounterHandle handle,
      std::vector<std::pair<std::u16string_view, std::optional<double>>>& out) const;
  PdhStatus Enumerate(std::u16string_view objectName, std::optional<std::uint32_t> processId,
                      char16_t* counters, std::uint32_t* counterLength, char16_t* instances,
                      std::uint32_t* instanceLength);

  std::vector<GpuSourceEntry> sourceTable_;
  HostFs fs_;
  MonotonicClock clock_;
  std::shared_ptr<BusyTimeLedger> ledger_;
  std::set<Query*> queries_;
  // The instance list measured by a size request, handed out by the fill
  // request that follows it, so the two calls agree and the machine is
  // scanned once; by object and by the process it was limited to.
  std::map<std::pair<std::u16string, std::optional<std::uint32_t>>, std::u16string>
      pendingInstanceLists_;
};

}  // namespace gpuproc
