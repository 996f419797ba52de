#include "gpu_collector.h"

#include <chrono>
#include <nlohmann/json.hpp>
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

struct ProcessFamilies {
  MetricFamily dedicated =
      Family("gpuproc_process_memory_dedicated_bytes",
             "GPU memory of the process in the GPU's own memory.", MetricType::Gauge);
  MetricFamily shared = Family("gpuproc_process_memory_shared_bytes",
                               "GPU memory of the process in system memory.", MetricType::Gauge);
  MetricFamily local =
      Family("gpuproc_process_memory_local_bytes",
             "GPU memory of the process in the GPU's local (fastest) memory.", MetricType::Gauge);
  MetricFamily committed = Family("gpuproc_process_memory_committed_bytes",
                                  "All GPU memory the process has committed.", MetricType::Gauge);
  MetricFamily engine = Family(
      "gpuproc_process_engine_utilization_ratio",
      "Busiest engine of each type used by the process over 100 ms, 0 to 1.", MetricType::Gauge);
  MetricFamily adapterCommitted =
      Family("gpuproc_adapter_memory_committed_bytes",
             "Memory committed on the GPU by all processes.", MetricType::Gauge);
  MetricFamily adapterFree =
      Family("gpuproc_adapter_memory_free_bytes", "Free memory of the GPU.", MetricType::Gauge);
};

void AddRecord(const nlohmann::json& record, const std::string& container,
               ProcessFamilies& families, std::vector<std::string>& adaptersSeen) {
  const std::string adapter = LabelText(record.at("Adapter").get<std::string>());
  const std::vector<ClientMetric::Label> labels = {
      {"adapter", adapter},
      {"container", container},
      {"name", LabelText(record.at("Name").get<std::string>())},
      {"pid", std::to_string(record.at("ProcessID").get<std::uint32_t>())}};
  const std::pair<const char*, MetricFamily*> memory[] = {
      {"GPUProcessMemoryDedicatedUsage", &families.dedicated},
      {"GPUProcessMemorySharedUsage", &families.shared},
      {"GPUProcessMemoryLocalUsage", &families.local},
      {"GPUProcessMemoryTotalCommitted", &families.committed}};
  for (const auto& [key, family] : memory) {
    const nlohmann::json& value = record.at(key);
    if (Readable(value)) AddGauge(*family, labels, value.get<double>() * kBytesPerMiB);
  }
  for (const auto& [engine, value] : record.at("Engines").items()) {
    if (!Readable(value)) continue;
    std::vector<ClientMetric::Label> engineLabels = labels;
    engineLabels.insert(engineLabels.begin() + 2, {"engine", LabelText(engine)});
    AddGauge(families.engine, std::move(engineLabels), value.get<double>() / 100.0);
  }
  // Every record of one adapter carries the same adapter figures.
  for (const std::string& seen : adaptersSeen) {
    if (seen == adapter) return;
  }
  adaptersSeen.push_back(adapter);
  if (Readable(record.at("GPUMemoryTotal"))) {
    AddGauge(families.adapterCommitted, {{"adapter", adapter}},
             record.at("GPUMemoryTotal").get<double>() * kBytesPerMiB);
  }
  if (Readable(record.at("GPUMemoryFree"))) {
    AddGauge(families.adapterFree, {{"adapter", adapter}},
             record.at("GPUMemoryFree").get<double>() * kBytesPerMiB);
  }
}

}  // namespace

std::vector<MetricFamily> BuildMetricFamilies(const std::string& allProcessesText,
                                              const ContainerLookup& container,
                                              const ReadingTotals& totals, bool& ok) {
  std::vector<MetricFamily> result;
  ok = false;
  if (!allProcessesText.empty()) {
    try {
      const nlohmann::json records = nlohmann::json::parse(allProcessesText);
      if (!records.is_array())
        throw nlohmann::json::type_error::create(302, "not an array", &records);
      ProcessFamilies families;
      std::vector<std::string> adaptersSeen;
      std::uint32_t lastProcessId = 0;
      std::string lastContainer;
      bool first = true;
      for (const nlohmann::json& record : records) {
        const auto processId = record.at("ProcessID").get<std::uint32_t>();
        // Records come ordered by process id: one cgroup read per process.
        if (first || processId != lastProcessId) lastContainer = LabelText(container(processId));
        first = false;
        lastProcessId = processId;
        AddRecord(record, lastContainer, families, adaptersSeen);
      }
      for (MetricFamily* family :
           {&families.dedicated, &families.shared, &families.local, &families.committed,
            &families.engine, &families.adapterCommitted, &families.adapterFree}) {
        result.push_back(std::move(*family));
      }
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

GPUCollector::GPUCollector(AllProcessesReader reader, ContainerLookup container,
                           ScrapeArrival arrival)
    : reader_(std::move(reader)), container_(std::move(container)), arrival_(std::move(arrival)) {}

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
      std::make_shared<const Families>(BuildMetricFamilies(text, container_, totals, ok));
  ++readings_;
  if (!ok) ++errors_;
  latestEnd_ = end;
  latest_ = families;
  return *families;
}

}  // namespace gpuproc
