// libFuzzer entry: counter paths as a host may hand them to the Linux back
// end, and the instance patterns they carry.
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/linux/counter_path.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::u16string path(size / 2, u'\0');
  for (std::size_t i = 0; i < path.size(); ++i) {
    path[i] = static_cast<char16_t>(data[2 * i] | data[2 * i + 1] << 8);
  }
  const auto parsed = gpuproc::ParseCounterPath(path);
  if (parsed) {
    // Every part comes from the path, and the object and counter are never empty.
    if (parsed->object.empty() || parsed->counter.empty()) __builtin_trap();
    if (parsed->instance && parsed->instance->empty()) __builtin_trap();
    // A pattern matches itself once its stars are taken as literal text too.
    const std::u16string& pattern = parsed->instance ? *parsed->instance : parsed->object;
    if (!gpuproc::MatchesWildcard(pattern, pattern)) __builtin_trap();
    (void)gpuproc::MatchesWildcard(pattern, parsed->counter);
  }
  return 0;
}
