#include "export/fair_lock.h"

#include <gtest/gtest.h>

#include <mutex>
#include <thread>
#include <vector>

namespace gpuproc {
namespace {

// Threads queue one by one behind a held lock, each only once the one
// before holds its ticket: they get the lock in exactly that order, and the
// holder that lets go and asks again at once queues behind them all (a plain
// mutex usually lets it barge in first).
TEST(FairLock, WaitersGetTheLockInArrivalOrder) {
  constexpr int kWaiters = 6;
  FairLock lock;
  std::vector<int> order;
  std::vector<std::thread> waiters;
  lock.lock();
  for (int waiter = 0; waiter < kWaiters; ++waiter) {
    waiters.emplace_back([&lock, &order, waiter] {
      const std::lock_guard<FairLock> held(lock);
      order.push_back(waiter);
    });
    while (lock.Holders() != static_cast<std::uint64_t>(waiter) + 2) std::this_thread::yield();
  }
  lock.unlock();
  {
    const std::lock_guard<FairLock> again(lock);
    order.push_back(kWaiters);
  }
  for (std::thread& waiter : waiters) waiter.join();
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(lock.Holders(), 0u);
}

}  // namespace
}  // namespace gpuproc
