// The screens of `gpuproc top` drawn into a grid of cells from the model and
// the view state. Nothing here touches the terminal.
#pragma once

#include <string>

#include "cell_grid.h"
#include "top_model.h"
#include "view_state.h"

namespace gpuproc::tool {

struct DrawOptions {
  bool utf8 = true;  // block elements for the history lines, else ASCII
  double delay = 1;  // seconds between readings, as asked for
  // Why there is nothing to show on this machine at all ("no GPU device
  // found ..."); empty where there is a GPU device or no telling.
  std::string noGpuDevice;
};

struct Frame {
  CellGrid grid;
  ViewContext context;  // what the next key needs of this screen
};

Frame DrawScreen(const TopModel& model, const ViewState& state, int width, int height,
                 const DrawOptions& options);

// The detail view of `rows` (every GPU of one process) in lines [top, bottom).
void DrawDetail(CellGrid& grid, const TopModel& model, const std::vector<const ProcessRow*>& rows,
                const DrawOptions& options, int top, int bottom);
void DrawHelp(CellGrid& grid);

}  // namespace gpuproc::tool
