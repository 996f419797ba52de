#include "process/process_name.h"

#include <algorithm>
#include <climits>

namespace gpuproc {

namespace {

// The file name part of an image path: after its last "\" (or "/").
std::u16string FileNamePart(std::u16string_view path) {
  const std::size_t separator = path.find_last_of(u"\\/");
  return std::u16string(separator == std::u16string_view::npos ? path : path.substr(separator + 1));
}

// The name through the limited right, which other users' and protected
// processes still grant: the image path's file name; empty when that fails.
std::u16string ImageFileName(Platform& platform, std::uint32_t processId) {
  ProcessHandle process = platform.OpenProcess(kProcessQueryLimitedInformation, processId);
  if (process == nullptr) return {};
  std::u16string path(kProcessImagePathBufferSize, u'\0');
  std::uint32_t size = kProcessImagePathBufferSize;
  const bool read = platform.QueryFullProcessImageName(process, path.data(), &size);
  platform.CloseHandle(process);
  if (!read) return {};
  path.resize(std::min<std::size_t>(size, path.size()));
  path.resize(std::min(path.size(), path.find(u'\0')));
  return FileNamePart(path);
}

}  // namespace

std::u16string GetProcessName(Platform& platform, std::uint32_t processId) {
  std::u16string name(kUnknownProcessName);
  ProcessHandle process = platform.OpenProcess(kProcessNameAccess, processId);
  if (process == nullptr) {
    std::u16string imageName = ImageFileName(platform, processId);
    return imageName.empty() ? name : imageName;
  }

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
