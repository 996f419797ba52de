// The executable name of a process, and UTF-16 to UTF-8 conversion.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace gpuproc {

inline constexpr std::u16string_view kUnknownProcessName = u"unknown";

// The base name of the process's main executable, or "unknown" when it
// cannot be read. Never empty, never fails. Where the process refuses the
// rights that name needs, its image path's file name.
std::u16string GetProcessName(Platform& platform, std::uint32_t processId);

// UTF-8 form of `text` over its whole stored length (NULs included). An
// unpaired surrogate becomes U+FFFD, so the result is always valid UTF-8.
std::string WideToUtf8(Platform& platform, std::u16string_view text);

}  // namespace gpuproc
