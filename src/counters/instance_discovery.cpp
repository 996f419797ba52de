#include "counters/instance_discovery.h"

#include <cstdint>
#include <string>

namespace gpuproc {
namespace {

bool IsDecimalDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

std::u16string ProcessMemoryPath(std::u16string_view instanceName, std::u16string_view counter) {
  std::u16string path = u"\\";
  path += kGPUProcessMemoryObject;
  path += u"(";
  path += instanceName;
  path += u")\\";
  path += counter;
  return path;
}

// The two-call size protocol over the enumeration: `enumerate` takes
// (counters, counterLength, instances, instanceLength). The list may grow
// between the two calls (a process starts using a GPU); the fill then
// answers PDH_MORE_DATA, and both calls are made again, a few times at most.
template <typename Enumerate>
InstanceList ListWith(Enumerate&& enumerate) {
  for (int attempt = 0; attempt < kEnumerationAttempts; ++attempt) {
    std::uint32_t counterLength = 0;
    std::uint32_t instanceLength = 0;
    enumerate(nullptr, &counterLength, nullptr, &instanceLength);
    if (instanceLength == 0 || instanceLength > kMaxEnumerationLength ||
        counterLength > kMaxEnumerationLength) {
      return {};
    }
    std::u16string counters(counterLength, u'\0');
    std::u16string buffer(instanceLength, u'\0');
    std::uint32_t filledCounterLength = counterLength;
    std::uint32_t filledInstanceLength = instanceLength;
    const PdhStatus status = enumerate(counterLength ? counters.data() : nullptr,
                                       &filledCounterLength, buffer.data(), &filledInstanceLength);
    if (status == kPdhMoreData) continue;
    if (status != kPdhSuccess) return {};

    // Walk only the buffer we own, whatever the platform claims it wrote. A
    // last name that runs to the end without its NUL is still a name.
    InstanceList instances;
    std::size_t position = 0;
    while (position < buffer.size() && buffer[position] != u'\0') {
      std::size_t end = buffer.find(u'\0', position);
      if (end == std::u16string::npos) end = buffer.size();
      instances.emplace_back(buffer, position, end - position);
      position = end + 1;
    }
    return instances;
  }
  return {};
}

}  // namespace

InstanceList ListProcessInstances(Platform& platform, std::u16string_view object,
                                  std::uint32_t processId) {
  return ListWith([&](char16_t* counters, std::uint32_t* counterLength, char16_t* instances,
                      std::uint32_t* instanceLength) {
    return platform.EnumProcessObjectItems(processId, object, counters, counterLength, instances,
                                           instanceLength);
  });
}

std::u16string MakePidPattern(std::uint32_t processId) {
  const std::string digits = std::to_string(processId);
  std::u16string pattern = u"pid_";
  pattern.append(digits.begin(), digits.end());
  return pattern;
}

bool MatchesPidPattern(std::u16string_view instanceName, std::u16string_view pidPattern) {
  // An occurrence followed by another digit names a different process
  // (pid_12 inside pid_123), so it does not count; later occurrences still do.
  for (std::size_t at = instanceName.find(pidPattern); at != std::u16string_view::npos;
       at = instanceName.find(pidPattern, at + 1)) {
    const std::size_t after = at + pidPattern.size();
    if (after == instanceName.size() || !IsDecimalDigit(instanceName[after])) return true;
  }
  return false;
}

ProcessCounterPaths MakeProcessCounterPaths(std::u16string_view instanceName) {
  std::u16string enginePath = u"\\GPU Engine(";
  enginePath += instanceName;
  enginePath += u"*engtype_3D)\\Utilization Percentage";
  return {
      ProcessMemoryPath(instanceName, u"Local Usage"),
      std::move(enginePath),
      ProcessMemoryPath(instanceName, u"Shared Usage"),
      ProcessMemoryPath(instanceName, u"Dedicated Usage"),
      ProcessMemoryPath(instanceName, u"Total Committed"),
  };
}

std::optional<ProcessInstanceParts> SplitProcessInstance(std::u16string_view name) {
  constexpr std::u16string_view kPrefix = u"pid_";
  if (name.substr(0, kPrefix.size()) != kPrefix) return std::nullopt;
  std::uint64_t processId = 0;
  std::size_t at = kPrefix.size();
  while (at < name.size() && IsDecimalDigit(name[at])) {
    processId = processId * 10 + static_cast<std::uint64_t>(name[at++] - u'0');
    if (processId > UINT32_MAX) return std::nullopt;
  }
  if (at == kPrefix.size() || at + 1 >= name.size() || name[at] != u'_') return std::nullopt;
  return ProcessInstanceParts{static_cast<std::uint32_t>(processId), name.substr(at + 1)};
}

std::optional<EngineInstanceParts> SplitEngineInstance(std::u16string_view name) {
  // The process part (pid_N_luid_..._phys_N) never holds "_eng_", while a
  // driver's own engine type might: split at the first one.
  const std::size_t engine = name.find(u"_eng_");
  if (engine == std::u16string_view::npos) return std::nullopt;
  constexpr std::u16string_view kType = u"_engtype_";
  const std::size_t type = name.find(kType, engine);
  if (type == std::u16string_view::npos || type + kType.size() == name.size()) return std::nullopt;
  return EngineInstanceParts{name.substr(0, engine), name.substr(type + kType.size())};
}

}  // namespace gpuproc
