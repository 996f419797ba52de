// libFuzzer entry: fdinfo text straight from a driver the library does not
// trust.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/linux/fdinfo_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const gpuproc::DrmFdinfo info =
      gpuproc::ParseFdinfo(std::string_view(reinterpret_cast<const char*>(data), size));
  // The bounds the parser promises whatever the input.
  if (info.engines.size() > gpuproc::kMaxFdinfoEntries ||
      info.regions.size() > gpuproc::kMaxFdinfoEntries) {
    __builtin_trap();
  }
  for (const auto& region : info.regions) {
    if (region.name.size() > gpuproc::kMaxFdinfoNameLength) __builtin_trap();
    (void)region.ResidentBytes();
  }
  return 0;
}
