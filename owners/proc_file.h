// Reading a process's small files under HOST_PROC (or /proc) without
// trusting what lies there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace gpuproc {

// HOST_PROC when set and not empty, else "/proc".
std::string HostProcRoot();

// At most `limit` bytes of `path` when it is a regular file; "" otherwise.
// A replayed tree may hold a FIFO at any name, which would block a reader
// for good: the file is opened without waiting.
std::string ReadSmallRegularFile(const std::string& path, std::size_t limit);

}  // namespace gpuproc
