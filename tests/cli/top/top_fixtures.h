// Fixed models for the screen and key tests: two snapshots one second apart
// of two GPUs, as the library's snapshot document gives them.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "top_model.h"

namespace gpuproc::tool::testing {

// The snapshot document at `time` whose processes are `processes` (JSON
// array members, joined) over the Intel and AMD GPUs of the multi tree.
std::string SnapshotDocument(double time, const std::string& processes);

// A process entry: memory in MiB, `busy` the EngineBusySeconds member and
// `time` when the process's counters were read (the document's without),
// `energy` its EnergyJoulesEstimate (null without).
std::string ProcessEntry(unsigned processId, const std::string& name, const std::string& adapter,
                         double dedicated, const std::string& busy,
                         std::optional<double> time = std::nullopt,
                         std::optional<double> energy = std::nullopt);

inline const std::string kIntel = "luid_0x00000000_0x00000010_phys_0";
inline const std::string kAmd = "luid_0x00000000_0x00000300_phys_0";

// The model after `before` and then `after` (documents), each process
// given `details` in order.
TopModel ModelOf(const std::vector<std::string>& documents,
                 const std::vector<ProcessDetails>& details);

// blender on both GPUs, steam and Xorg on the AMD one; 3D 50% and Copy
// 150% for blender on AMD over the second interval.
TopModel MultiModel();

}  // namespace gpuproc::tool::testing
