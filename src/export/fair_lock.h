// A lock that serves its callers in the order they arrived.
//
// A plain mutex hands itself to whichever waiter the scheduler wakes first: a
// thread that releases it and asks again at once often wins, and with calls
// that each hold it for a sampling window, another caller was seen to wait
// for 30 s. Here each caller takes a ticket and waits for its number, so no
// caller waits longer than the calls that were queued ahead of it.
//
// On Windows the lock is built on SRWLOCK and CONDITION_VARIABLE: neither
// owns a handle nor memory, so nothing of it outlives FreeLibrary, and no
// threading library is linked into the DLL. Elsewhere the same design runs on
// the standard library's mutex and condition variable.
#pragma once

#include <cstdint>
#include <mutex>

#if defined(_WIN32)
#include <windows.h>
#else
#include <condition_variable>
#endif

namespace gpuproc {

#if defined(_WIN32)
// A short-held exclusive lock (BasicLockable).
class PlainLock {
 public:
  void lock() { ::AcquireSRWLockExclusive(&lock_); }
  void unlock() { ::ReleaseSRWLockExclusive(&lock_); }
  SRWLOCK* native() { return &lock_; }

 private:
  SRWLOCK lock_ = SRWLOCK_INIT;
};

// Wakes the threads waiting for a turn.
class TurnSignal {
 public:
  // `lock` is held on entry and again on return.
  void Wait(PlainLock& lock) { ::SleepConditionVariableSRW(&signal_, lock.native(), INFINITE, 0); }
  void WakeAll() { ::WakeAllConditionVariable(&signal_); }

 private:
  CONDITION_VARIABLE signal_ = CONDITION_VARIABLE_INIT;
};
#else
using PlainLock = std::mutex;

class TurnSignal {
 public:
  void Wait(PlainLock& lock) {
    std::unique_lock<PlainLock> held(lock, std::adopt_lock);
    signal_.wait(held);
    held.release();
  }
  void WakeAll() { signal_.notify_all(); }

 private:
  std::condition_variable signal_;
};
#endif

// BasicLockable, first come first served.
class FairLock {
 public:
  void lock() {
    const std::lock_guard<PlainLock> guard(lock_);
    const std::uint64_t ticket = nextTicket_++;
    while (ticket != nowServing_) turn_.Wait(lock_);
  }

  void unlock() {
    {
      const std::lock_guard<PlainLock> guard(lock_);
      ++nowServing_;
    }
    // Every waiter checks its own number; only the next one goes on.
    turn_.WakeAll();
  }

  // Callers holding a ticket: the one with the lock and those waiting.
  std::uint64_t Holders() {
    const std::lock_guard<PlainLock> guard(lock_);
    return nextTicket_ - nowServing_;
  }

 private:
  PlainLock lock_;
  TurnSignal turn_;
  std::uint64_t nextTicket_ = 0;
  std::uint64_t nowServing_ = 0;
};

}  // namespace gpuproc
