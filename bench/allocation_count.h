// Heap allocations counted by a replaced operator new, for benchmarks that
// report allocations per call or per fd. Linking a program that calls
// AllocationCount() brings the counting operator new into it.
#pragma once

#include <cstdint>

namespace gpuproc::bench {

// Allocations through operator new since the program started.
std::uint64_t AllocationCount();

}  // namespace gpuproc::bench
