// The command line's table of GPU processes: one row per (process, GPU)
// record of GetGPUDataForAllProcesses, fitting an 80-column terminal.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace gpuproc::tool {

// The terminal width the table never reaches: no line is longer than this.
inline constexpr std::size_t kTableWidth = 79;

// "0300" for luid_0x00000000_0x00000300_phys_0 (the low part of the LUID,
// "/<N>" for another physical adapter), followed on Linux by the PCI address
// the back end encodes in it ("03:00.0"), or "card<N>" for a GPU without one.
std::string ShortAdapterName(const std::string& adapter, bool withPciAddress);

// The records as a table sorted by dedicated memory, largest first, with a
// header line; every line ends in '\n'. `records` is the entry point's array.
std::string FormatProcessTable(const nlohmann::json& records, bool withPciAddress);

}  // namespace gpuproc::tool
