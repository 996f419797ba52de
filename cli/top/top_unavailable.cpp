// Windows consoles have no ncurses: the command says so.
#include <iostream>

#include "top_command.h"

namespace gpuproc::tool {

int RunTopCommand(int, char**) {
  std::cerr << "gpuproc top is not available on Windows; gpuproc -n SECONDS repeats the table\n";
  return 2;
}

}  // namespace gpuproc::tool
