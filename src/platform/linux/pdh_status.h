// The PDH status values the Linux back end answers with, so that error lines
// read the same as on Windows.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace gpuproc::pdh {

constexpr PdhStatus Status(std::uint32_t value) { return static_cast<PdhStatus>(value); }

inline constexpr PdhStatus kMoreData = Status(0x800007D2);            // PDH_MORE_DATA
inline constexpr PdhStatus kNoObject = Status(0xC0000BB8);            // PDH_CSTATUS_NO_OBJECT
inline constexpr PdhStatus kNoCounter = Status(0xC0000BB9);           // PDH_CSTATUS_NO_COUNTER
inline constexpr PdhStatus kCStatusInvalidData = Status(0xC0000BBA);  // PDH_CSTATUS_INVALID_DATA
inline constexpr PdhStatus kMemoryAllocationFailure = Status(0xC0000BBB);
inline constexpr PdhStatus kInvalidHandle = Status(0xC0000BBC);    // PDH_INVALID_HANDLE
inline constexpr PdhStatus kInvalidArgument = Status(0xC0000BBD);  // PDH_INVALID_ARGUMENT
inline constexpr PdhStatus kBadCounterName = Status(0xC0000BC0);   // PDH_CSTATUS_BAD_COUNTERNAME
inline constexpr PdhStatus kInvalidData = Status(0xC0000BC6);      // PDH_INVALID_DATA
// The trees the back end reads stand for the machine PDH would connect to.
inline constexpr PdhStatus kCannotConnectMachine =
    Status(0xC0000BC3);  // PDH_CANNOT_CONNECT_MACHINE

// Thread error codes (GetLastError values) the back end sets.
inline constexpr std::uint32_t kErrorNotEnoughMemory = 8;  // ERROR_NOT_ENOUGH_MEMORY
// HOST_PROC or HOST_SYS (or /proc, /sys) is not a readable directory. Bit 29
// marks a code of this back end's own, as Windows reserves it for
// applications; the message names the variable, the path and the reason.
inline constexpr std::uint32_t kErrorRootUnreadable = 0x20000001;

}  // namespace gpuproc::pdh
