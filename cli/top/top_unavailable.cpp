// Where there is no ncursesw (Windows consoles, builds without it) the
// command says so.
#include <iostream>

#include "top_command.h"

namespace gpuproc::tool {

int RunTopCommand(int, char**) {
  std::cerr << "gpuproc top is " GPUPROC_TOP_UNAVAILABLE "; gpuproc -n SECONDS repeats the table\n";
  return 2;
}

}  // namespace gpuproc::tool
