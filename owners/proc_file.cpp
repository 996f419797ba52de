#include "proc_file.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

namespace gpuproc {

std::string HostProcRoot() {
  const char* root = ::secure_getenv("HOST_PROC");
  return root != nullptr && *root != '\0' ? root : "/proc";
}

std::string ReadSmallRegularFile(const std::string& path, std::size_t limit) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return {};
  std::string text;
  struct stat status {};
  if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) {
    text.resize(limit);
    std::size_t used = 0;
    while (used < text.size()) {
      const ssize_t got = ::read(fd, text.data() + used, text.size() - used);
      if (got <= 0) break;
      used += static_cast<std::size_t>(got);
    }
    text.resize(used);
  }
  ::close(fd);
  return text;
}

}  // namespace gpuproc
