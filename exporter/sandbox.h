// The exporter confines itself once its sockets are bound and its
// configuration read: whatever a flaw in its parsers lets an attacker do,
// it cannot write a file, another process's memory, or reach beyond the
// trees it reads. CAP_SYS_PTRACE and CAP_DAC_READ_SEARCH, which reading
// other users' processes needs, would otherwise make it as good as root.
#pragma once

#include <string>
#include <vector>

namespace gpuproc {

struct SandboxResult {
  bool confined = false;  // false: `error` says why, and nothing was applied
  bool landlock = false;  // false: seccomp alone (the kernel has no Landlock)
  std::string note;       // the one line to log when Landlock is missing
  std::string error;
};

// Landlock (ABI 1 or 2): read access beneath each of `readable` (folders or
// files; missing ones are skipped), no write anywhere. Then no new
// privileges, and a seccomp filter on every thread that refuses
// process_vm_writev, process_vm_readv, ptrace, pidfd_getfd, mount,
// open_by_handle_at, truncate and every open for writing or creating.
// Landlock holds for the calling thread and the threads it starts later, so
// call it before starting any.
SandboxResult ConfineProcess(const std::vector<std::string>& readable);

// The folders of the shared objects loaded now, which later dlopen calls
// search as well.
std::vector<std::string> LoadedLibraryFolders();

}  // namespace gpuproc
