#include "screen_layout.h"

#include <algorithm>
#include <cstdio>

#include "layout_parts.h"
#include "process_table.h"
#include "terminal_text.h"

namespace gpuproc::tool {
namespace {

constexpr int kSlotCells = 40;  // one bar's share of the width
constexpr int kFooterLines = 2;
constexpr int kMinTableRows = 5;
constexpr std::size_t kMaxNoteLines = 3;

// Lines that explain are wrapped as the command's own: at most 79 cells,
// so that none touches the last column of an 80-column terminal.
std::size_t ExplanationWidth(int width) {
  return std::min(static_cast<std::size_t>(std::max(width, 1)), kTableWidth);
}

struct TableColumn {
  SortColumn sort;
  const char* title;
  int width;
  bool alignRight;
  bool command = false;  // the command line: sorts as the name
};

std::vector<TableColumn> Columns(int width) {
  const bool withCommitted = width >= 100;
  const bool withCommand = width >= 120;
  std::vector<TableColumn> columns = {
      {SortColumn::kPid, "PID", 7, true},       {SortColumn::kUser, "USER", 8, false},
      {SortColumn::kGpu, "GPU", 3, true},       {SortColumn::kDedicated, "DEDICATED", 9, true},
      {SortColumn::kShared, "SHARED", 7, true},
  };
  if (withCommitted) columns.push_back({SortColumn::kCommitted, "COMMITTED", 9, true});
  columns.push_back({SortColumn::kThreeD, "3D", 4, true});
  columns.push_back({SortColumn::kOther, "OTHER", 9, false});
  int used = 0;
  for (const TableColumn& column : columns) used += column.width + 1;
  const int rest = std::max(width - used - (withCommand ? 2 : 1), 16);
  if (withCommand) {
    const int name = 16;
    const int owner = std::clamp((rest - name) / 2, 12, 32);
    columns.push_back({SortColumn::kOwner, "OWNER", owner, false});
    columns.push_back({SortColumn::kName, "NAME", name, false});
    columns.push_back(
        {SortColumn::kName, "COMMAND", std::max(rest - name - owner, 8), false, true});
  } else {
    const int owner = std::min(rest * 3 / 5, 32);
    columns.push_back({SortColumn::kOwner, "OWNER", owner, false});
    columns.push_back({SortColumn::kName, "NAME", rest - owner, false});
  }
  return columns;
}

std::string CellText(const TableColumn& column, const ProcessRow& row) {
  if (column.command) return row.details.commandLine.empty() ? row.name : row.details.commandLine;
  switch (column.sort) {
    case SortColumn::kPid:
      return std::to_string(row.key.processId);
    case SortColumn::kUser:
      return row.details.user.empty() ? "-" : row.details.user;
    case SortColumn::kGpu:
      return std::to_string(row.gpu);
    case SortColumn::kDedicated:
      return Mebibytes(row.dedicated);
    case SortColumn::kShared:
      return Mebibytes(row.shared);
    case SortColumn::kCommitted:
      return Mebibytes(row.committed);
    case SortColumn::kThreeD:
      return Percent(row.EnginePercent("3D"));
    case SortColumn::kOther: {
      const EngineUse* other = row.BusiestOther();
      return other == nullptr ? "-" : EngineLabel(other->type, 4) + " " + Percent(other->percent);
    }
    case SortColumn::kOwner: {
      // namespace/pod before the container where all three do not fit.
      const std::string& owner = row.details.owner;
      const std::size_t slash = owner.rfind('/');
      if (CellCount(owner) > static_cast<std::size_t>(column.width) && slash != std::string::npos &&
          owner.find('/') != slash) {
        return owner.substr(0, slash);
      }
      return owner.empty() ? "-" : owner;
    }
    case SortColumn::kName:
      return row.name.empty() ? "unknown" : row.name;
  }
  return {};
}

// One table line; every text passes through the terminal-safe rules.
void DrawLine(CellGrid& grid, int y, const std::vector<TableColumn>& columns,
              const std::vector<std::string>& texts, Style style) {
  int x = 0;
  for (std::size_t i = 0; i < columns.size(); ++i) {
    const TableColumn& column = columns[i];
    const std::string fitted = FitToCells(texts[i], static_cast<std::size_t>(column.width));
    const int cells = static_cast<int>(CellCount(fitted));
    grid.Put(x + (column.alignRight ? column.width - cells : 0), y, fitted, style, column.width);
    x += column.width + 1;
  }
}

Style FillStyle(double fraction) {
  return fraction < 0.5 ? Style::kBarLow : fraction < 0.8 ? Style::kBarMid : Style::kBarHigh;
}

void DrawMemoryBar(CellGrid& grid, int x, int y, int width, const GpuView& gpu) {
  if (gpu.committed && gpu.free && *gpu.committed + *gpu.free > 0) {
    const double total = *gpu.committed + *gpu.free;
    DrawBar(
        grid, x, y, width, "MEM", *gpu.committed / total,
        ShortSize(*gpu.committed) + "/" + ShortSize(total) + " " + ShortSize(*gpu.free) + " free",
        Style::kMemory);
  } else if (gpu.committed) {
    DrawBar(grid, x, y, width, "MEM", std::nullopt, ShortSize(*gpu.committed) + " used",
            Style::kMemory);
  } else {
    DrawBar(grid, x, y, width, "MEM", std::nullopt, "not reported", Style::kMemory);
  }
}

// One GPU's block from line y; returns the lines it took.
int DrawGpu(CellGrid& grid, int y, std::size_t number, const GpuView& gpu, const TopModel& model,
            const DrawOptions& options, bool compact) {
  const int width = grid.Width();
  int x = grid.Put(0, y, DeviceTitle(gpu, number) + " ", Style::kTitle);
  x += grid.Put(x, y,
                FitToCells(gpu.name.empty() ? gpu.adapter : gpu.name,
                           static_cast<std::size_t>(std::max(width - x - 16, 8))),
                Style::kTitle);
  if (!gpu.pciAddress.empty()) grid.Put(x + 2, y, ShortPciAddress(gpu.pciAddress), Style::kDim);
  const int slots = std::max(1, width / kSlotCells);
  const int slotWidth = width / slots;
  int healthLines = 0;
  if (!compact) {
    // The device's busy share as a bar, then its power, temperature and
    // clock beside it, the text kept whole on a narrow screen.
    const std::string health = HealthText(gpu, options.utf8);
    const int healthCells = static_cast<int>(CellCount(health));
    const int busyWidth = std::min(slotWidth - 1, width - healthCells - 1);
    const std::optional<double> busy =
        gpu.busyPercent ? std::optional<double>(*gpu.busyPercent / 100) : std::nullopt;
    DrawBar(grid, 0, y + 1, busyWidth, "BUSY", busy, Percent(gpu.busyPercent),
            FillStyle(busy.value_or(0)));
    grid.Put(busyWidth + 1, y + 1, health, Style::kNormal);
    healthLines = 1;
  }
  const std::size_t bars = compact ? 1 : 1 + gpu.engines.size();
  for (std::size_t bar = 0; bar < bars; ++bar) {
    const int barX = static_cast<int>(bar % static_cast<std::size_t>(slots)) * slotWidth;
    const int barY = y + 1 + healthLines + static_cast<int>(bar / static_cast<std::size_t>(slots));
    if (bar == 0) {
      DrawMemoryBar(grid, barX, barY, slotWidth - 1, gpu);
      // A compact block keeps the device's figures beside its memory where
      // they fit, its busy share first.
      const std::string health =
          Percent(gpu.busyPercent) + " busy  " + HealthText(gpu, options.utf8);
      if (compact && slots > 1 && static_cast<int>(CellCount(health)) < width - slotWidth) {
        grid.Put(slotWidth, barY, health, Style::kNormal);
      }
      continue;
    }
    const EngineUse& engine = gpu.engines[bar - 1];
    const std::optional<double> fraction =
        engine.percent ? std::optional<double>(*engine.percent / 100) : std::nullopt;
    DrawBar(grid, barX, barY, slotWidth - 1, EngineLabel(engine.type, 4), fraction,
            Percent(engine.percent), FillStyle(fraction.value_or(0)));
  }
  int lines = 1 + healthLines +
              static_cast<int>((bars + static_cast<std::size_t>(slots) - 1) /
                               static_cast<std::size_t>(slots));
  if (!compact && !gpu.historyEngine.empty()) {
    grid.Put(0, y + lines, EngineLabel(gpu.historyEngine, 4), Style::kTitle, 4);
    grid.Put(5, y + lines,
             HistoryLine(model.GpuHistory(gpu.adapter, gpu.historyEngine), model.Now(),
                         options.delay, width - 5, options.utf8),
             Style::kHistory);
    ++lines;
  }
  return lines;
}

int BlockLines(const GpuView& gpu, int width, bool compact) {
  if (compact) return 2;
  const int slots = std::max(1, width / kSlotCells);
  const int bars = 1 + static_cast<int>(gpu.engines.size());
  return 2 + (bars + slots - 1) / slots + (gpu.historyEngine.empty() ? 0 : 1);
}

std::string StatusText(const TopModel& model, const ViewState& state, std::size_t rows,
                       const DrawOptions& options) {
  char delay[32];
  std::snprintf(delay, sizeof delay, "%g", options.delay);
  std::string text = std::to_string(rows) + (rows == 1 ? " GPU process" : " GPU processes");
  if (rows != model.Rows().size()) text += " of " + std::to_string(model.Rows().size());
  text += ", every " + std::string(delay) + " s, sorted by " + ColumnTitle(state.sort) +
          (state.inverted ? " (inverted)" : "");
  if (state.gpu) text += ", GPU " + std::to_string(*state.gpu) + " only";
  if (state.activeOnly) text += ", active only";
  if (!state.filter.empty()) text += ", filter \"" + state.filter + "\"";
  if (state.paused) text += ", PAUSED";
  return text;
}

void DrawFooter(CellGrid& grid, const TopModel& model, const ViewState& state,
                const std::vector<const ProcessRow*>& rows, const DrawOptions& options) {
  const int statusY = grid.Height() - 2;
  const int keysY = grid.Height() - 1;
  const std::size_t width = static_cast<std::size_t>(grid.Width());
  if (!state.message.empty()) {
    grid.Put(0, statusY, FitToCells(state.message, width), Style::kWarning);
  } else {
    grid.Put(0, statusY, FitToCells(StatusText(model, state, rows.size(), options), width),
             Style::kNormal);
  }
  const ProcessRow* selected = rows.empty() ? nullptr : rows[SelectedIndex(state, rows)];
  const std::string who =
      selected == nullptr ? std::string()
                          : std::to_string(selected->key.processId) + " (" + selected->name + ")";
  switch (state.mode) {
    case Mode::kSearch: {
      DrawKeys(grid, keysY, {{"F3", "Next"}, {"Esc", "Done"}});
      const int x = static_cast<int>(CellCount("F3Next EscDone "));
      grid.Put(x, keysY, FitToCells("Search: " + state.search, width - 16), Style::kNormal);
      return;
    }
    case Mode::kFilter: {
      DrawKeys(grid, keysY, {{"Enter", "Done"}, {"Esc", "Clear"}});
      const int x = static_cast<int>(CellCount("EnterDone EscClear "));
      grid.Put(x, keysY, FitToCells("Filter: " + state.filter, width - 19), Style::kNormal);
      return;
    }
    case Mode::kSignalMenu: {
      int x = grid.Put(0, keysY, FitToCells("Signal to " + who + ":", width / 2), Style::kNormal);
      for (std::size_t i = 0; i < SignalChoices().size(); ++i) {
        // Built up in place: GCC 12 at -O3 warns falsely on a chain of +.
        std::string choice = " ";
        choice += std::to_string(i + 1);
        choice += ' ';
        choice += SignalChoices()[i].name;
        choice += ' ';
        x += grid.Put(x + 1, keysY, choice,
                      i == state.signalChoice ? Style::kSelected : Style::kNormal) +
             1;
      }
      grid.Put(x + 2, keysY, "Enter choose, Esc cancel", Style::kDim);
      return;
    }
    case Mode::kSignalConfirm:
      grid.Put(0, keysY,
               FitToCells(std::string("Send SIG") + SignalChoices()[state.signalChoice].name +
                              " to " + who + "? y/n",
                          width),
               Style::kWarning);
      return;
    case Mode::kDetail:
      DrawKeys(grid, keysY,
               {{"Esc", "Back"}, {"Up/Dn", "Process"}, {"F9", "Kill"}, {"F10", "Quit"}});
      return;
    default:
      DrawKeys(grid, keysY,
               {{"F1", "Help"},
                {"F3", "Search"},
                {"F4", "Filter"},
                {"F6", "SortBy"},
                {"F9", "Kill"},
                {"F10", "Quit"},
                {"g", "GPU"},
                {"c", "Active"},
                {"p", state.paused ? "Resume" : "Pause"},
                {"Enter", "Open"}});
  }
}

}  // namespace

Frame DrawScreen(const TopModel& model, const ViewState& state, int width, int height,
                 const DrawOptions& options) {
  Frame frame{CellGrid(width, height), {}};
  CellGrid& grid = frame.grid;
  ViewContext& context = frame.context;
  context.rows = VisibleRows(model, state);
  context.gpuCount = model.Gpus().size();
  if (state.mode == Mode::kHelp) {
    DrawHelp(grid);
    return frame;
  }

  // Notes above the footer: a failed reading, processes this user cannot see;
  // each wrapped, in at most three lines.
  std::vector<std::string> notes;
  const auto addNote = [&](const std::string& note) {
    std::vector<std::string> lines = WrapToCells(note, ExplanationWidth(width));
    if (lines.size() > kMaxNoteLines) {
      lines.resize(kMaxNoteLines);
      lines.back() = FitToCells(lines.back() + " ...", ExplanationWidth(width), "~");
    }
    notes.insert(notes.end(), lines.begin(), lines.end());
  };
  if (!model.readingError.empty()) addNote(model.readingError);
  if (model.someUnreadable)
    addNote("showing only your processes: run as root to see every process");
  const int bottom = height - kFooterLines - static_cast<int>(notes.size());
  for (std::size_t i = 0; i < notes.size(); ++i) {
    grid.Put(0, bottom + static_cast<int>(i), notes[i], Style::kWarning);
  }
  DrawFooter(grid, model, state, context.rows, options);

  if (state.mode == Mode::kDetail ||
      ((state.mode == Mode::kSignalMenu || state.mode == Mode::kSignalConfirm) &&
       state.returnMode == Mode::kDetail)) {
    std::vector<const ProcessRow*> same;
    if (!context.rows.empty()) {
      const std::uint32_t processId =
          context.rows[SelectedIndex(state, context.rows)]->key.processId;
      for (const ProcessRow& row : model.Rows()) {
        if (row.key.processId == processId) same.push_back(&row);
      }
    }
    DrawDetail(grid, model, same, options, 0, bottom);
    return frame;
  }

  // The GPU blocks; compact ones where full ones would crowd out the table.
  std::vector<std::size_t> shown;
  for (std::size_t gpu = 0; gpu < model.Gpus().size(); ++gpu) {
    if (!state.gpu || *state.gpu == gpu) shown.push_back(gpu);
  }
  int blockLines = 0;
  for (const std::size_t gpu : shown) blockLines += BlockLines(model.Gpus()[gpu], width, false);
  const bool compact = blockLines + 2 + kMinTableRows > bottom;
  int y = 0;
  if (!model.HasReading()) grid.Put(0, y++, "waiting for the first reading", Style::kDim);
  for (const std::size_t gpu : shown) {
    if (y + BlockLines(model.Gpus()[gpu], width, compact) + 2 > bottom) break;
    y += DrawGpu(grid, y, gpu, model.Gpus()[gpu], model, options, compact);
  }
  if (y > 0) ++y;

  const std::vector<TableColumn> columns = Columns(width);
  std::vector<std::string> titles;
  int x = 0;
  for (const TableColumn& column : columns) {
    titles.emplace_back(column.title);
    context.columns.push_back({x, x + column.width + 1, column.sort});
    x += column.width + 1;
  }
  context.headerY = y;
  grid.Put(0, y, std::string(static_cast<std::size_t>(width), ' '), Style::kHeader);
  DrawLine(grid, y, columns, titles, Style::kHeader);
  for (const ColumnSpan& span : context.columns) {
    if (span.column == state.sort)
      grid.Paint(span.begin, y, span.end - span.begin - 1, Style::kSortHeader);
  }

  context.pageRows = static_cast<std::size_t>(std::max(bottom - y - 1, 1));
  const std::size_t selected = SelectedIndex(state, context.rows);
  std::size_t scroll =
      std::min(state.scroll,
               context.rows.size() > context.pageRows ? context.rows.size() - context.pageRows : 0);
  if (selected < scroll) scroll = selected;
  if (selected >= scroll + context.pageRows) scroll = selected - context.pageRows + 1;
  context.scroll = scroll;
  if (context.rows.empty() && model.HasReading()) {
    // Without any GPU device the table is empty for that reason, as the
    // command's table says.
    const std::string why = !model.Rows().empty()          ? "no process matches"
                            : !options.noGpuDevice.empty() ? options.noGpuDevice
                                                           : "no process is using a GPU";
    int lineY = y + 1;
    for (const std::string& line : WrapToCells(why, ExplanationWidth(width))) {
      if (lineY >= bottom) break;
      grid.Put(0, lineY++, line, Style::kDim);
    }
  }
  std::vector<std::string> texts(columns.size());
  for (std::size_t index = scroll; index < context.rows.size() && index < scroll + context.pageRows;
       ++index) {
    const int rowY = y + 1 + static_cast<int>(index - scroll);
    for (std::size_t i = 0; i < columns.size(); ++i)
      texts[i] = CellText(columns[i], *context.rows[index]);
    const bool isSelected = index == selected;
    if (isSelected)
      grid.Put(0, rowY, std::string(static_cast<std::size_t>(width), ' '), Style::kSelected);
    DrawLine(grid, rowY, columns, texts, isSelected ? Style::kSelected : Style::kNormal);
  }
  return frame;
}

}  // namespace gpuproc::tool
