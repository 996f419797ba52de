#include "proc_file.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

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
    // Read through a small buffer: these files are mostly a few hundred
    // bytes, and an exporter reads thousands of them per scrape.
    char chunk[4096];
    while (text.size() < limit) {
      const ssize_t got = ::read(fd, chunk, std::min(sizeof chunk, limit - text.size()));
      if (got <= 0) break;
      text.append(chunk, static_cast<std::size_t>(got));
    }
  }
  ::close(fd);
  return text;
}

}  // namespace gpuproc
