#include "platform/linux/fdinfo_parser.h"

#include <algorithm>
#include <limits>

namespace gpuproc {
namespace {

enum class Unit { kNone, kTime, kSize };

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

std::optional<std::uint64_t> ScaleBy(std::uint64_t value, std::uint64_t factor) {
  if (value > std::numeric_limits<std::uint64_t>::max() / factor) return std::nullopt;
  return value * factor;
}

// "<digits>[ <unit>]" with the units `unit` allows. Anything else, a sign
// included, is not a value.
std::optional<std::uint64_t> ParseValue(std::string_view text, Unit unit) {
  std::uint64_t value = 0;
  std::size_t digits = 0;
  for (; digits < text.size() && text[digits] >= '0' && text[digits] <= '9'; ++digits) {
    const auto digit = static_cast<std::uint64_t>(text[digits] - '0');
    if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  if (digits == 0) return std::nullopt;
  const std::string_view suffix = TrimBlanks(text.substr(digits));
  if (suffix.empty()) return value;
  switch (unit) {
    case Unit::kNone:
      return std::nullopt;
    case Unit::kTime:
      if (suffix == "ns") return value;
      return std::nullopt;
    case Unit::kSize:
      // /proc writes kB for 1024 bytes; the DRM helpers write KiB and MiB.
      if (suffix == "KiB" || suffix == "kB") return ScaleBy(value, 1ull << 10);
      if (suffix == "MiB") return ScaleBy(value, 1ull << 20);
      if (suffix == "GiB") return ScaleBy(value, 1ull << 30);
      return std::nullopt;
  }
  return std::nullopt;
}

bool IsValidName(std::string_view name) {
  if (name.empty() || name.size() > kMaxFdinfoNameLength) return false;
  return std::none_of(name.begin(), name.end(), [](char c) {
    return static_cast<unsigned char>(c) <= ' ' || static_cast<unsigned char>(c) == 0x7f;
  });
}

template <typename Entry>
Entry* FindOrAdd(std::vector<Entry>& entries, std::string_view name) {
  for (Entry& entry : entries) {
    if (entry.name == name) return &entry;
  }
  if (entries.size() >= kMaxFdinfoEntries) return nullptr;
  entries.push_back(Entry{});
  entries.back().name.assign(name);
  return &entries.back();
}

bool ConsumePrefix(std::string_view& key, std::string_view prefix) {
  if (key.size() <= prefix.size() || key.substr(0, prefix.size()) != prefix) return false;
  key.remove_prefix(prefix.size());
  return true;
}

void SetEngineValue(DrmFdinfo& info, std::string_view name, std::string_view value, Unit unit,
                    std::optional<std::uint64_t> FdinfoEngine::*member) {
  const std::optional<std::uint64_t> parsed = ParseValue(value, unit);
  if (!parsed || !IsValidName(name)) return;
  if (FdinfoEngine* engine = FindOrAdd(info.engines, name)) engine->*member = parsed;
}

// A memory key names its region even when its value cannot be parsed: the
// region exists for the driver, only this number is unknown.
void SetRegionValue(DrmFdinfo& info, std::string_view name, std::string_view value,
                    std::optional<std::uint64_t> FdinfoRegion::*member) {
  if (!IsValidName(name)) return;
  FdinfoRegion* region = FindOrAdd(info.regions, name);
  if (region == nullptr || member == nullptr) return;
  if (const std::optional<std::uint64_t> parsed = ParseValue(value, Unit::kSize)) {
    region->*member = parsed;
  }
}

std::string CopyText(std::string_view value) {
  // A driver name or PCI address never holds control characters; one that
  // does is damage, not data.
  if (!IsValidName(value)) return {};
  return std::string(value);
}

void ParseLine(DrmFdinfo& info, std::string_view line) {
  const std::size_t colon = line.find(':');
  if (colon == std::string_view::npos) return;
  std::string_view key = line.substr(0, colon);
  const std::string_view value = TrimBlanks(line.substr(colon + 1));
  if (!ConsumePrefix(key, "drm-")) return;

  if (key == "driver") {
    info.driver = CopyText(value);
  } else if (key == "pdev") {
    info.pdev = CopyText(value);
  } else if (key == "client-name") {
    info.clientName = CopyText(value);
  } else if (key == "client-id") {
    if (const auto id = ParseValue(value, Unit::kNone)) info.clientId = id;
  } else if (ConsumePrefix(key, "engine-capacity-")) {
    // Before "engine-": "engine-capacity-rcs" is not the busy time of an
    // engine called "capacity-rcs".
    SetEngineValue(info, key, value, Unit::kNone, &FdinfoEngine::capacity);
  } else if (ConsumePrefix(key, "engine-")) {
    SetEngineValue(info, key, value, Unit::kTime, &FdinfoEngine::busyNs);
  } else if (ConsumePrefix(key, "total-cycles-")) {
    // Before "total-": xe's GPU timestamp is not a memory region.
    SetEngineValue(info, key, value, Unit::kNone, &FdinfoEngine::totalCycles);
  } else if (ConsumePrefix(key, "cycles-")) {
    SetEngineValue(info, key, value, Unit::kNone, &FdinfoEngine::cycles);
  } else if (ConsumePrefix(key, "total-")) {
    SetRegionValue(info, key, value, &FdinfoRegion::total);
  } else if (ConsumePrefix(key, "resident-")) {
    SetRegionValue(info, key, value, &FdinfoRegion::resident);
  } else if (ConsumePrefix(key, "memory-")) {
    SetRegionValue(info, key, value, &FdinfoRegion::legacyMemory);
  } else if (ConsumePrefix(key, "shared-") || ConsumePrefix(key, "active-") ||
             ConsumePrefix(key, "purgeable-")) {
    SetRegionValue(info, key, value, nullptr);
  }
}

}  // namespace

std::optional<double> CycleBusyShare(const CycleReading& before, const CycleReading& now,
                                     std::uint64_t capacity) {
  if (now.totalCycles <= before.totalCycles) return std::nullopt;
  const std::uint64_t busy = now.cycles > before.cycles ? now.cycles - before.cycles : 0;
  const double share =
      static_cast<double>(busy) / static_cast<double>(now.totalCycles - before.totalCycles);
  return std::min(share, static_cast<double>(std::max<std::uint64_t>(capacity, 1)));
}

CycleReading NextCycleBase(const CycleReading& before, const CycleReading& now) {
  return {std::max(before.cycles, now.cycles), now.totalCycles};
}

std::optional<std::uint64_t> FdinfoRegion::ResidentBytes() const {
  if (resident) return resident;
  if (legacyMemory) return legacyMemory;
  return total;
}

const FdinfoEngine* DrmFdinfo::FindEngine(std::string_view name) const {
  for (const FdinfoEngine& engine : engines) {
    if (engine.name == name) return &engine;
  }
  return nullptr;
}

DrmFdinfo ParseFdinfo(std::string_view text) {
  DrmFdinfo info;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    ParseLine(info, line);
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return info;
}

}  // namespace gpuproc
