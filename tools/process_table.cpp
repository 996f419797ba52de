#include "process_table.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
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

void AppendLeft(std::string& line, const std::string& text, std::size_t width) {
  line += text;
  line.append(width - std::min(width, CellCount(text)), ' ');
}

void AppendRight(std::string& line, const std::string& text, std::size_t width) {
  line.append(width - std::min(width, CellCount(text)), ' ');
  line += text;
}

}  // namespace

std::string ShortAdapterName(const std::string& adapter, bool withPciAddress) {
  std::uint32_t high = 0;
  std::uint32_t low = 0;
  unsigned physical = 0;
  int consumed = 0;
  if (std::sscanf(adapter.c_str(), "luid_0x%8" SCNx32 "_0x%8" SCNx32 "_phys_%u%n", &high, &low,
                  &physical, &consumed) != 3 ||
      static_cast<std::size_t>(consumed) != adapter.size()) {
    return adapter;
  }
  constexpr std::uint32_t kNonPciHigh = 0x80000000u;
  char text[64];
  if (high == 0 || high == kNonPciHigh) {
    std::snprintf(text, sizeof text, "%04" PRIX32, low);
  } else {
    std::snprintf(text, sizeof text, "%" PRIX32 ":%04" PRIX32, high, low);
  }
  std::string name = text;
  if (physical != 0) {
    name += '/';
    name += std::to_string(physical);
  }
  if (!withPciAddress) return name;
  if (high == kNonPciHigh) {
    std::snprintf(text, sizeof text, " card%" PRIu32, low);
  } else if (high == 0) {
    std::snprintf(text, sizeof text, " %02" PRIx32 ":%02" PRIx32 ".%" PRIx32, low >> 8,
                  (low >> 3) & 0x1F, low & 0x7);
  } else {
    std::snprintf(text, sizeof text, " %04" PRIx32 ":%02" PRIx32 ":%02" PRIx32 ".%" PRIx32, high,
                  low >> 8, (low >> 3) & 0x1F, low & 0x7);
  }
  return name + text;
}

std::string FormatProcessTable(const nlohmann::json& records, bool withPciAddress) {
  std::vector<Row> rows;
  if (records.is_array()) {
    for (const nlohmann::json& record : records) {
      if (!record.is_object()) continue;
      const auto id = record.find("ProcessID");
      std::string name = Text(record, "Name");
      const std::string adapter = Text(record, "Adapter");
      rows.push_back({id != record.end() && id->is_number_unsigned() ? id->get<std::uint64_t>() : 0,
                      name.empty() ? "unknown" : name,
                      SafeForTerminal(ShortAdapterName(adapter, withPciAddress)), adapter,
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
    std::string text;
    AppendRight(text, pid, kPidWidth);
    text += ' ';
    AppendLeft(text, FitToCells(name, nameWidth), nameWidth);
    text += ' ';
    AppendLeft(text, gpu, gpuWidth);
    text += ' ';
    AppendRight(text, dedicated, kMemoryWidth);
    text += ' ';
    AppendRight(text, shared, kSharedWidth);
    text += ' ';
    AppendRight(text, committed, kMemoryWidth);
    text += ' ';
    AppendRight(text, threeD, kPercentWidth);
    text += ' ';
    text += other;
    while (!text.empty() && text.back() == ' ') text.pop_back();
    // A GPU name or a figure wider than any real one must not push the line
    // past the terminal's width.
    return FitToCells(text, kTableWidth) + '\n';
  };

  std::string table = line("PID", "NAME", "GPU", "DEDICATED", "SHARED", "COMMITTED", "3D", "OTHER");
  for (const Row& row : rows) {
    table += line(std::to_string(row.processId), row.name, row.gpu, Mebibytes(row.dedicated),
                  Mebibytes(row.shared), Mebibytes(row.committed), Percent(row.threeD), row.other);
  }
  return table;
}

}  // namespace gpuproc::tool
