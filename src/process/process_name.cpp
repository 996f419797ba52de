#include "process/process_name.h"

#include <algorithm>
#include <climits>

namespace gpuproc {

std::u16string GetProcessName(Platform& platform, std::uint32_t processId) {
  std::u16string name(kUnknownProcessName);
  ProcessHandle process = platform.OpenProcess(kProcessNameAccess, processId);
  if (process == nullptr) return name;

  char16_t buffer[kProcessNameBufferSize] = {};
  const std::uint32_t count = platform.GetModuleBaseName(process, buffer, kProcessNameBufferSize);
  if (count != 0) {
    // A name that fills the whole buffer may have lost its NUL to truncation:
    // never look past the buffer, nor past what the platform said it wrote.
    const std::size_t limit = std::min<std::size_t>(count, kProcessNameBufferSize);
    const char16_t* end = std::find(buffer, buffer + limit, u'\0');
    name.assign(buffer, static_cast<std::size_t>(end - buffer));
    if (name.empty()) name = kUnknownProcessName;
  }
  platform.CloseHandle(process);
  return name;
}

std::string WideToUtf8(Platform& platform, std::u16string_view text) {
  if (text.empty()) return {};
  // The platform takes a signed 32-bit length; no process name comes close.
  const int length = static_cast<int>(std::min<std::size_t>(text.size(), INT_MAX));
  const int needed = platform.WideCharToMultiByte(text.data(), length, nullptr, 0);
  if (needed <= 0) return {};
  std::string narrow(static_cast<std::size_t>(needed), '\0');
  platform.WideCharToMultiByte(text.data(), length, narrow.data(), needed);
  return narrow;
}

}  // namespace gpuproc
