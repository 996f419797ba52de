#include "platform/linux/host_fs.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>

namespace gpuproc {
namespace {

std::string Join(const std::string& root, std::string_view relative) {
  std::string path = root;
  if (path.empty() || path.back() != '/') path += '/';
  path.append(relative);
  return path;
}

std::string RootFromEnvironment(const char* variable, const char* fallback) {
  const char* value = secure_getenv(variable);
  return (value != nullptr && *value != '\0') ? std::string(value) : std::string(fallback);
}

struct FdCloser {
  int fd;
  ~FdCloser() {
    if (fd >= 0) ::close(fd);
  }
};

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};

}  // namespace

HostFs::HostFs(std::string procRoot, std::string sysRoot)
    : procRoot_(std::move(procRoot)), sysRoot_(std::move(sysRoot)) {}

HostFs HostFs::FromEnvironment() {
  return HostFs(RootFromEnvironment("HOST_PROC", "/proc"), RootFromEnvironment("HOST_SYS", "/sys"));
}

std::optional<std::string> HostFs::ReadProcFile(std::string_view relative) const {
  return ReadWholeFile(Join(procRoot_, relative));
}
std::optional<std::string> HostFs::ReadProcLink(std::string_view relative) const {
  return ReadLinkTarget(Join(procRoot_, relative));
}
std::optional<std::string> HostFs::ReadSysFile(std::string_view relative) const {
  return ReadWholeFile(Join(sysRoot_, relative));
}
std::optional<std::string> HostFs::ReadSysLink(std::string_view relative) const {
  return ReadLinkTarget(Join(sysRoot_, relative));
}
std::vector<std::string> HostFs::ListProcDir(std::string_view relative) const {
  return ListDirectory(Join(procRoot_, relative));
}
std::vector<std::string> HostFs::ListSysDir(std::string_view relative) const {
  return ListDirectory(Join(sysRoot_, relative));
}

std::optional<std::string> ReadWholeFile(const std::string& path) {
  FdCloser file{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
  if (file.fd < 0) return std::nullopt;
  std::string content;
  char chunk[4096];
  while (content.size() < HostFs::kMaxFileSize) {
    const ssize_t got = ::read(file.fd, chunk, sizeof chunk);
    if (got < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    if (got == 0) break;
    content.append(chunk, static_cast<std::size_t>(got));
  }
  if (content.size() > HostFs::kMaxFileSize) content.resize(HostFs::kMaxFileSize);
  return content;
}

std::optional<std::string> ReadLinkTarget(const std::string& path) {
  std::string target(256, '\0');
  for (;;) {
    const ssize_t got = ::readlink(path.c_str(), target.data(), target.size());
    if (got < 0) return std::nullopt;
    // readlink truncates silently; only a result shorter than the buffer is whole.
    if (static_cast<std::size_t>(got) < target.size()) {
      target.resize(static_cast<std::size_t>(got));
      return target;
    }
    if (target.size() >= 65536) return std::nullopt;
    target.resize(target.size() * 2);
  }
}

std::vector<std::string> ListDirectory(const std::string& path) {
  std::vector<std::string> names;
  std::unique_ptr<DIR, DirCloser> dir(::opendir(path.c_str()));
  if (!dir) return names;
  while (const dirent* entry = ::readdir(dir.get())) {
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    names.emplace_back(name);
  }
  return names;
}

}  // namespace gpuproc
