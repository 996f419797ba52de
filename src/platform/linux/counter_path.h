// Counter paths of the Linux back end: \Object(Instance)\Counter or
// \Object\Counter, and the instance names it publishes.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/linux/gpu_source.h"
#include "platform/platform.h"

namespace gpuproc {

struct CounterPath {
  std::u16string object;
  std::optional<std::u16string> instance;  // absent: the path names no instance
  std::u16string counter;
};

// Splits a path; empty for a malformed one. The instance runs from the first
// "(" to the ")" that closes the object part, so an instance name may itself
// hold parentheses and backslashes.
std::optional<CounterPath> ParseCounterPath(std::u16string_view path);

// Glob match where "*" stands for any run of characters; nothing else is
// special.
bool MatchesWildcard(std::u16string_view pattern, std::u16string_view text);

// `name` with every character that could end an instance part or a path
// ("(", ")", "\\", "*", ...) replaced by "_": driver-chosen names go into
// counter paths.
std::string PathSafeName(std::string_view name);

std::string DeviceInstanceName(GpuDevice device);  // luid_0x.._0x.._phys_0
std::string ProcessInstanceName(std::uint32_t processId, GpuDevice device);  // pid_N_luid_...
std::string EngineInstanceName(std::string_view processInstance, std::size_t index,
                               std::string_view type);  // <process>_eng_<k>_engtype_<Type>

}  // namespace gpuproc
