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

// Whether to say that the processes shown are only those this user may
// read, from the snapshot's count of processes whose open files the reading
// was refused (another user's, without root's capabilities). A library that
// does not count them (nullopt) leaves it to a look through the process
// table, which stops at the first fd folder that refuses to be listed.
bool SomeProcessesHidden(std::optional<std::uint64_t> unreadableProcesses);

// False only when the process is known not to exist.
bool ProcessExists(std::uint32_t processId);

}  // namespace gpuproc::tool
