#include "work_pool.h"

namespace gpuproc {

WorkPool::WorkPool(unsigned threads, std::size_t capacity) : capacity_(capacity) {
  for (unsigned i = 0; i < threads; ++i) threads_.emplace_back([this] { Run(); });
}

WorkPool::~WorkPool() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  ready_.notify_all();
  for (std::thread& thread : threads_) thread.join();
}

bool WorkPool::Submit(std::function<void()> task) {
  {
    std::lock_guard lock(mutex_);
    if (tasks_.size() >= capacity_) return false;
    tasks_.push_back(std::move(task));
  }
  ready_.notify_one();
  return true;
}

void WorkPool::Run() {
  for (;;) {
    std::function<void()> task;
    {
      std::unique_lock lock(mutex_);
      ready_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
      if (stopping_) return;
      task = std::move(tasks_.front());
      tasks_.pop_front();
    }
    task();
  }
}

}  // namespace gpuproc
