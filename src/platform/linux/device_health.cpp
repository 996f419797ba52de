#include "platform/linux/device_health.h"

#include <fcntl.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdint>
#include <vector>

#include "platform/linux/host_fs.h"
#include "platform/linux/number_text.h"

namespace gpuproc {
namespace {

// hwmon's units: microwatts, microjoules, millidegrees, and MHz for the
// drivers' own frequency files.
constexpr double kPerMicro = 1e-6;
constexpr double kPerMilli = 1e-3;
constexpr double kHzPerMHz = 1e6;

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == '\0'))
    text.remove_suffix(1);
  return text;
}

// A signed decimal attribute: temperatures go below zero.
std::optional<double> ReadSigned(const HostFs& fs, const std::string& path) {
  const std::optional<std::string> text = fs.ReadSysFile(path);
  if (!text) return std::nullopt;
  const std::string_view value = Trimmed(*text);
  std::int64_t number = 0;
  const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), number);
  if (error != std::errc() || end != value.data() + value.size() || value.empty())
    return std::nullopt;
  return static_cast<double>(number);
}

std::optional<double> ReadUnsigned(const HostFs& fs, const std::string& path) {
  const std::optional<std::string> text = fs.ReadSysFile(path);
  if (!text) return std::nullopt;
  const auto value = ParseDecimal(Trimmed(*text));
  return value ? std::optional<double>(static_cast<double>(*value)) : std::nullopt;
}

std::optional<double> Scaled(std::optional<double> value, double scale) {
  return value ? std::optional<double>(*value * scale) : std::nullopt;
}

// The indices N of the files "<prefix>N_input" in a hwmon folder listing.
std::vector<int> InputIndices(const std::vector<std::string>& names, std::string_view prefix) {
  std::vector<int> indices;
  for (const std::string& name : names) {
    const std::string_view entry(name);
    constexpr std::string_view kInput = "_input";
    if (entry.size() <= prefix.size() + kInput.size() || entry.substr(0, prefix.size()) != prefix ||
        entry.substr(entry.size() - kInput.size()) != kInput) {
      continue;
    }
    const auto index =
        ParseDecimal(entry.substr(prefix.size(), entry.size() - prefix.size() - kInput.size()));
    if (index && *index < 1000) indices.push_back(static_cast<int>(*index));
  }
  std::sort(indices.begin(), indices.end());
  return indices;
}

std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower;
}

// The sensor's label, or "<prefix><N>" where it has none.
std::string LabelOf(const HostFs& fs, const std::string& folder, std::string_view prefix,
                    int index) {
  const std::string stem = std::string(prefix) + std::to_string(index);
  const std::optional<std::string> label = fs.ReadSysFile(folder + "/" + stem + "_label");
  const std::string_view text = label ? Trimmed(*label) : std::string_view();
  return text.empty() ? stem : std::string(text);
}

void ReadHwmon(const HostFs& fs, const std::string& folder, DeviceHealth& health) {
  const std::vector<std::string> names = fs.ListSysDir(folder);
  const auto has = [&](std::string_view name) {
    return std::find(names.begin(), names.end(), name) != names.end();
  };
  const auto read = [&](std::string_view name) {
    return has(name) ? ReadUnsigned(fs, folder + "/" + std::string(name)) : std::nullopt;
  };
  // amdgpu publishes power1_average on older parts, power1_input on newer
  // ones; i915 and xe publish neither, only their energy counter.
  health.powerWatts = Scaled(read("power1_input"), kPerMicro);
  if (!health.powerWatts) health.powerWatts = Scaled(read("power1_average"), kPerMicro);
  // amdgpu's cap is power1_cap; i915 and xe name their sustained limit (PL1)
  // power1_max. A limit of 0 means none is set.
  std::optional<double> limit = read("power1_cap");
  if (!limit) limit = read("power1_max");
  if (limit && *limit > 0) health.powerLimitWatts = *limit * kPerMicro;
  health.energyJoules = Scaled(read("energy1_input"), kPerMicro);
  if (const auto fan = read("fan1_input")) health.fanRpm = *fan;

  for (const int index : InputIndices(names, "temp")) {
    const std::string stem = folder + "/temp" + std::to_string(index);
    const std::optional<double> value = ReadSigned(fs, stem + "_input");
    if (!value) continue;
    const std::string name = TemperatureName(LabelOf(fs, folder, "temp", index));
    health.temperatures.emplace(name, *value * kPerMilli);
    // amdgpu's temp*_crit is where its firmware starts throttling; it is
    // what the driver documents as the sensor's limit.
    if (const auto critical = ReadSigned(fs, stem + "_crit"); critical && *critical > 0)
      health.slowdownTemperatures.emplace(name, *critical * kPerMilli);
  }
  for (const int index : InputIndices(names, "freq")) {
    const auto value = ReadUnsigned(fs, folder + "/freq" + std::to_string(index) + "_input");
    if (value) health.clocks.emplace(ClockName(LabelOf(fs, folder, "freq", index)), *value);
  }
}

// xe: device/tile<T>/gt<G>/freq0/act_freq in MHz. The graphics GT is gt0 of
// the first tile; a media GT (gt1 from Meteor Lake on) runs at its own clock.
void ReadXeClock(const HostFs& fs, const std::string& device, DeviceHealth& health) {
  const auto mhz = ReadUnsigned(fs, device + "/tile0/gt0/freq0/act_freq");
  if (mhz) health.clocks.emplace("graphics", *mhz * kHzPerMHz);
  if (const auto media = ReadUnsigned(fs, device + "/tile0/gt1/freq0/act_freq"))
    health.clocks.emplace("media", *media * kHzPerMHz);
}

}  // namespace

std::string TemperatureName(std::string_view label) {
  std::string name = Lower(label);
  if (name == "mem" || name == "vram") return "memory";
  if (name == "pkg") return "package";
  return name;
}

std::string ClockName(std::string_view label) {
  std::string name = Lower(label);
  if (name == "sclk") return "graphics";
  if (name == "mclk") return "memory";
  return name;
}

DeviceHealth ReadSysfsHealth(const HostFs& fs, std::string_view cardFolder, bool integrated) {
  DeviceHealth health;
  const std::string card(cardFolder);
  const std::string device = card + "/device";
  // One hwmon folder per device; the first one with files is the device's.
  for (const std::string& entry : fs.ListSysDir(device + "/hwmon")) {
    if (entry.rfind("hwmon", 0) != 0) continue;
    ReadHwmon(fs, device + "/hwmon/" + entry, health);
    break;
  }
  health.packagePower = integrated && (health.powerWatts || health.energyJoules);
  if (const auto busy = ReadUnsigned(fs, device + "/gpu_busy_percent"); busy && *busy <= 100)
    health.busyPercent = *busy;
  if (health.clocks.count("graphics") == 0) {
    if (const auto mhz = ReadUnsigned(fs, card + "/gt_act_freq_mhz")) {
      health.clocks.emplace("graphics", *mhz * kHzPerMHz);
    } else {
      ReadXeClock(fs, device, health);
    }
  }
  return health;
}

}  // namespace gpuproc
