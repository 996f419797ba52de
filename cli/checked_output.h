// The command's standard output: a buffer over file descriptor 1 that keeps
// the first failed write, so that a full disk or a closed pipe ends the
// command with an error instead of a silent success.
#pragma once

#include <streambuf>

namespace gpuproc::tool {

// std::cout's own state cannot tell: the library writes the per-process
// reports through the same std::cout (on Linux, where both share libstdc++)
// and clears the stream's error state afterwards, so that a host's stream
// keeps working. The failure is kept here, where clear() cannot reach it.
class CheckedOutput final : public std::streambuf {
 public:
  // Takes std::cout over until destroyed.
  CheckedOutput();
  ~CheckedOutput() override;
  CheckedOutput(const CheckedOutput&) = delete;
  CheckedOutput& operator=(const CheckedOutput&) = delete;

  // Writes what is buffered; the errno of the first write that failed, 0
  // while none has. After a failure the output is dropped.
  int Flush();

 protected:
  int_type overflow(int_type c) override;
  int sync() override;

 private:
  char buffer_[8192];
  std::streambuf* previous_;
  int error_ = 0;
};

}  // namespace gpuproc::tool
