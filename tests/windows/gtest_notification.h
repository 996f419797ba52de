// Force-included into GoogleTest's Windows build. GoogleTest 1.12 defines its
// internal Notification over std::mutex and std::condition_variable, which
// the win32 toolchain's C++ library (GCC 12) does not have; this one is a
// Win32 manual-reset event, and GTEST_HAS_NOTIFICATION_ tells GoogleTest to
// use it.
#pragma once

#include <windows.h>

namespace testing::internal {

class Notification {
 public:
  Notification() : event_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
  ~Notification() { ::CloseHandle(event_); }
  Notification(const Notification&) = delete;
  Notification& operator=(const Notification&) = delete;

  void Notify() { ::SetEvent(event_); }
  void WaitForNotification() { ::WaitForSingleObject(event_, INFINITE); }

 private:
  HANDLE event_;
};

}  // namespace testing::internal
