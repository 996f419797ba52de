// gpuproc PID...: asks the library about each process in turn. The library
// itself prints each report on standard output.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "gpuproc/gpuproc.h"

namespace {

constexpr const char* kUsage =
    "usage: gpuproc PID...\n"
    "Prints the GPU memory (MiB) and 3D-engine utilisation (%) of each process as JSON,\n"
    "one report per process id: an array of records, or null when the process uses no GPU.\n"
    "Exit status: 0 on success, 1 when the GPU counters could not be opened, 2 on bad usage.\n";

// Decimal digits only, within the unsigned 32-bit range.
bool ParseProcessId(const char* text, std::uint32_t& processId) {
  if (*text == '\0') return false;
  std::uint64_t value = 0;
  for (const char* c = text; *c != '\0'; ++c) {
    if (*c < '0' || *c > '9') return false;
    value = value * 10 + static_cast<std::uint64_t>(*c - '0');
    if (value > UINT32_MAX) return false;
  }
  processId = static_cast<std::uint32_t>(value);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::uint32_t> processIds;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    std::uint32_t processId = 0;
    if (!ParseProcessId(argv[i], processId)) {
      std::fprintf(stderr, "gpuproc: '%s' is not a process id (0 to 4294967295)\n", argv[i]);
      return 2;
    }
    processIds.push_back(processId);
  }
  if (processIds.empty()) {
    std::fputs("gpuproc: no process id given (try --help)\n", stderr);
    return 2;
  }

  int status = 0;
  for (const std::uint32_t processId : processIds) {
    const char* report = GetGPUDataForProcess(processId);
    if (report == nullptr || *report == '\0') status = 1;
  }
  std::fflush(stdout);
  return status;
}
