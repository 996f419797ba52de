#include "gpu_collector.h"

#include <array>
#include <chrono>
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

// A gauge or counter sample, as the family's type says.
void AddSample(MetricFamily& family, std::vector<ClientMetric::Label> labels, double value) {
  ClientMetric metric;
  metric.label = std::move(labels);
  if (family.type == MetricType::Counter) {
    metric.counter.value = value;
  } else {
    metric.gauge.value = value;
  }
  family.metric.push_back(std::move(metric));
}

// The snapshot writes a value it could not read as null; a negative number
// is no reading either. Such a series is left out, never shown as 0.
bool Readable(const nlohmann::json& value) { return value.is_number() && value.get<double>() >= 0; }

std::string TextMember(const nlohmann::json& object, const char* key) {
  const auto found = object.find(key);
  return found != object.end() && found->is_string() ? found->get<std::string>() : std::string();
}

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
  // A counter, so that rate() over any window is exact: a sampled ratio
  // would see only the instant of each scrape.
  MetricFamily engineBusy = Family("gpuproc_process_engine_busy_seconds_total",
                                   "Seconds the process kept the GPU's engines of each type busy, "
                                   "summed over those engines.",
                                   MetricType::Counter);
};

struct AdapterFamilies {
  MetricFamily committed =
      Family("gpuproc_adapter_memory_committed_bytes",
             "Memory committed on the GPU by all processes.", MetricType::Gauge);
  MetricFamily free =
      Family("gpuproc_adapter_memory_free_bytes", "Free memory of the GPU.", MetricType::Gauge);
  MetricFamily info = Family("gpuproc_adapter_info", "The GPU's name and PCI address; always 1.",
                             MetricType::Gauge);
};

// Folder and cgroup names are bytes, not text: each becomes a valid,
// bounded label value.
ProcessOwner SanitizedOwner(ProcessOwner owner) {
  for (std::string* text : {&owner.container, &owner.namespaceName, &owner.pod, &owner.podUid}) {
    *text = LabelText(*text);
  }
  return owner;
}

// One pod on one GPU: the sums of its processes' memory (nullopt: no
// process had a readable value). Engine time has no per-pod series: a sum
// of per-process counters falls when a process exits, so it is no counter;
// the recording rules sum the processes' rates instead.
using PodMemory = std::array<std::optional<double>, kMemoryKinds>;
// (adapter, namespace, pod, pod UID)
using PodKey = std::tuple<std::string, std::string, std::string, std::string>;

void AddProcess(const nlohmann::json& process, const ProcessOwner& owner, ProcessFamilies& families,
                std::map<PodKey, PodMemory>& pods) {
  const std::string adapter = LabelText(process.at("Adapter").get<std::string>());
  const std::vector<ClientMetric::Label> labels = {
      {"adapter", adapter},
      {"container", owner.container},
      {"name", LabelText(process.at("Name").get<std::string>())},
      {"namespace", owner.namespaceName},
      {"pid", std::to_string(process.at("ProcessID").get<std::uint32_t>())},
      {"pod", owner.pod},
      {"pod_uid", owner.podUid}};
  PodMemory* pod = nullptr;
  if (!owner.podUid.empty()) {
    pod = &pods[PodKey{adapter, owner.namespaceName, owner.pod, owner.podUid}];
  }
  for (std::size_t i = 0; i < kMemoryKinds; ++i) {
    const nlohmann::json& value = process.at(kMemoryKeys[i]);
    if (!Readable(value)) continue;
    const double bytes = value.get<double>() * kBytesPerMiB;
    AddSample(families.memory[i], labels, bytes);
    if (pod != nullptr) (*pod)[i] = (*pod)[i].value_or(0) + bytes;
  }
  for (const auto& [engine, seconds] : process.at("EngineBusySeconds").items()) {
    if (!Readable(seconds)) continue;
    std::vector<ClientMetric::Label> engineLabels = labels;
    engineLabels.insert(engineLabels.begin() + 2, {"engine", LabelText(engine)});
    AddSample(families.engineBusy, std::move(engineLabels), seconds.get<double>());
  }
}

void AddAdapter(const nlohmann::json& entry, AdapterFamilies& families) {
  const std::string adapter = LabelText(entry.at("Adapter").get<std::string>());
  // The name once per GPU rather than as a label on every series. Not
  // "name": a join onto the process series would overwrite theirs.
  AddSample(families.info,
            {{"adapter", adapter},
             {"adapter_name", LabelText(TextMember(entry, "AdapterName"))},
             {"pci_address", LabelText(TextMember(entry, "PciAddress"))}},
            1);
  const nlohmann::json& committed = entry.at("GPUMemoryTotal");
  if (Readable(committed)) {
    AddSample(families.committed, {{"adapter", adapter}}, committed.get<double>() * kBytesPerMiB);
  }
  const nlohmann::json& free = entry.at("GPUMemoryFree");
  if (Readable(free)) {
    AddSample(families.free, {{"adapter", adapter}}, free.get<double>() * kBytesPerMiB);
  }
}

// The per-pod memory series: what a dashboard or alert would otherwise sum
// over the process series by (namespace, pod).
std::array<MetricFamily, kMemoryKinds> PodFamilies(const std::map<PodKey, PodMemory>& pods) {
  std::array<MetricFamily, kMemoryKinds> memory = MemoryFamilies(
      "gpuproc_pod", {"Sum over the pod's processes of their dedicated GPU memory.",
                      "Sum over the pod's processes of their shared GPU memory.",
                      "Sum over the pod's processes of their local GPU memory.",
                      "Sum over the pod's processes of their committed GPU memory."});
  for (const auto& [key, sums] : pods) {
    const std::vector<ClientMetric::Label> labels = {{"adapter", std::get<0>(key)},
                                                     {"namespace", std::get<1>(key)},
                                                     {"pod", std::get<2>(key)},
                                                     {"pod_uid", std::get<3>(key)}};
    for (std::size_t i = 0; i < kMemoryKinds; ++i) {
      if (sums[i]) AddSample(memory[i], labels, *sums[i]);
    }
  }
  return memory;
}

}  // namespace

std::vector<MetricFamily> BuildMetricFamilies(const std::string& snapshotText,
                                              const OwnerLookup& owner, const ReadingTotals& totals,
                                              bool& ok) {
  std::vector<MetricFamily> result;
  ok = false;
  if (!snapshotText.empty()) {
    try {
      const nlohmann::json snapshot = nlohmann::json::parse(snapshotText);
      const nlohmann::json& processes = snapshot.at("Processes");
      const nlohmann::json& adapters = snapshot.at("Adapters");
      if (!processes.is_array() || !adapters.is_array())
        throw nlohmann::json::type_error::create(302, "not an array", &snapshot);
      ProcessFamilies families;
      std::map<PodKey, PodMemory> pods;
      std::uint32_t lastProcessId = 0;
      ProcessOwner lastOwner;
      bool first = true;
      for (const nlohmann::json& process : processes) {
        const auto processId = process.at("ProcessID").get<std::uint32_t>();
        // Entries come ordered by process id: one cgroup read per process.
        if (first || processId != lastProcessId) lastOwner = SanitizedOwner(owner(processId));
        first = false;
        lastProcessId = processId;
        AddProcess(process, lastOwner, families, pods);
      }
      AdapterFamilies adapterFamilies;
      for (const nlohmann::json& entry : adapters) AddAdapter(entry, adapterFamilies);
      for (MetricFamily& family : families.memory) result.push_back(std::move(family));
      result.push_back(std::move(families.engineBusy));
      for (MetricFamily* family :
           {&adapterFamilies.committed, &adapterFamilies.free, &adapterFamilies.info}) {
        result.push_back(std::move(*family));
      }
      for (MetricFamily& family : PodFamilies(pods)) result.push_back(std::move(family));
      ok = true;
    } catch (const nlohmann::json::exception&) {
      result.clear();
    }
  }
  MetricFamily duration =
      Family("gpuproc_scrape_duration_seconds", "Time the last snapshot took.", MetricType::Gauge);
  AddSample(duration, {}, totals.seconds);
  MetricFamily readings =
      Family("gpuproc_readings_total", "Snapshots taken (concurrent scrapes share one).",
             MetricType::Counter);
  AddSample(readings, {}, static_cast<double>(totals.readings));
  MetricFamily errors =
      Family("gpuproc_scrape_errors_total",
             "Snapshots that failed: the GPU counters could not be opened.", MetricType::Counter);
  AddSample(errors, {}, static_cast<double>(totals.errors + (ok ? 0 : 1)));
  result.push_back(std::move(duration));
  result.push_back(std::move(readings));
  result.push_back(std::move(errors));
  return result;
}

GPUCollector::GPUCollector(SnapshotReader reader, OwnerLookupFactory owners, ScrapeArrival arrival)
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
