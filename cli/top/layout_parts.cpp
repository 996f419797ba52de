#include "layout_parts.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "terminal_text.h"

namespace gpuproc::tool {

std::string Mebibytes(const std::optional<double>& value) {
  if (!value || *value < 0) return "-";
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", *value);
  return text;
}

std::string ShortSize(double mebibytes) {
  char text[32];
  if (mebibytes < 1024) {
    std::snprintf(text, sizeof text, "%.0fM", mebibytes);
  } else {
    std::snprintf(text, sizeof text, "%.1fG", mebibytes / 1024);
  }
  return text;
}

std::string Percent(const std::optional<double>& value) {
  if (!value) return "-";
  char text[32];
  std::snprintf(text, sizeof text, "%.0f%%", *value);
  return text;
}

std::string EngineLabel(const std::string& type, int cells) {
  static const std::pair<const char*, const char*> kShort[] = {
      {"Compute", "Comp"}, {"VideoDecode", "Dec"},     {"VideoEncode", "Enc"},
      {"Copy", "Copy"},    {"VideoProcessing", "VPP"}, {"3D", "3D"},
  };
  for (const auto& [name, label] : kShort) {
    if (type == name) return label;
  }
  return FitToCells(type, static_cast<std::size_t>(cells), "");
}

namespace {

std::string Whole(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.0f", value);
  return text;
}

}  // namespace

std::string WattsText(const std::optional<double>& watts) {
  if (!watts) return "- W";
  char text[32];
  std::snprintf(text, sizeof text, "%.1f W", *watts);
  return text;
}

// Built by appending: g++ 12 at -O3 takes a chain of + on temporaries for
// an overlapping copy (-Wrestrict).
std::string PowerText(const std::optional<double>& watts, const std::optional<double>& limit) {
  std::string text = watts ? Whole(*watts) : "-";
  if (limit) {
    text += '/';
    text += Whole(*limit);
  }
  text += " W";
  return text;
}

std::string HealthText(const GpuView& gpu, bool utf8) {
  std::string text = PowerText(gpu.powerWatts, gpu.powerLimitWatts);
  text += "  ";
  text += gpu.temperatureCelsius ? Whole(*gpu.temperatureCelsius) : "-";
  text += utf8 ? "\xC2\xB0"
                 "C"
               : "C";
  text += "  GFX ";
  text += gpu.graphicsClockHertz ? Whole(*gpu.graphicsClockHertz / 1e6) : "-";
  text += " MHz";
  return text;
}

std::string DeviceTitle(const GpuView& gpu, std::size_t number) {
  std::string title = gpu.kind.empty() || gpu.kind == "GPU" ? std::string("GPU") : gpu.kind;
  title += ' ';
  title += std::to_string(number);
  return title;
}

std::string ShortPciAddress(const std::string& address) {
  return address.rfind("0000:", 0) == 0 ? address.substr(5) : address;
}

void DrawBar(CellGrid& grid, int x, int y, int width, const std::string& label,
             std::optional<double> fraction, const std::string& value, Style fill) {
  constexpr int kLabelCells = 4;
  const int inner = width - kLabelCells - 2;
  if (inner < 1) return;
  grid.Put(x, y, label, Style::kTitle, kLabelCells);
  grid.Put(x + kLabelCells, y, "[", Style::kNormal);
  const int filled =
      fraction ? static_cast<int>(std::lround(std::clamp(*fraction, 0.0, 1.0) * inner)) : 0;
  grid.Put(x + kLabelCells + 1, y, std::string(static_cast<std::size_t>(filled), '|'), fill);
  const int valueCells = static_cast<int>(std::min<std::size_t>(value.size(), inner));
  grid.Put(x + kLabelCells + 1 + inner - valueCells, y, value, Style::kDim, valueCells);
  grid.Put(x + kLabelCells + 1 + inner, y, "]", Style::kNormal);
}

std::string HistoryLine(const History& history, double now, double interval, int width, bool utf8) {
  static const char* const kBlocks[] = {"▁", "▂", "▃", "▄", "▅", "▆", "▇", "█"};
  static const char* const kAscii[] = {"_", ".", "-", ":", "=", "+", "*", "#"};
  if (width <= 0) return {};
  // One slice per refresh where the width allows, so a -d 1 minute fills
  // 60 cells with one sample each.
  const double perRefresh = interval > 0 ? kHistorySeconds / interval : kHistorySeconds;
  const int slices = static_cast<int>(std::clamp(std::floor(perRefresh + 0.5), 1.0, double(width)));
  const double slice = kHistorySeconds / slices;
  std::vector<double> highest(static_cast<std::size_t>(slices), -1);
  for (const HistorySample& sample : history) {
    // Counted back from now, so the latest sample is the last cell.
    const long back = std::lround((now - sample.time) / slice);
    if (back < 0 || back >= slices) continue;
    double& cell = highest[static_cast<std::size_t>(slices - 1 - back)];
    cell = std::max(cell, sample.percent);
  }
  std::string line(static_cast<std::size_t>(width - slices), ' ');
  for (const double value : highest) {
    if (value < 0) {
      line += ' ';
      continue;
    }
    const auto level = static_cast<std::size_t>(std::clamp(value / 100 * 8, 0.0, 7.0));
    line += utf8 ? kBlocks[level] : kAscii[level];
  }
  return line;
}

void DrawKeys(CellGrid& grid, int y, const std::vector<std::pair<std::string, std::string>>& keys) {
  int x = 0;
  for (const auto& [key, label] : keys) {
    x += grid.Put(x, y, key, Style::kKey);
    x += grid.Put(x, y, label, Style::kKeyLabel);
    x += grid.Put(x, y, " ", Style::kNormal);
  }
}

}  // namespace gpuproc::tool
