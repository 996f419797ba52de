#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "host_view.h"
#include "terminal_front.h"
#include "top_command.h"

namespace gpuproc::tool {
namespace {

// The same range as top -d and gpuproc -n.
constexpr double kMinDelay = 0.1;
constexpr double kMaxDelay = 86400;

bool UsableTerminal() {
  const char* term = std::getenv("TERM");
  return ::isatty(STDIN_FILENO) == 1 && ::isatty(STDOUT_FILENO) == 1 && term != nullptr &&
         *term != '\0' && std::strcmp(term, "dumb") != 0;
}

}  // namespace

int RunTopCommand(int argc, char** argv) {
  CLI::App app{
      "Every GPU process, refreshed: htop's keys, per-GPU meters and history, and the "
      "container or pod each process belongs to.",
      "gpuproc top"};
  TopOptions options;
  bool noColour = false;
  app.add_option("-d,--delay", options.delay, "Seconds between readings (0.1 to 86400)")
      ->type_name("SECONDS")
      ->capture_default_str()
      ->check(CLI::Range(kMinDelay, kMaxDelay).description(""));
  app.add_flag("--no-color", noColour, "No colours (also with NO_COLOR set in the environment)");
  app.add_option("--kubelet.pod-logs-dir", options.podLogsDir,
                 "the kubelet's pod log folder (its sibling 'containers' too), read for the "
                 "namespace, pod and container names of processes in pods")
      ->option_text("DIR=" + options.podLogsDir);
  app.footer(
      "Keys: q quit, ? help, arrows move, < > sort, I invert, / search, \\ filter, g GPU,\n"
      "c active only, Enter details, k signal, p pause. Exit status: 0, 1 on an error that\n"
      "ends it, 2 on bad usage or without a terminal.");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    if (error.get_exit_code() == 0) return app.exit(error);
    std::cerr << "gpuproc top: " << error.what() << " (try --help)\n";
    return 2;
  }
  const char* noColourVariable = std::getenv("NO_COLOR");
  options.colour = !noColour && (noColourVariable == nullptr || *noColourVariable == '\0');
  if (!UsableTerminal()) {
    std::cerr << kNeedsTerminal << '\n';
    return 2;
  }
  options.noGpuDevice = NoGpuDeviceLine().value_or("");
  return RunTerminalFront(options);
}

}  // namespace gpuproc::tool
