// Pieces the screens share: figures, bars, history lines, the key line.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "cell_grid.h"
#include "top_model.h"

namespace gpuproc::tool {

// "12.5" (MiB, one decimal) or "-".
std::string Mebibytes(const std::optional<double>& value);
// "512M" or "8.2G", for the bars.
std::string ShortSize(double mebibytes);
// "12%" or "-".
std::string Percent(const std::optional<double>& value);
// Comp, Copy, Dec, Enc, VPP, 3D, else the type cut to `cells`.
std::string EngineLabel(const std::string& type, int cells);
// "12.3 W" or "- W".
std::string WattsText(const std::optional<double>& watts);
// "87/203 W", "87 W", "-/203 W" or "- W".
std::string PowerText(const std::optional<double>& watts, const std::optional<double>& limit);
// A GPU's power against its limit, temperature and graphics clock, each "-"
// where unknown: "87/203 W  61°C  GFX 2100 MHz" ("61C" without UTF-8).
std::string HealthText(const GpuView& gpu, bool utf8);
// "GPU 1", or the device's kind in its place where it is another ("NPU 1").
std::string DeviceTitle(const GpuView& gpu, std::size_t number);
// The PCI address without the 0000: domain most machines have.
std::string ShortPciAddress(const std::string& address);

// "LABEL[||||||      value]" in `width` cells at (x, y): `fraction` of the
// bar filled (clamped to 0..1), `value` on its right end.
void DrawBar(CellGrid& grid, int x, int y, int width, const std::string& label,
             std::optional<double> fraction, const std::string& value, Style fill);

// The last kHistorySeconds of `history` ending at `now` in `width` cells, one
// cell per equal slice of time (the highest sample in it), a blank where no
// sample fell; block elements, or ASCII levels without UTF-8.
std::string HistoryLine(const History& history, double now, double interval, int width, bool utf8);

// htop's key line: each key in one style and what it does in another.
void DrawKeys(CellGrid& grid, int y, const std::vector<std::pair<std::string, std::string>>& keys);

}  // namespace gpuproc::tool
