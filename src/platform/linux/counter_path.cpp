#include "platform/linux/counter_path.h"

#include <cstdio>

namespace gpuproc {

std::optional<CounterPath> ParseCounterPath(std::u16string_view path) {
  // A machine part ("\\host\...") is not supported: only the local machine
  // has counters here.
  if (path.size() < 3 || path[0] != u'\\' || path[1] == u'\\') return std::nullopt;
  const std::size_t counterStart = path.rfind(u'\\');
  if (counterStart == 0 || counterStart + 1 >= path.size()) return std::nullopt;
  std::u16string_view head = path.substr(1, counterStart - 1);

  CounterPath parsed;
  parsed.counter = path.substr(counterStart + 1);
  const std::size_t open = head.find(u'(');
  if (open == std::u16string_view::npos) {
    if (head.find(u')') != std::u16string_view::npos) return std::nullopt;
    parsed.object = head;
  } else {
    if (head.back() != u')') return std::nullopt;
    parsed.object = head.substr(0, open);
    parsed.instance = std::u16string(head.substr(open + 1, head.size() - open - 2));
    if (parsed.instance->empty()) return std::nullopt;
  }
  if (parsed.object.empty() || parsed.object.find(u')') != std::u16string::npos) {
    return std::nullopt;
  }
  return parsed;
}

bool MatchesWildcard(std::u16string_view pattern, std::u16string_view text) {
  // Greedy match with a single backtrack point: linear in practice, never
  // exponential however many stars the pattern holds.
  std::size_t p = 0, t = 0;
  std::size_t starP = std::u16string_view::npos, starT = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == u'*') {
      starP = p++;
      starT = t;
    } else if (p < pattern.size() && pattern[p] == text[t]) {
      ++p, ++t;
    } else if (starP != std::u16string_view::npos) {
      p = starP + 1;
      t = ++starT;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == u'*') ++p;
  return p == pattern.size();
}

std::string PathSafeName(std::string_view name) {
  std::string safe(name);
  for (char& c : safe) {
    const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                       c == '-' || c == '_' || c == '.';
    if (!plain) c = '_';
  }
  return safe;
}

std::string DeviceInstanceName(GpuDevice device) {
  char name[40];
  std::snprintf(name, sizeof name, "luid_0x%08X_0x%08X_phys_0", device.high, device.low);
  return name;
}

std::string ProcessInstanceName(std::uint32_t processId, GpuDevice device) {
  return "pid_" + std::to_string(processId) + "_" + DeviceInstanceName(device);
}

std::string EngineInstanceName(std::string_view processInstance, std::size_t index,
                               std::string_view type) {
  std::string name(processInstance);
  name += "_eng_" + std::to_string(index) + "_engtype_";
  name += PathSafeName(type);
  return name;
}

}  // namespace gpuproc
