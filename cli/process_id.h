// Process ids as people and /proc write them: the command line's one parser.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace gpuproc::tool {

// Decimal digits only (no sign, no spaces, no 0x: "010" is ten), within
// 0..4294967295, the range of the library's process id.
inline std::optional<std::uint32_t> ParseProcessId(std::string_view text) {
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
    if (value > UINT32_MAX) return std::nullopt;
  }
  return static_cast<std::uint32_t>(value);
}

}  // namespace gpuproc::tool
