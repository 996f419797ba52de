// What the command can tell about the host beyond the library's report, so
// that an empty or short answer says why: whether there is a GPU device at
// all, whether some processes were hidden from this user, and whether a
// process exists. Read under HOST_PROC and HOST_SYS, as the library reads.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace gpuproc::tool {

// "no GPU device found (looked for ...)" when the host has neither a DRM
// device nor NVIDIA's kernel driver, the two places the Linux back end finds
// GPUs; nothing where one is there, or where the command cannot know
// (Windows).
std::optional<std::string> NoGpuDeviceLine();

// True when the process table lists a process whose open files this user
// may not read: another user's process, unless run as root.
bool SomeProcessesHidden();

// False only when the process is known not to exist.
bool ProcessExists(std::uint32_t processId);

}  // namespace gpuproc::tool
