// The only code that meets the terminal: ncursesw draws the grid, reads keys
// and the mouse, and is torn down on every way out.
#pragma once

#include <string>

namespace gpuproc::tool {

struct TopOptions {
  double delay = 1;
  bool colour = true;
  std::string podLogsDir = "/var/log/pods";
  std::string noGpuDevice;  // as DrawOptions::noGpuDevice
};

// Runs until `q` or a terminating signal; the exit status. A terminal that
// ncurses cannot drive gives the not-a-terminal line and 2.
int RunTerminalFront(const TopOptions& options);

// Why signals cannot be sent from here, or "" when they can: under a
// HOST_PROC that is not this machine's own /proc the process IDs name other
// processes than the ones shown.
std::string SignalsDisabledReason();

inline constexpr const char* kNeedsTerminal =
    "gpuproc top needs a terminal; gpuproc -n SECONDS repeats the table";

}  // namespace gpuproc::tool
