// The detail view of one process and the help screen.
#include <algorithm>

#include "layout_parts.h"
#include "screen_layout.h"
#include "terminal_text.h"

namespace gpuproc::tool {
namespace {

constexpr int kLabelCells = 10;
constexpr int kCommandLines = 3;

// `text` made terminal-safe and cut into lines of at most `cells` cells.
std::vector<std::string> Wrap(std::string_view text, int cells, int maxLines) {
  const std::string safe = SafeForTerminal(text);
  std::vector<std::string> lines(1);
  int used = 0;
  for (std::size_t at = 0; at < safe.size();) {
    const auto lead = static_cast<unsigned char>(safe[at]);
    const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    const std::string_view character = std::string_view(safe).substr(at, length);
    const int width = length == 1 ? 1 : static_cast<int>(CellCount(character));
    if (used + width > cells) {
      if (static_cast<int>(lines.size()) == maxLines) {
        lines.back() =
            FitToCells(lines.back() + std::string(character), static_cast<std::size_t>(cells));
        break;
      }
      lines.emplace_back();
      used = 0;
    }
    lines.back() += character;
    used += width;
    at += length;
  }
  return lines;
}

int Field(CellGrid& grid, int y, int bottom, const char* label, const std::string& value,
          int maxLines = 1) {
  if (y >= bottom) return y;
  grid.Put(0, y, label, Style::kTitle);
  for (const std::string& line : Wrap(value.empty() ? "-" : value, grid.Width() - kLabelCells,
                                      std::min(maxLines, bottom - y))) {
    grid.Put(kLabelCells, y++, line, Style::kNormal);
  }
  return y;
}

}  // namespace

void DrawDetail(CellGrid& grid, const TopModel& model, const std::vector<const ProcessRow*>& rows,
                const DrawOptions& options, int top, int bottom) {
  if (rows.empty()) {
    grid.Put(0, top, "the process has gone", Style::kDim);
    return;
  }
  const ProcessRow& first = *rows.front();
  const std::size_t width = static_cast<std::size_t>(grid.Width());
  int y = top;
  grid.Put(0, y++,
           FitToCells("PROCESS " + std::to_string(first.key.processId) + " " + first.name, width),
           Style::kTitle);
  y = Field(grid, y, bottom, "User", first.details.user);
  y = Field(grid, y, bottom, "Owner", first.details.owner);
  y = Field(grid, y, bottom, "Cgroup", first.details.cgroupPath, 2);
  y = Field(grid, y, bottom, "Command", first.details.commandLine, kCommandLines);
  for (const ProcessRow* row : rows) {
    if (y + 2 >= bottom) break;
    const GpuView& gpu = model.Gpus()[row->gpu];
    ++y;
    std::string title =
        DeviceTitle(gpu, row->gpu) + " " + (gpu.name.empty() ? gpu.adapter : gpu.name);
    if (!gpu.pciAddress.empty()) title += "  " + ShortPciAddress(gpu.pciAddress);
    grid.Put(0, y++, FitToCells(title, width), Style::kTitle);
    grid.Put(2, y++,
             "Dedicated " + Mebibytes(row->dedicated) + " MiB  Shared " + Mebibytes(row->shared) +
                 " MiB  Local " + Mebibytes(row->local) + " MiB  Committed " +
                 Mebibytes(row->committed) + " MiB",
             Style::kNormal);
    // An estimate: the GPU's power shared out by busy time.
    if (y < bottom) {
      grid.Put(2, y++, "Power " + WattsText(row->watts) + " (estimated from busy time)",
               Style::kNormal);
    }
    for (const EngineUse& engine : row->engines) {
      if (y >= bottom) break;
      grid.Put(2, y, FitToCells(engine.type, 15), Style::kTitle);
      const std::string percent = Percent(engine.percent);
      grid.Put(23 - static_cast<int>(percent.size()), y, percent, Style::kNormal);
      grid.Put(24, y++,
               HistoryLine(model.ProcessHistory(row->key, engine.type), model.Now(), options.delay,
                           grid.Width() - 24, options.utf8),
               Style::kHistory);
    }
  }
}

void DrawHelp(CellGrid& grid) {
  static const char* const kLines[] = {
      "gpuproc top: which processes use the GPUs, refreshed every -d SECONDS",
      "",
      "Utilisation is busy time over the refresh interval, in percent of one engine",
      "(two busy engines of one type show 200%). Memory in MiB.",
      "",
      "  q F10          quit                  ? h F1      this help",
      "  Up Dn PgUp PgDn Home End  move       Enter       the selected process",
      "  < > F6         sort column           I           invert the sort",
      "  / F3           search by name        \\ F4        filter: name, owner, command",
      "  g              GPU shown: all, 0, 1  c           only the busy processes",
      "  k F9           send a signal         p           pause refreshing",
      "  mouse          click a row to select it, a column header to sort on it",
      "",
      "OWNER: namespace/pod/container in a Kubernetes pod, else the container id or",
      "the systemd unit. OTHER: the busiest engine besides 3D.",
      "",
      "Press any key to go back.",
  };
  int y = 0;
  for (const char* line : kLines) {
    grid.Put(0, y, line, y == 0 ? Style::kTitle : Style::kNormal);
    ++y;
  }
}

}  // namespace gpuproc::tool
