#include "gpu_collector.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <tuple>
#include <utility>

#include "label_text.h"

namespace gpuproc {

namespace {

constexpr double kBytesPerMiB = 1048576.0;

using prometheus::ClientMetric;
using prometheus::MetricFamily;
using prometheus::MetricType;

MetricFamily Family(const char* name, const char* help, MetricType type) {
  return MetricFamily{name, help, type, {}};
}

void AddGauge(MetricFamily& family, std::vector<ClientMetric::Label> labels, double value) {
  ClientMetric metric;
  metric.label = std::move(labels);
  metric.gauge.value = value;
  family.metric.push_back(std::move(metric));
}

void AddCounter(MetricFamily& family, double value) {
  ClientMetric metric;
  metric.counter.value = value;
  family.metric.push_back(std::move(metric));
}

// The library marks a value it could not read with -1 (before the MiB
// conversion): such a series is left out, never shown as 0 or negative.
bool Readable(const nlohmann::json& value) { return value.is_number() && value.get<double>() >= 0; }

constexpr const char* kMemoryKeys[] = {"GPUProcessMemoryDedicatedUsage",
                                       "GPUProcessMemorySharedUsage", "GPUProcessMemoryLocalUsage",
                                       "GPUProcessMemoryTotalCommitted"};
constexpr std::size_t kMemoryKinds = std::size(kMemoryKeys);

constexpr const char* kMemoryNames[] = {"dedicated", "shared", "local", "committed"};

// Each memory family in the order of kMemoryKeys, with its help text.
std::array<MetricFamily, kMemoryKinds> MemoryFamilies(
    const char* prefix, const std::array<const char*, kMemoryKinds>& helps) {
  std::array<MetricFamily, kMemoryKinds> families;
  for (std::size_t i = 0; i < kMemoryKinds; ++i) {
    families[i] = MetricFamily{std::string(prefix) + "_memory_" + kMemoryNames[i] + "_bytes",
                               helps[i],
                               MetricType::Gauge,
                               {}};
  }
  return families;
}

struct ProcessFamilies {
  std::array<MetricFamily, kMemoryKinds> memory =
      MemoryFamilies("gpuproc_process", {"GPU memory of the process in the GPU's own memory.",
                                         "GPU memory of the process in system memory.",
                                         "GPU memory of the process in the GPU's local (fastest) "
                                         "memory.",
                                         "All GPU memory the process has committed."});
  MetricFamily engine = Family(
      "gpuproc_process_engine_utilization_ratio",
      "Busiest engine of each type used by the process over 100 ms, 0 to 1.", MetricType::Gauge);
  MetricFamily adapterCommitted =
      Family("gpuproc_adapter_memory_committed_bytes",
             "Memory committed on the GPU by all processes.", MetricType::Gauge);
  MetricFamily adapterFree =
      Family("gpuproc_adapter_memory_free_bytes", "Free memory of the GPU.", MetricType::Gauge);
  MetricFamily adapterInfo = Family("gpuproc_adapter_info",
                                    "The GPU's name and PCI address; always 1.", MetricType::Gauge);
};

// The PCI address the Linux back end encodes in an adapter name
// (luid_0x<domain>_0x<bus << 8 | device << 3 | function>_phys_0); empty for
// a GPU without one (high part 0x80000000) and any other name.
std::string PciAddress(const std::string& adapter) {
  unsigned high = 0, low = 0, physical = 0;
  int consumed = 0;
  if (std::sscanf(adapter.c_str(), "luid_0x%8x_0x%8x_phys_%u%n", &high, &low, &physical,
                  &consumed) != 3 ||
      static_cast<std::size_t>(consumed) != adapter.size() || high == 0x80000000u || low > 0xFFFF) {
    return {};
  }
  char text[32];
  std::snprintf(text, sizeof text, "%04x:%02x:%02x.%x", high, low >> 8, (low >> 3) & 0x1F,
                low & 0x7);
  return text;
}

// Folder and cgroup names are bytes, not text: each becomes a valid,
// bounded label value.
ProcessOwner SanitizedOwner(ProcessOwner owner) {
  for (std::string* text : {&owner.container, &owner.namespaceName, &owner.pod, &owner.podUid}) {
    *text = LabelText(*text);
  }
  return owner;
}

// One pod on one GPU: the sums of its processes' memory (nullopt: no
// process had a readable value) and the busiest of its processes for each
// engine type.
struct PodOnAdapter {
  std::array<std::optional<double>, kMemoryKinds> memory;
  std::map<std::string, double> engines;
};
// (adapter, namespace, pod, pod UID)
using PodKey = std::tuple<std::string, std::string, std::string, std::string>;

std::vector<ClientMetric::Label> PodLabels(const PodKey& key) {
  return {{"adapter", std::get<0>(key)},
          {"namespace", std::get<1>(key)},
          {"pod", std::get<2>(key)},
          {"pod_uid", std::get<3>(key)}};
}

void AddRecord(const nlohmann::json& record, const ProcessOwner& owner, ProcessFamilies& families,
               std::vector<std::string>& adaptersSeen, std::map<PodKey, PodOnAdapter>& pods) {
  const std::string adapter = LabelText(record.at("Adapter").get<std::string>());
  const std::vector<ClientMetric::Label> labels = {
      {"adapter", adapter},
      {"container", owner.container},
      {"name", LabelText(record.at("Name").get<std::string>())},
      {"namespace", owner.namespaceName},
      {"pid", std::to_string(record.at("ProcessID").get<std::uint32_t>())},
      {"pod", owner.pod},
      {"pod_uid", owner.podUid}};
  PodOnAdapter* pod = nullptr;
  if (!owner.podUid.empty()) {
    pod = &pods[PodKey{adapter, owner.namespaceName, owner.pod, owner.podUid}];
  }
  for (std::size_t i = 0; i < kMemoryKinds; ++i) {
    const nlohmann::json& value = record.at(kMemoryKeys[i]);
    if (!Readable(value)) continue;
    const double bytes = value.get<double>() * kBytesPerMiB;
    AddGauge(families.memory[i], labels, bytes);
    if (pod != nullptr) pod->memory[i] = pod->memory[i].value_or(0) + bytes;
  }
  for (const auto& [engine, value] : record.at("Engines").items()) {
    if (!Readable(value)) continue;
    const double ratio = value.get<double>() / 100.0;
    const std::string engineType = LabelText(engine);
    std::vector<ClientMetric::Label> engineLabels = labels;
    engineLabels.insert(engineLabels.begin() + 2, {"engine", engineType});
    AddGauge(families.engine, std::move(engineLabels), ratio);
    if (pod != nullptr) {
      auto [busiest, added] = pod->engines.try_emplace(engineType, ratio);
      if (!added) busiest->second = std::max(busiest->second, ratio);
    }
  }
  // Every record of one adapter carries the same adapter figures.
  for (const std::string& seen : adaptersSeen) {
    if (seen == adapter) return;
  }
  adaptersSeen.push_back(adapter);
  // The name once per GPU rather than as a label on every series.
  const auto name = record.find("AdapterName");
  AddGauge(families.adapterInfo,
           {{"adapter", adapter},
            {"name", LabelText(name != record.end() && name->is_string() ? name->get<std::string>()
                                                                         : std::string())},
            {"pci_address", PciAddress(adapter)}},
           1);
  if (Readable(record.at("GPUMemoryTotal"))) {
    AddGauge(families.adapterCommitted, {{"adapter", adapter}},
             record.at("GPUMemoryTotal").get<double>() * kBytesPerMiB);
  }
  if (Readable(record.at("GPUMemoryFree"))) {
    AddGauge(families.adapterFree, {{"adapter", adapter}},
             record.at("GPUMemoryFree").get<double>() * kBytesPerMiB);
  }
}

// The per-pod series: what a dashboard or alert would otherwise sum (or
// take the maximum of) over the process series by (namespace, pod).
std::vector<MetricFamily> PodFamilies(const std::map<PodKey, PodOnAdapter>& pods) {
  std::array<MetricFamily, kMemoryKinds> memory = MemoryFamilies(
      "gpuproc_pod", {"Sum over the pod's processes of their dedicated GPU memory.",
                      "Sum over the pod's processes of their shared GPU memory.",
                      "Sum over the pod's processes of their local GPU memory.",
                      "Sum over the pod's processes of their committed GPU memory."});
  MetricFamily engine =
      Family("gpuproc_pod_engine_utilization_ratio",
             "Busiest of the pod's processes on each engine type, 0 to 1.", MetricType::Gauge);
  for (const auto& [key, pod] : pods) {
    const std::vector<ClientMetric::Label> labels = PodLabels(key);
    for (std::size_t i = 0; i < kMemoryKinds; ++i) {
      if (pod.memory[i]) AddGauge(memory[i], labels, *pod.memory[i]);
    }
    for (const auto& [type, ratio] : pod.engines) {
      std::vector<ClientMetric::Label> engineLabels = labels;
      engineLabels.insert(engineLabels.begin() + 1, {"engine", type});
      AddGauge(engine, std::move(engineLabels), ratio);
    }
  }
  std::vector<MetricFamily> result(std::make_move_iterator(memory.begin()),
                                   std::make_move_iterator(memory.end()));
  result.push_back(std::move(engine));
  return result;
}

}  // namespace

std::vector<MetricFamily> BuildMetricFamilies(const std::string& allProcessesText,
                                              const OwnerLookup& owner, const ReadingTotals& totals,
                                              bool& ok) {
  std::vector<MetricFamily> result;
  ok = false;
  if (!allProcessesText.empty()) {
    try {
      const nlohmann::json records = nlohmann::json::parse(allProcessesText);
      if (!records.is_array())
        throw nlohmann::json::type_error::create(302, "not an array", &records);
      ProcessFamilies families;
      std::vector<std::string> adaptersSeen;
      std::map<PodKey, PodOnAdapter> pods;
      std::uint32_t lastProcessId = 0;
      ProcessOwner lastOwner;
      bool first = true;
      for (const nlohmann::json& record : records) {
        const auto processId = record.at("ProcessID").get<std::uint32_t>();
        // Records come ordered by process id: one cgroup read per process.
        if (first || processId != lastProcessId) lastOwner = SanitizedOwner(owner(processId));
        first = false;
        lastProcessId = processId;
        AddRecord(record, lastOwner, families, adaptersSeen, pods);
      }
      for (MetricFamily& family : families.memory) result.push_back(std::move(family));
      for (MetricFamily* family : {&families.engine, &families.adapterCommitted,
                                   &families.adapterFree, &families.adapterInfo}) {
        result.push_back(std::move(*family));
      }
      for (MetricFamily& family : PodFamilies(pods)) result.push_back(std::move(family));
      ok = true;
    } catch (const nlohmann::json::exception&) {
      result.clear();
    }
  }
  MetricFamily duration = Family("gpuproc_scrape_duration_seconds",
                                 "Time the last all-processes reading took.", MetricType::Gauge);
  AddGauge(duration, {}, totals.seconds);
  MetricFamily readings =
      Family("gpuproc_readings_total",
             "All-processes readings taken (concurrent scrapes share one).", MetricType::Counter);
  AddCounter(readings, static_cast<double>(totals.readings));
  MetricFamily errors =
      Family("gpuproc_scrape_errors_total",
             "Readings that failed: the GPU counters could not be opened.", MetricType::Counter);
  AddCounter(errors, static_cast<double>(totals.errors + (ok ? 0 : 1)));
  result.push_back(std::move(duration));
  result.push_back(std::move(readings));
  result.push_back(std::move(errors));
  return result;
}

GPUCollector::GPUCollector(AllProcessesReader reader, OwnerLookupFactory owners,
                           ScrapeArrival arrival)
    : reader_(std::move(reader)), owners_(std::move(owners)), arrival_(std::move(arrival)) {}

std::vector<MetricFamily> GPUCollector::Collect() const {
  const auto arrival = arrival_();
  std::lock_guard lock(mutex_);
  if (latest_ != nullptr && latestEnd_ > arrival) return *latest_;

  const auto start = std::chrono::steady_clock::now();
  const std::string text = reader_();
  const auto end = std::chrono::steady_clock::now();
  const ReadingTotals totals{std::chrono::duration<double>(end - start).count(), readings_ + 1,
                             errors_};
  bool ok = false;
  auto families =
      std::make_shared<const Families>(BuildMetricFamilies(text, owners_(), totals, ok));
  ++readings_;
  if (!ok) ++errors_;
  latestEnd_ = end;
  latest_ = families;
  return *families;
}

}  // namespace gpuproc
