#include "platform/linux/linux_platform.h"

#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "platform/linux/pdh_status.h"
#include "platform/linux/utf16.h"

namespace gpuproc {
namespace {

// GetLastError is per thread on Windows; so is this.
thread_local std::uint32_t lastError = 0;

struct ProcessEntry {
  std::u16string baseName;
};

struct MessageText {
  std::uint32_t code;
  const char* text;
};

// Texts for the codes this back end produces, worded as the system words them.
constexpr MessageText kMessages[] = {
    {pdh::kErrorNotEnoughMemory,
     "Not enough memory resources are available to process this command."},
    {static_cast<std::uint32_t>(pdh::kMemoryAllocationFailure),
     "A PDH function could not allocate enough temporary memory."},
    {static_cast<std::uint32_t>(pdh::kNoObject),
     "The specified object was not found on the computer."},
    {static_cast<std::uint32_t>(pdh::kNoCounter), "The specified counter could not be found."},
    {static_cast<std::uint32_t>(pdh::kBadCounterName), "Unable to parse the counter path."},
    {static_cast<std::uint32_t>(pdh::kInvalidHandle), "The handle is not a valid PDH object."},
    {static_cast<std::uint32_t>(pdh::kInvalidArgument),
     "A required argument is missing or incorrect."},
    {static_cast<std::uint32_t>(pdh::kInvalidData),
     "The specified counter does not contain valid data."},
};

}  // namespace

LinuxPlatform::LinuxPlatform(std::vector<GpuSourceEntry> sources, HostFs fs, MonotonicClock clock)
    : backend_(std::move(sources), std::move(fs), std::move(clock)) {}

PdhStatus LinuxPlatform::OpenQuery(QueryHandle* query) {
  const PdhStatus status = backend_.OpenQuery(query);
  if (status == pdh::kMemoryAllocationFailure) lastError = pdh::kErrorNotEnoughMemory;
  return status;
}
PdhStatus LinuxPlatform::AddCounter(QueryHandle query, std::u16string_view path,
                                    CounterHandle* counter) {
  return backend_.AddCounter(query, path, counter);
}
PdhStatus LinuxPlatform::CollectQueryData(QueryHandle query) {
  return backend_.CollectQueryData(query);
}
PdhStatus LinuxPlatform::GetFormattedCounterValue(CounterHandle counter, double* value) {
  return backend_.GetFormattedCounterValue(counter, value);
}
PdhStatus LinuxPlatform::GetFormattedCounterArray(CounterHandle counter,
                                                  std::vector<CounterItem>* items) {
  return backend_.GetFormattedCounterArray(counter, items);
}
PdhStatus LinuxPlatform::RemoveCounter(CounterHandle counter) {
  return backend_.RemoveCounter(counter);
}
PdhStatus LinuxPlatform::CloseQuery(QueryHandle query) { return backend_.CloseQuery(query); }
PdhStatus LinuxPlatform::EnumObjectItems(std::u16string_view object, char16_t* counters,
                                         std::uint32_t* counterLength, char16_t* instances,
                                         std::uint32_t* instanceLength) {
  return backend_.EnumObjectItems(object, counters, counterLength, instances, instanceLength);
}

void LinuxPlatform::Sleep(std::uint32_t milliseconds) {
  timespec remaining{static_cast<time_t>(milliseconds / 1000),
                     static_cast<long>(milliseconds % 1000) * 1000000L};
  // A signal handled by the host must not shorten the sampling window.
  while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}

std::uint32_t LinuxPlatform::GetLastError() { return lastError; }

bool LinuxPlatform::FormatSystemMessage(std::uint32_t code, std::u16string* text) {
  for (const MessageText& message : kMessages) {
    if (message.code == code) {
      *text = Utf8ToUtf16(message.text);
      return true;
    }
  }
  char fallback[48];
  std::snprintf(fallback, sizeof fallback, "Unknown error 0x%08X.", code);
  *text = Utf8ToUtf16(fallback);
  return true;
}

ProcessHandle LinuxPlatform::OpenProcess(std::uint32_t /*access*/, std::uint32_t processId) {
  // Reading the exe link is what needs the rights (ptrace access), so "open"
  // is where it happens: a process we may not inspect cannot be opened.
  const std::optional<std::string> target =
      backend_.Fs().ReadProcLink(std::to_string(processId) + "/exe");
  if (!target) return nullptr;
  return new ProcessEntry{Utf8ToUtf16(ExecutableBaseName(*target))};
}

std::uint32_t LinuxPlatform::GetModuleBaseName(ProcessHandle process, char16_t* buffer,
                                               std::uint32_t size) {
  const auto* entry = static_cast<const ProcessEntry*>(process);
  if (entry == nullptr || buffer == nullptr || size == 0 || entry->baseName.empty()) return 0;
  // Like the Windows call: truncate to the buffer, keep room for the NUL.
  const std::size_t count = std::min<std::size_t>(entry->baseName.size(), size - 1);
  std::copy_n(entry->baseName.begin(), count, buffer);
  buffer[count] = u'\0';
  return static_cast<std::uint32_t>(count);
}

void LinuxPlatform::CloseHandle(ProcessHandle process) {
  delete static_cast<ProcessEntry*>(process);
}

int LinuxPlatform::WideCharToMultiByte(const char16_t* text, int length, char* out, int outSize) {
  return Utf16ToUtf8(text, length, out, outSize);
}

void LinuxPlatform::WriteErrorLine(std::u16string_view line) {
  std::cerr << Utf16ToUtf8(line) << '\n' << std::flush;
}

void LinuxPlatform::WriteOutputLine(std::string_view text) { std::cout << text << std::endl; }

std::string ExecutableBaseName(std::string_view exeLinkTarget) {
  constexpr std::string_view kDeleted = " (deleted)";
  if (exeLinkTarget.size() >= kDeleted.size() &&
      exeLinkTarget.substr(exeLinkTarget.size() - kDeleted.size()) == kDeleted) {
    exeLinkTarget.remove_suffix(kDeleted.size());
  }
  const std::size_t slash = exeLinkTarget.rfind('/');
  if (slash != std::string_view::npos) exeLinkTarget.remove_prefix(slash + 1);
  return std::string(exeLinkTarget);
}

std::uint64_t MonotonicNanoseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000000000u +
         static_cast<std::uint64_t>(now.tv_nsec);
}

std::unique_ptr<Platform> CreateSystemPlatform() {
  return std::make_unique<LinuxPlatform>(DefaultGpuSources(), HostFs::FromEnvironment(),
                                         MonotonicNanoseconds);
}

}  // namespace gpuproc
