#include "checked_output.h"

#include <cerrno>
#include <iostream>

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

namespace gpuproc::tool {
namespace {

constexpr int kStdout = 1;

// The whole of `data` on file descriptor 1; the errno when a write fails.
int WriteAll(const char* data, std::size_t size) {
  while (size > 0) {
#if defined(_WIN32)
    const int written = ::_write(kStdout, data, static_cast<unsigned>(size));
#else
    const ssize_t written = ::write(kStdout, data, size);
#endif
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return written < 0 ? errno : EIO;
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return 0;
}

}  // namespace

CheckedOutput::CheckedOutput() : previous_(std::cout.rdbuf(this)) {
  setp(buffer_, buffer_ + sizeof buffer_);
}

CheckedOutput::~CheckedOutput() {
  Flush();
  std::cout.rdbuf(previous_);
}

int CheckedOutput::Flush() {
  if (error_ == 0) error_ = WriteAll(pbase(), static_cast<std::size_t>(pptr() - pbase()));
  setp(buffer_, buffer_ + sizeof buffer_);
  return error_;
}

CheckedOutput::int_type CheckedOutput::overflow(int_type c) {
  if (Flush() != 0) return traits_type::eof();
  if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
  *pptr() = traits_type::to_char_type(c);
  pbump(1);
  return c;
}

int CheckedOutput::sync() { return Flush() == 0 ? 0 : -1; }

}  // namespace gpuproc::tool
