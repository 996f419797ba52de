// The command line's table of GPU processes: one row per (process, GPU)
// record of GetGPUDataForAllProcesses, fitting an 80-column terminal.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "read_snapshot.h"

namespace gpuproc::tool {

// The terminal width the table never reaches: no line is longer than this.
inline constexpr std::size_t kTableWidth = 79;

// One GPU of a whole-machine report: its adapter instance name, its name
// (empty when unknown) and its adapter-wide memory in MiB (negative: unread).
struct GpuSummary {
  std::string adapter;
  std::string name;
  double committed;
  double free;
  // From the snapshot's adapters, where there is one; nullopt where unknown.
  std::optional<double> powerWatts, powerLimitWatts;
  std::optional<double> temperatureCelsius;  // the sensor GpuTemperature picks
  std::string kind;                          // "GPU", "NPU"; "" where unknown
};

// The one temperature a summary shows: the sensor a GPU's own tools lead
// with (NVML's "gpu", amdgpu's "edge", then "junction", an integrated GPU's
// "package"), else the first sensor with a reading.
std::optional<double> GpuTemperature(const std::vector<NamedFigure>& temperatures);

// The PCI address the Linux back end encodes in an adapter name
// (luid_0x00000000_0x00000300_phys_0 is "0000:03:00.0"); empty for any other
// name, a GPU without a PCI address among them.
std::string AdapterPciAddress(const std::string& adapter);

// Every GPU the records name, once, ordered by adapter: GPU 0, 1, ...
std::vector<GpuSummary> SummariseGpus(const nlohmann::json& records);

// A header line and one line per GPU: its number, name (after "[NPU] " for a
// device of a kind other than GPU), PCI address (where
// `withPciAddress` and there is one, else "-"; without a domain of 0000),
// committed and free MiB, power (against the limit where there is one) and
// temperature, "-" where unknown.
std::string FormatGpuLines(const std::vector<GpuSummary>& gpus, bool withPciAddress);

// The GPU lines and an empty line (none without records), then the records as a table sorted by
// dedicated memory, largest first, with a header line whose GPU column holds
// the GPU's number; every line ends in '\n'. `records` is the entry point's
// array; `adapters` (the snapshot's) give the GPUs' power and temperature.
std::string FormatProcessTable(const nlohmann::json& records, bool withPciAddress,
                               const std::vector<SnapshotAdapter>& adapters = {});

}  // namespace gpuproc::tool
