#include "gpu_collector.h"

#include <malloc.h>

#include <array>
#include <map>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "exposition_text.h"
#include "label_text.h"
#include "read_snapshot.h"

namespace gpuproc {

namespace {

constexpr double kBytesPerMiB = 1048576.0;

constexpr std::array<const char*, kMemoryKinds> kMemoryNames = {"dedicated", "shared", "local",
                                                                "committed"};
constexpr std::array<const char*, kMemoryKinds> kProcessMemoryHelp = {
    "GPU memory of the process in the GPU's own memory.",
    "GPU memory of the process in system memory.",
    "GPU memory of the process in the GPU's local (fastest) memory.",
    "All GPU memory the process has committed."};
constexpr std::array<const char*, kMemoryKinds> kPodMemoryHelp = {
    "Sum over the pod's processes of their dedicated GPU memory.",
    "Sum over the pod's processes of their shared GPU memory.",
    "Sum over the pod's processes of their local GPU memory.",
    "Sum over the pod's processes of their committed GPU memory."};
constexpr std::string_view kEngineBusyName = "gpuproc_process_engine_busy_seconds_total";
constexpr std::string_view kProcessEnergyName = "gpuproc_process_energy_joules_total";

// What a sample line adds beyond its labels, at most: the family's name,
// braces, the value ("%.16g" takes up to 23 characters), space and newline.
constexpr std::size_t kSampleOverhead = 64 + 2 + 24 + 2;

std::string MemoryName(const char* prefix, std::size_t kind) {
  return std::string(prefix) + "_memory_" + kMemoryNames[kind] + "_bytes";
}

void AppendLabel(std::string& out, std::string_view name, std::string_view value) {
  if (out.empty() || out.back() != '{') out.push_back(',');
  out.append(name).append("=\"");
  AppendLabelValue(out, value);
  out.push_back('"');
}

void AppendValue(std::string& out, double value) {
  out.push_back(' ');
  AppendSampleValue(out, value);
  out.push_back('\n');
}

// `labels` are written already: `a="x",b="y"`.
void AppendSample(std::string& out, std::string_view name, std::string_view labels, double value) {
  out.append(name);
  if (!labels.empty()) out.append("{").append(labels).append("}");
  AppendValue(out, value);
}

// Folder and cgroup names are bytes, not text: each becomes a valid,
// bounded label value.
ProcessOwner SanitizedOwner(ProcessOwner owner) {
  for (std::string* text : {&owner.container, &owner.namespaceName, &owner.pod, &owner.podUid}) {
    *text = LabelText(*text);
  }
  return owner;
}

// One process entry, its labels escaped once for all of its series.
struct ProcessSeries {
  std::string labels;        // adapter, container, name, namespace, pid, pod, pod_uid
  std::size_t engineAt = 0;  // the engine label goes here, after container
  std::array<Figure, kMemoryKinds> bytes;
  std::vector<std::pair<std::string, double>> engines;  // type escaped
  Figure energyJoules;                                  // an estimate
};

// Named readings of a GPU (sensors, clocks): the name escaped, the value.
using NamedSamples = std::vector<std::pair<std::string, double>>;

struct AdapterSeries {
  std::string adapterLabel;  // adapter
  std::string infoLabels;    // adapter, adapter_name, kind, pci_address
  Figure committedBytes;
  Figure freeBytes;
  Figure powerWatts;
  Figure powerLimitWatts;
  Figure energyJoules;
  NamedSamples temperatures;
  NamedSamples slowdownTemperatures;
  NamedSamples clocks;
  Figure fanRpm;
  Figure busyRatio;
};

// One pod on one GPU: the sums of its processes' memory (nullopt: no
// process had a readable value). Engine time has no per-pod series: a sum
// of per-process counters falls when a process exits, so it is no counter;
// the recording rules sum the processes' rates instead.
using PodMemory = std::array<Figure, kMemoryKinds>;
// (adapter, namespace, pod, pod UID)
using PodKey = std::tuple<std::string, std::string, std::string, std::string>;

struct SnapshotSeries {
  std::vector<ProcessSeries> processes;
  std::vector<AdapterSeries> adapters;
  std::uint64_t unreadableProcesses = 0;
  std::map<PodKey, PodMemory> pods;
  std::size_t labelBytes = 0;  // over every sample line to come
};

ProcessSeries Series(const SnapshotProcess& process, const ProcessOwner& owner,
                     SnapshotSeries& series) {
  ProcessSeries result;
  std::string adapter = LabelText(process.adapter);
  result.labels.push_back('{');
  AppendLabel(result.labels, "adapter", adapter);
  AppendLabel(result.labels, "container", owner.container);
  result.engineAt = result.labels.size() - 1;
  AppendLabel(result.labels, "name", LabelText(process.name));
  AppendLabel(result.labels, "namespace", owner.namespaceName);
  AppendLabel(result.labels, "pid", std::to_string(process.processId));
  AppendLabel(result.labels, "pod", owner.pod);
  AppendLabel(result.labels, "pod_uid", owner.podUid);
  result.labels.erase(0, 1);
  PodMemory* pod = nullptr;
  if (!owner.podUid.empty()) {
    pod = &series.pods[PodKey{std::move(adapter), owner.namespaceName, owner.pod, owner.podUid}];
  }
  for (std::size_t i = 0; i < kMemoryKinds; ++i) {
    if (!process.memoryMiB[i]) continue;
    const double bytes = *process.memoryMiB[i] * kBytesPerMiB;
    result.bytes[i] = bytes;
    series.labelBytes += result.labels.size();
    if (pod != nullptr) (*pod)[i] = (*pod)[i].value_or(0) + bytes;
  }
  if (process.energyJoulesEstimate) {
    result.energyJoules = process.energyJoulesEstimate;
    series.labelBytes += result.labels.size() + sizeof(",estimate=\"true\"");
  }
  // A counter has no unknown value: a type, or a process, whose busy time
  // could not be read has no sample this time, and its memory still does.
  if (!process.engineBusySeconds) return result;
  for (const auto& [engine, seconds] : *process.engineBusySeconds) {
    if (!seconds) continue;
    std::string type;
    AppendLabelValue(type, LabelText(engine));
    series.labelBytes += result.labels.size() + type.size() + sizeof(",engine=\"\"");
    result.engines.emplace_back(std::move(type), *seconds);
  }
  return result;
}

// Sensor and clock names come from the driver (hwmon labels): each becomes
// a valid, bounded, escaped label value. Unknown readings have no sample.
NamedSamples Samples(const std::vector<NamedFigure>& readings, double scale = 1) {
  NamedSamples samples;
  for (const NamedFigure& reading : readings) {
    if (!reading.value) continue;
    std::string name;
    AppendLabelValue(name, LabelText(reading.name));
    samples.emplace_back(std::move(name), *reading.value * scale);
  }
  return samples;
}

AdapterSeries Series(const SnapshotAdapter& entry) {
  AdapterSeries result;
  result.adapterLabel = "{";
  AppendLabel(result.adapterLabel, "adapter", LabelText(entry.adapter));
  result.adapterLabel.erase(0, 1);
  // The name once per GPU rather than as a label on every series. Not
  // "name": a join onto the process series would overwrite theirs.
  result.infoLabels = "{" + result.adapterLabel;
  AppendLabel(result.infoLabels, "adapter_name", LabelText(entry.adapterName));
  AppendLabel(result.infoLabels, "kind", LabelText(entry.kind));
  AppendLabel(result.infoLabels, "pci_address", LabelText(entry.pciAddress));
  result.infoLabels.erase(0, 1);
  if (entry.committedMiB) result.committedBytes = *entry.committedMiB * kBytesPerMiB;
  if (entry.freeMiB) result.freeBytes = *entry.freeMiB * kBytesPerMiB;
  result.powerWatts = entry.powerWatts;
  result.powerLimitWatts = entry.powerLimitWatts;
  result.energyJoules = entry.energyJoules;
  result.temperatures = Samples(entry.temperaturesCelsius);
  result.slowdownTemperatures = Samples(entry.slowdownTemperaturesCelsius);
  result.clocks = Samples(entry.clocksHertz);
  result.fanRpm = entry.fanRpm;
  if (entry.busyPercent) result.busyRatio = *entry.busyPercent / 100;
  return result;
}

bool ReadSeries(const std::string& snapshotText, const OwnerLookup& owner, SnapshotSeries& series) {
  std::uint32_t lastProcessId = 0;
  ProcessOwner lastOwner;
  bool first = true;
  const std::optional<SnapshotHeader> header = ReadSnapshot(
      snapshotText,
      [&](SnapshotProcess& process) {
        // Entries come ordered by process id: one cgroup read per process.
        if (first || process.processId != lastProcessId) {
          lastOwner = SanitizedOwner(owner(process.processId));
        }
        first = false;
        lastProcessId = process.processId;
        series.processes.push_back(Series(process, lastOwner, series));
      },
      [&](SnapshotAdapter& adapter) { series.adapters.push_back(Series(adapter)); });
  if (!header) return false;
  series.unreadableProcesses = header->unreadableProcesses.value_or(0);
  return true;
}

void AppendAdapterFigures(std::string& out, const SnapshotSeries& series, std::string_view name,
                          std::string_view help, SampleType type, Figure AdapterSeries::*figure) {
  AppendFamilyHeader(out, name, help, type);
  for (const AdapterSeries& adapter : series.adapters) {
    if (adapter.*figure) AppendSample(out, name, adapter.adapterLabel, *(adapter.*figure));
  }
}

void AppendAdapterReadings(std::string& out, const SnapshotSeries& series, std::string_view name,
                           std::string_view label, std::string_view help,
                           NamedSamples AdapterSeries::*readings) {
  AppendFamilyHeader(out, name, help, SampleType::kGauge);
  for (const AdapterSeries& adapter : series.adapters) {
    for (const auto& [reading, value] : adapter.*readings) {
      out.append(name).append("{").append(adapter.adapterLabel).append(",");
      out.append(label).append("=\"").append(reading).append("\"}");
      AppendValue(out, value);
    }
  }
}

void AppendSnapshotFamilies(const SnapshotSeries& series, std::string& out) {
  for (std::size_t i = 0; i < kMemoryKinds; ++i) {
    const std::string name = MemoryName("gpuproc_process", i);
    AppendFamilyHeader(out, name, kProcessMemoryHelp[i], SampleType::kGauge);
    for (const ProcessSeries& process : series.processes) {
      if (process.bytes[i]) AppendSample(out, name, process.labels, *process.bytes[i]);
    }
  }
  // A counter, so that rate() over any window is exact: a sampled ratio
  // would see only the instant of each scrape.
  AppendFamilyHeader(out, kEngineBusyName,
                     "Seconds the process kept the GPU's engines of each type busy, summed over "
                     "those engines.",
                     SampleType::kCounter);
  for (const ProcessSeries& process : series.processes) {
    const std::string_view labels = process.labels;
    for (const auto& [type, seconds] : process.engines) {
      out.append(kEngineBusyName).append("{").append(labels.substr(0, process.engineAt));
      out.append(",engine=\"").append(type).append("\"").append(labels.substr(process.engineAt));
      out.push_back('}');
      AppendValue(out, seconds);
    }
  }
  // An estimate, labelled as one: the GPU's energy shared out by busy time.
  AppendFamilyHeader(out, kProcessEnergyName,
                     "Estimated energy the process used on the GPU since it was first seen: its "
                     "share of the GPU's energy by its busy time.",
                     SampleType::kCounter);
  for (const ProcessSeries& process : series.processes) {
    if (!process.energyJoules) continue;
    const std::string_view labels = process.labels;
    out.append(kProcessEnergyName).append("{").append(labels.substr(0, process.engineAt));
    out.append(",estimate=\"true\"").append(labels.substr(process.engineAt));
    out.push_back('}');
    AppendValue(out, *process.energyJoules);
  }
  AppendFamilyHeader(out, "gpuproc_adapter_memory_committed_bytes",
                     "Memory committed on the GPU by all processes.", SampleType::kGauge);
  for (const AdapterSeries& adapter : series.adapters) {
    if (adapter.committedBytes) {
      AppendSample(out, "gpuproc_adapter_memory_committed_bytes", adapter.adapterLabel,
                   *adapter.committedBytes);
    }
  }
  AppendFamilyHeader(out, "gpuproc_adapter_memory_free_bytes", "Free memory of the GPU.",
                     SampleType::kGauge);
  for (const AdapterSeries& adapter : series.adapters) {
    if (adapter.freeBytes) {
      AppendSample(out, "gpuproc_adapter_memory_free_bytes", adapter.adapterLabel,
                   *adapter.freeBytes);
    }
  }
  AppendFamilyHeader(out, "gpuproc_adapter_info",
                     "The GPU's name, kind (GPU, NPU) and PCI address; always 1.",
                     SampleType::kGauge);
  for (const AdapterSeries& adapter : series.adapters) {
    AppendSample(out, "gpuproc_adapter_info", adapter.infoLabels, 1);
  }
  AppendAdapterFigures(out, series, "gpuproc_gpu_power_watts",
                       "The GPU's power now (the whole package's on an integrated GPU).",
                       SampleType::kGauge, &AdapterSeries::powerWatts);
  AppendAdapterFigures(out, series, "gpuproc_gpu_power_limit_watts", "The GPU's power limit.",
                       SampleType::kGauge, &AdapterSeries::powerLimitWatts);
  AppendAdapterFigures(out, series, "gpuproc_gpu_energy_joules_total",
                       "Energy the GPU used (its own counter, or its power readings summed).",
                       SampleType::kCounter, &AdapterSeries::energyJoules);
  AppendAdapterReadings(out, series, "gpuproc_gpu_temperature_celsius", "sensor",
                        "The GPU's temperature at each sensor.", &AdapterSeries::temperatures);
  AppendAdapterReadings(out, series, "gpuproc_gpu_slowdown_temperature_celsius", "sensor",
                        "The temperature at which the GPU starts to throttle, by sensor.",
                        &AdapterSeries::slowdownTemperatures);
  AppendAdapterReadings(out, series, "gpuproc_gpu_clock_hertz", "clock", "The GPU's clocks now.",
                        &AdapterSeries::clocks);
  AppendAdapterFigures(out, series, "gpuproc_gpu_fan_rpm", "The GPU's fan speed.",
                       SampleType::kGauge, &AdapterSeries::fanRpm);
  AppendAdapterFigures(out, series, "gpuproc_gpu_busy_ratio",
                       "Share of the last interval the GPU was busy (0 to 1).", SampleType::kGauge,
                       &AdapterSeries::busyRatio);
  // How much the reading saw: a reader refused other processes' fds (a
  // missing capability, a sandbox) would otherwise look like an idle node.
  AppendFamilyHeader(out, "gpuproc_exporter_unreadable_processes",
                     "Processes whose fds the reading was refused.", SampleType::kGauge);
  AppendSample(out, "gpuproc_exporter_unreadable_processes", "",
               static_cast<double>(series.unreadableProcesses));
  AppendFamilyHeader(out, "gpuproc_exporter_gpu_devices",
                     "GPU devices in the reading (those its processes use).", SampleType::kGauge);
  AppendSample(out, "gpuproc_exporter_gpu_devices", "",
               static_cast<double>(series.adapters.size()));
  // The per-pod memory series: what a dashboard or alert would otherwise
  // sum over the process series by (namespace, pod).
  for (std::size_t i = 0; i < kMemoryKinds; ++i) {
    const std::string name = MemoryName("gpuproc_pod", i);
    AppendFamilyHeader(out, name, kPodMemoryHelp[i], SampleType::kGauge);
    for (const auto& [key, sums] : series.pods) {
      if (!sums[i]) continue;
      out.append(name).append("{");
      AppendLabel(out, "adapter", std::get<0>(key));
      AppendLabel(out, "namespace", std::get<1>(key));
      AppendLabel(out, "pod", std::get<2>(key));
      AppendLabel(out, "pod_uid", std::get<3>(key));
      out.push_back('}');
      AppendValue(out, *sums[i]);
    }
  }
}

// Enough for the whole text, so that it is written in place: growing a
// buffer of megabytes copies it and holds both copies for a moment.
std::size_t TextBound(const SnapshotSeries& series) {
  std::size_t bound = 4096 + series.labelBytes;
  for (const ProcessSeries& process : series.processes) {
    bound += (kMemoryKinds + 1 + process.engines.size()) * kSampleOverhead;
  }
  for (const AdapterSeries& adapter : series.adapters) {
    bound += 8 * adapter.adapterLabel.size() + adapter.infoLabels.size() + 8 * kSampleOverhead;
    for (const NamedSamples* readings :
         {&adapter.temperatures, &adapter.slowdownTemperatures, &adapter.clocks}) {
      for (const auto& [reading, value] : *readings) {
        bound += adapter.adapterLabel.size() + reading.size() + 16 + kSampleOverhead;
      }
    }
  }
  for (const auto& [key, sums] : series.pods) {
    const std::size_t values = std::get<0>(key).size() + std::get<1>(key).size() +
                               std::get<2>(key).size() + std::get<3>(key).size();
    // Escaping at most doubles a value.
    bound += kMemoryKinds * (2 * values + 48 + kSampleOverhead);
  }
  return bound;
}

}  // namespace

std::string BuildMetricsText(std::string snapshotText, const OwnerLookup& owner,
                             const ReadingTotals& totals, bool& ok) {
  std::string out;
  {
    SnapshotSeries series;
    ok = !snapshotText.empty() && ReadSeries(snapshotText, owner, series);
    // Its series hold all that is left to write.
    snapshotText = std::string();
    if (ok) {
      out.reserve(TextBound(series));
      AppendSnapshotFamilies(series, out);
    }
  }
  AppendFamilyHeader(out, "gpuproc_scrape_duration_seconds", "Time the last snapshot took.",
                     SampleType::kGauge);
  AppendSample(out, "gpuproc_scrape_duration_seconds", "", totals.seconds);
  AppendFamilyHeader(out, "gpuproc_readings_total",
                     "Snapshots taken (concurrent scrapes share one).", SampleType::kCounter);
  AppendSample(out, "gpuproc_readings_total", "", static_cast<double>(totals.readings));
  AppendFamilyHeader(out, "gpuproc_scrape_errors_total",
                     "Snapshots that gave no series: the library returned no snapshot (its GPU "
                     "counters could not be opened) or one of a shape this exporter cannot read.",
                     SampleType::kCounter);
  AppendSample(out, "gpuproc_scrape_errors_total", "",
               static_cast<double>(totals.errors + (ok ? 0 : 1)));
  return out;
}

GPUCollector::GPUCollector(SnapshotReader reader, OwnerLookupFactory owners)
    : reader_(std::move(reader)), owners_(std::move(owners)) {}

std::shared_ptr<const std::string> GPUCollector::Collect(
    std::chrono::steady_clock::time_point arrival) {
  std::lock_guard lock(mutex_);
  if (latest_ != nullptr && latestEnd_ > arrival) return latest_;
  // The previous text lives on only in the scrapes still sending it, not
  // beside the next one.
  latest_.reset();
  const auto start = std::chrono::steady_clock::now();
  std::string snapshot = reader_();
  const ReadingTotals totals{
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
      readings_ + 1, errors_};
  bool ok = false;
  latest_ = std::make_shared<const std::string>(
      BuildMetricsText(std::move(snapshot), owners_(), totals, ok));
  ++readings_;
  if (!ok) ++errors_;
  latestEnd_ = std::chrono::steady_clock::now();
  // A reading of thousands of processes frees megabytes in small pieces:
  // give them back rather than keep the peak for good.
  ::malloc_trim(0);
  return latest_;
}

}  // namespace gpuproc
