// The exporter's two processes each confine themselves once they hold what
// they need: whatever a flaw in one lets an attacker run, it cannot write
// a file, start a program, reach another process or the network beyond
// what that process is for.
//
// The reader keeps CAP_SYS_PTRACE and CAP_DAC_READ_SEARCH, which reading
// other users' /proc/<pid>/fd and fdinfo takes, and nothing else. It has
// no Landlock: Landlock refuses a confined process every ptrace-checked
// access to a process outside its domain, which is every fd link and
// fdinfo of every other process. Its seccomp allow-list holds reading and
// the channel to the network side.
//
// The network side holds no capability at all, Landlock (where the kernel
// has it) lets it read only its configuration and library files and
// neither bind nor connect, and its seccomp allow-list holds serving.
#pragma once

#include <string>
#include <vector>

namespace gpuproc {

struct SandboxResult {
  bool confined = false;  // false: `error` says why; the caller must not go on
  bool landlock = false;  // false: no Landlock here (the kernel's or the reader's)
  std::string note;       // one line to log (Landlock missing, a bounding set kept)
  std::string error;
};

// Capabilities as bits (1 << CAP_...).
using CapabilityMask = unsigned long long;
CapabilityMask ReaderCapabilities();

// Leaves the calling thread `keep` in its effective and permitted sets
// (those of them it holds), clears its inheritable and ambient sets, and
// clears the bounding set of everything else where CAP_SETPCAP allows
// (CAP_SETPCAP itself last). Under no_new_privs, with exec refused, a
// bounding set that cannot be cleared gives nothing back: a note says so.
// Call it before starting threads: capabilities are per thread.
SandboxResult DropCapabilities(CapabilityMask keep);

// The reader, once its first reading has loaded NVML: no_new_privs and
// the reader's seccomp allow-list on every thread. `channel` is the only
// socket it may send and receive on; stderr (2) the only fd it may write.
SandboxResult ConfineReader(int channel);

// The network side, before it starts its server: no_new_privs, Landlock
// (read-only files beneath `readable`: files, or folders whose files are
// read but which are not listed; no bind, no connect; no signals or
// abstract unix sockets outside its domain), then the network side's
// seccomp allow-list. Landlock missing from the kernel gives a note;
// Landlock failing otherwise fails the whole.
SandboxResult ConfineNetworkSide(const std::vector<std::string>& readable);

// The shared objects loaded now, by path.
std::vector<std::string> LoadedLibraries();

}  // namespace gpuproc
