// A fixed number of threads taking tasks from a bounded queue: the server's
// event threads hand slow work (bcrypt checks, readings) here and never
// block on it themselves.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace gpuproc {

class WorkPool {
 public:
  WorkPool(unsigned threads, std::size_t capacity);
  ~WorkPool();
  WorkPool(const WorkPool&) = delete;
  WorkPool& operator=(const WorkPool&) = delete;

  // False, and the task dropped, when `capacity` tasks are already waiting.
  bool Submit(std::function<void()> task);

 private:
  void Run();

  const std::size_t capacity_;
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::function<void()>> tasks_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace gpuproc
