// The PDH status values the Linux back end answers with, so that error lines
// read the same as on Windows.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace gpuproc::pdh {

constexpr PdhStatus Status(std::uint32_t value) { return static_cast<PdhStatus>(value); }

inline constexpr PdhStatus kNoInstance = Status(0x800007D1);          // PDH_CSTATUS_NO_INSTANCE
inline constexpr PdhStatus kMoreData = Status(0x800007D2);            // PDH_MORE_DATA
inline constexpr PdhStatus kNoObject = Status(0xC0000BB8);            // PDH_CSTATUS_NO_OBJECT
inline constexpr PdhStatus kNoCounter = Status(0xC0000BB9);           // PDH_CSTATUS_NO_COUNTER
inline constexpr PdhStatus kCStatusInvalidData = Status(0xC0000BBA);  // PDH_CSTATUS_INVALID_DATA
inline constexpr PdhStatus kMemoryAllocationFailure = Status(0xC0000BBB);
inline constexpr PdhStatus kInvalidHandle = Status(0xC0000BBC);    // PDH_INVALID_HANDLE
inline constexpr PdhStatus kInvalidArgument = Status(0xC0000BBD);  // PDH_INVALID_ARGUMENT
inline constexpr PdhStatus kBadCounterName = Status(0xC0000BC0);   // PDH_CSTATUS_BAD_COUNTERNAME
inline constexpr PdhStatus kInvalidData = Status(0xC0000BC6);      // PDH_INVALID_DATA

// Thread error codes (GetLastError values) the back end sets.
inline constexpr std::uint32_t kErrorNotEnoughMemory = 8;  // ERROR_NOT_ENOUGH_MEMORY

}  // namespace gpuproc::pdh
