#include "process_table.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <initializer_list>
#include <tuple>
#include <vector>

#include "terminal_text.h"

namespace gpuproc::tool {
namespace {

constexpr int kPidWidth = 7;
constexpr int kMemoryWidth = 9;
constexpr int kSharedWidth = 7;
constexpr int kPercentWidth = 4;
constexpr int kOtherWidth = 10;
constexpr std::size_t kEngineNameWidth = 5;
constexpr std::size_t kPowerWidth = 8;  // "350/450W"
constexpr std::size_t kTemperatureWidth = 4;

struct Row {
  std::uint64_t processId;
  std::string name, gpu, adapter;
  double dedicated, shared, committed, threeD;
  std::string other;
};

// The record's members as written by the library; -1 (before the MiB
// conversion) marks a failed read and any negative value shows as "-".
double Number(const nlohmann::json& record, const char* key) {
  const auto found = record.find(key);
  return found != record.end() && found->is_number() ? found->get<double>() : -1.0;
}

std::string Text(const nlohmann::json& record, const char* key) {
  const auto found = record.find(key);
  return found != record.end() && found->is_string() ? found->get<std::string>() : std::string();
}

std::string Mebibytes(double value) {
  if (value < 0) return "-";
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", value);
  return text;
}

std::string Percent(double value) {
  if (value < 0) return "-";
  char text[16];
  std::snprintf(text, sizeof text, "%.0f%%", value);
  return text;
}

std::string EngineLabel(const std::string& type) {
  static const std::pair<const char*, const char*> kShort[] = {
      {"Compute", "Comp"}, {"VideoDecode", "Dec"},     {"VideoEncode", "Enc"},
      {"Copy", "Copy"},    {"VideoProcessing", "VPP"},
  };
  for (const auto& [name, label] : kShort) {
    if (type == name) return label;
  }
  return FitToCells(type, kEngineNameWidth, "");
}

// The busiest engine type other than 3D, as "<type> <percent>".
std::string BusiestOther(const nlohmann::json& record) {
  const auto engines = record.find("Engines");
  if (engines == record.end() || !engines->is_object()) return "-";
  std::string best;
  double bestPercent = -1;
  for (const auto& [type, percent] : engines->items()) {
    if (type == "3D" || !percent.is_number()) continue;
    const double value = percent.get<double>();
    if (best.empty() || value > bestPercent) {
      best = type;
      bestPercent = value;
    }
  }
  return best.empty() ? "-" : EngineLabel(best) + " " + Percent(bestPercent);
}

std::string Whole(const std::optional<double>& value, const char* unit) {
  if (!value) return "-";
  char text[32];
  std::snprintf(text, sizeof text, "%.0f%s", *value, unit);
  return text;
}

std::string PowerText(const GpuSummary& gpu) {
  if (!gpu.powerWatts && !gpu.powerLimitWatts) return "-";
  std::string text = Whole(gpu.powerWatts, "");
  if (gpu.powerLimitWatts) {
    text += '/';
    text += Whole(gpu.powerLimitWatts, "");
  }
  text += 'W';
  return text;
}

std::optional<double> Reading(const std::vector<NamedFigure>& readings, std::string_view name) {
  for (const NamedFigure& reading : readings) {
    if (reading.name == name) return reading.value;
  }
  return std::nullopt;
}

// One column of a line: its text padded to `width` cells, on the right of
// the text or, for figures, on its left.
struct Column {
  std::string_view text;
  std::size_t width;
  bool alignRight = false;
};

// The columns one space apart.
std::string JoinColumns(std::initializer_list<Column> columns) {
  std::string line;
  for (const Column& column : columns) {
    if (!line.empty()) line += ' ';
    const std::size_t padding = column.width - std::min(column.width, CellCount(column.text));
    if (column.alignRight) line.append(padding, ' ');
    line += column.text;
    if (!column.alignRight) line.append(padding, ' ');
  }
  return line;
}

}  // namespace

std::optional<double> GpuTemperature(const std::vector<NamedFigure>& temperatures) {
  for (const char* sensor : {"gpu", "edge", "junction", "package"}) {
    if (const std::optional<double> value = Reading(temperatures, sensor)) return value;
  }
  for (const NamedFigure& reading : temperatures) {
    if (reading.value) return reading.value;
  }
  return std::nullopt;
}

std::string AdapterPciAddress(const std::string& adapter) {
  std::uint32_t high = 0;
  std::uint32_t low = 0;
  unsigned physical = 0;
  int consumed = 0;
  constexpr std::uint32_t kNonPciHigh = 0x80000000u;
  if (std::sscanf(adapter.c_str(), "luid_0x%8" SCNx32 "_0x%8" SCNx32 "_phys_%u%n", &high, &low,
                  &physical, &consumed) != 3 ||
      static_cast<std::size_t>(consumed) != adapter.size() || high == kNonPciHigh || low > 0xFFFF) {
    return {};
  }
  char text[32];
  std::snprintf(text, sizeof text, "%04" PRIx32 ":%02" PRIx32 ":%02" PRIx32 ".%" PRIx32, high,
                low >> 8, (low >> 3) & 0x1F, low & 0x7);
  return text;
}

std::vector<GpuSummary> SummariseGpus(const nlohmann::json& records) {
  std::vector<GpuSummary> gpus;
  if (!records.is_array()) return gpus;
  for (const nlohmann::json& record : records) {
    if (!record.is_object()) continue;
    const std::string adapter = Text(record, "Adapter");
    const bool known = std::any_of(gpus.begin(), gpus.end(),
                                   [&](const GpuSummary& gpu) { return gpu.adapter == adapter; });
    // Every record of one GPU carries the same adapter figures.
    if (!known) {
      gpus.push_back({adapter, Text(record, "AdapterName"), Number(record, "GPUMemoryTotal"),
                      Number(record, "GPUMemoryFree"), std::nullopt, std::nullopt, std::nullopt,
                      std::string()});
    }
  }
  std::sort(gpus.begin(), gpus.end(),
            [](const GpuSummary& a, const GpuSummary& b) { return a.adapter < b.adapter; });
  return gpus;
}

std::string FormatGpuLines(const std::vector<GpuSummary>& gpus, bool withPciAddress) {
  constexpr std::size_t kNumberWidth = 3;
  std::vector<std::string> addresses;
  std::size_t addressWidth = 3;
  for (const GpuSummary& gpu : gpus) {
    std::string address = withPciAddress ? AdapterPciAddress(gpu.adapter) : std::string();
    // lspci's short form where the domain is 0, as on most machines.
    if (address.rfind("0000:", 0) == 0) address.erase(0, 5);
    addresses.push_back(address.empty() ? "-" : address);
    addressWidth = std::max(addressWidth, addresses.back().size());
  }
  const std::size_t nameWidth = kTableWidth - kNumberWidth - addressWidth - 2 * kMemoryWidth -
                                kPowerWidth - kTemperatureWidth - 6;
  const auto line = [&](const std::string& number, const std::string& name,
                        const std::string& address, const std::string& committed,
                        const std::string& free, const std::string& power,
                        const std::string& temperature) {
    return JoinColumns({{number, kNumberWidth, true},
                        {FitToCells(name, nameWidth), nameWidth},
                        {address, addressWidth},
                        {committed, kMemoryWidth, true},
                        {free, kMemoryWidth, true},
                        {power, kPowerWidth, true},
                        {temperature, kTemperatureWidth, true}}) +
           '\n';
  };
  std::string lines = line("GPU", "NAME", "PCI", "COMMITTED", "FREE", "POWER", "TEMP");
  for (std::size_t number = 0; number < gpus.size(); ++number) {
    const GpuSummary& gpu = gpus[number];
    // A device of another kind says so before its name.
    std::string name;
    if (!gpu.kind.empty() && gpu.kind != "GPU") {
      name += '[';
      name += gpu.kind;
      name += "] ";
    }
    name += gpu.name.empty() ? gpu.adapter : gpu.name;
    lines += line(std::to_string(number), name, addresses[number], Mebibytes(gpu.committed),
                  Mebibytes(gpu.free), FitToCells(PowerText(gpu), kPowerWidth),
                  FitToCells(Whole(gpu.temperatureCelsius, "C"), kTemperatureWidth));
  }
  return lines;
}

std::string FormatProcessTable(const nlohmann::json& records, bool withPciAddress,
                               const std::vector<SnapshotAdapter>& adapters) {
  std::vector<GpuSummary> gpus = SummariseGpus(records);
  for (GpuSummary& gpu : gpus) {
    for (const SnapshotAdapter& adapter : adapters) {
      if (adapter.adapter != gpu.adapter) continue;
      gpu.powerWatts = adapter.powerWatts;
      gpu.powerLimitWatts = adapter.powerLimitWatts;
      gpu.temperatureCelsius = GpuTemperature(adapter.temperaturesCelsius);
      gpu.kind = adapter.kind;
    }
  }
  // The GPU column holds the GPU's number in the lines above the table.
  const auto gpuNumber = [&](const std::string& adapter) {
    for (std::size_t number = 0; number < gpus.size(); ++number) {
      if (gpus[number].adapter == adapter) return std::to_string(number);
    }
    return std::string("-");
  };
  std::vector<Row> rows;
  if (records.is_array()) {
    for (const nlohmann::json& record : records) {
      if (!record.is_object()) continue;
      const auto id = record.find("ProcessID");
      std::string name = Text(record, "Name");
      const std::string adapter = Text(record, "Adapter");
      rows.push_back({id != record.end() && id->is_number_unsigned() ? id->get<std::uint64_t>() : 0,
                      name.empty() ? "unknown" : name, gpuNumber(adapter), adapter,
                      Number(record, "GPUProcessMemoryDedicatedUsage"),
                      Number(record, "GPUProcessMemorySharedUsage"),
                      Number(record, "GPUProcessMemoryTotalCommitted"),
                      Number(record, "GPUUtilizationPercent"), BusiestOther(record)});
    }
  }
  std::sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) {
    return std::tie(b.dedicated, a.processId, a.adapter) <
           std::tie(a.dedicated, b.processId, b.adapter);
  });

  std::size_t gpuWidth = 3;
  for (const Row& row : rows) gpuWidth = std::max(gpuWidth, CellCount(row.gpu));
  const std::size_t fixed =
      kPidWidth + gpuWidth + kMemoryWidth + kSharedWidth + kMemoryWidth + kPercentWidth + 7;
  // The name takes what is left of the line, but never less than 8.
  const std::size_t nameWidth =
      fixed + kOtherWidth + 8 < kTableWidth ? kTableWidth - fixed - kOtherWidth : 8;

  const auto line = [&](const std::string& pid, const std::string& name, const std::string& gpu,
                        const std::string& dedicated, const std::string& shared,
                        const std::string& committed, const std::string& threeD,
                        const std::string& other) {
    std::string text = JoinColumns({{pid, kPidWidth, true},
                                    {FitToCells(name, nameWidth), nameWidth},
                                    {gpu, gpuWidth},
                                    {dedicated, kMemoryWidth, true},
                                    {shared, kSharedWidth, true},
                                    {committed, kMemoryWidth, true},
                                    {threeD, kPercentWidth, true}});
    text += ' ';
    text += other;
    while (!text.empty() && text.back() == ' ') text.pop_back();
    // A GPU name or a figure wider than any real one must not push the line
    // past the terminal's width.
    return FitToCells(text, kTableWidth) + '\n';
  };

  // No GPU lines where no process uses a GPU.
  std::string table = gpus.empty() ? std::string() : FormatGpuLines(gpus, withPciAddress) + '\n';
  table += line("PID", "NAME", "GPU", "DEDICATED", "SHARED", "COMMITTED", "3D", "OTHER");
  for (const Row& row : rows) {
    table += line(std::to_string(row.processId), row.name, row.gpu, Mebibytes(row.dedicated),
                  Mebibytes(row.shared), Mebibytes(row.committed), Percent(row.threeD), row.other);
  }
  return table;
}

}  // namespace gpuproc::tool
