#include "host_view.h"

#include <filesystem>
#include <string_view>
#include <system_error>

#if defined(_WIN32)
#include <windows.h>
#else
#include <stdlib.h>
#endif

namespace gpuproc::tool {
namespace {

namespace fs = std::filesystem;

#if !defined(_WIN32)
// secure_getenv, as in the library: a set-id command ignores both roots.
fs::path Root(const char* variable, const char* fallback) {
  const char* value = ::secure_getenv(variable);
  return (value != nullptr && *value != '\0') ? value : fallback;
}

bool HasDecimalSuffix(std::string_view name, std::string_view prefix) {
  if (name.size() <= prefix.size() || name.substr(0, prefix.size()) != prefix) return false;
  return name.find_first_not_of("0123456789", prefix.size()) == std::string_view::npos;
}
#endif

}  // namespace

#if defined(_WIN32)

// PDH lists the GPUs with the processes that use them: without a process
// there is no telling whether a GPU is there.
std::optional<std::string> NoGpuDeviceLine() { return std::nullopt; }

// The GPU counters cover every user's processes.
bool SomeProcessesHidden(std::optional<std::uint64_t>) { return false; }

bool ProcessExists(std::uint32_t processId) {
  // The idle process cannot be opened by anyone.
  if (processId == 0) return true;
  const HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
  if (process != nullptr) {
    ::CloseHandle(process);
    return true;
  }
  return ::GetLastError() != ERROR_INVALID_PARAMETER;
}

#else

std::optional<std::string> NoGpuDeviceLine() {
  const fs::path sys = Root("HOST_SYS", "/sys");
  const fs::path drm = sys / "class/drm";
  const fs::path nvidia = sys / "module/nvidia";
  std::error_code error;
  for (fs::directory_iterator entry(drm, error), end; !error && entry != end;
       entry.increment(error)) {
    const std::string name = entry->path().filename().string();
    if (HasDecimalSuffix(name, "card") || HasDecimalSuffix(name, "renderD")) return std::nullopt;
  }
  // NVML finds nothing without NVIDIA's kernel module loaded.
  if (fs::exists(nvidia, error)) return std::nullopt;
  return "no GPU device found (looked for DRM devices in " + drm.string() +
         " and NVIDIA's driver in " + nvidia.string() + ")";
}

bool SomeProcessesHidden(std::optional<std::uint64_t> unreadableProcesses) {
  if (unreadableProcesses) return *unreadableProcesses > 0;
  const fs::path proc = Root("HOST_PROC", "/proc");
  std::error_code error;
  for (fs::directory_iterator entry(proc, error), end; !error && entry != end;
       entry.increment(error)) {
    if (!HasDecimalSuffix(entry->path().filename().string(), "")) continue;
    std::error_code listError;
    const fs::directory_iterator files(entry->path() / "fd", listError);
    // The kernel answers EACCES for another user's fd folder (to root too,
    // without the capabilities that pass its checks); a process that has
    // just ended answers ENOENT and hides nothing.
    if (listError == std::errc::permission_denied ||
        listError == std::errc::operation_not_permitted) {
      return true;
    }
  }
  return false;
}

bool ProcessExists(std::uint32_t processId) {
  const fs::path proc = Root("HOST_PROC", "/proc");
  std::error_code error;
  // A root that is not there is the library's to report.
  if (!fs::is_directory(proc, error)) return true;
  return fs::symlink_status(proc / std::to_string(processId), error).type() !=
         fs::file_type::not_found;
}

#endif

}  // namespace gpuproc::tool
