#include "platform/linux/host_fs.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>

namespace gpuproc {
namespace {

// The kernel's own limit on links followed in one lookup.
constexpr int kMaxLinks = 40;

std::atomic<bool> openat2Missing{false};

int DirectoryOpenError(const std::string& path) {
  const UniqueFd dir(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK));
  return dir.Valid() ? 0 : errno;
}

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};

std::optional<std::string> ReadFileInRoot(int rootFd, std::string_view relative) {
  if (rootFd < 0) return std::nullopt;
  const UniqueFd file(OpenRegularFileInRoot(rootFd, relative));
  std::string content;
  if (!file.Valid() || !ReadAll(file.Get(), content)) return std::nullopt;
  return content;
}

std::optional<std::string> ReadLinkAt(int dirFd, const char* name) {
  std::string target(256, '\0');
  for (;;) {
    const ssize_t got = ::readlinkat(dirFd, name, target.data(), target.size());
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

// The link itself is read, not followed; the folders above it resolve
// inside the root.
std::optional<std::string> ReadLinkInRoot(int rootFd, std::string_view relative) {
  if (rootFd < 0) return std::nullopt;
  const std::size_t slash = relative.rfind('/');
  const std::string name(slash == std::string_view::npos ? relative : relative.substr(slash + 1));
  if (slash == std::string_view::npos) return ReadLinkAt(rootFd, name.c_str());
  const UniqueFd parent(OpenInRoot(rootFd, relative.substr(0, slash), O_PATH | O_DIRECTORY));
  if (!parent.Valid()) return std::nullopt;
  return ReadLinkAt(parent.Get(), name.c_str());
}

std::vector<std::string> ListInRoot(int rootFd, std::string_view relative) {
  std::vector<std::string> names;
  if (rootFd < 0) return names;
  const int dirFd = OpenInRoot(rootFd, relative, O_RDONLY | O_DIRECTORY);
  if (dirFd < 0) return names;
  std::unique_ptr<DIR, DirCloser> dir(::fdopendir(dirFd));
  if (!dir) {
    ::close(dirFd);
    return names;
  }
  while (const dirent* entry = ::readdir(dir.get())) {
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    names.emplace_back(name);
  }
  return names;
}

}  // namespace

struct HostFs::RootFds {
  std::optional<UniqueFd> proc;
  std::optional<UniqueFd> sys;
};

HostFs::HostFs(std::string procRoot, std::string sysRoot)
    : procRoot_(std::move(procRoot)),
      sysRoot_(std::move(sysRoot)),
      rootFds_(std::make_shared<RootFds>()) {}

int HostFs::RootFd(bool proc) const {
  std::optional<UniqueFd>& fd = proc ? rootFds_->proc : rootFds_->sys;
  if (!fd) {
    const std::string& root = proc ? procRoot_ : sysRoot_;
    fd.emplace(::open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  }
  return fd->Get();
}

std::string RememberedRoot::Get(const char* variable, const char* fallback) {
  const char* value = secure_getenv(variable);
  const std::string text = (value != nullptr && *value != '\0') ? value : fallback;
  const std::lock_guard<std::mutex> lock(mutex_);
  if (text != value_) {
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(text, error);
    value_ = text;
    absolute_ = error ? text : absolute.string();
  }
  return absolute_;
}

std::optional<std::string> HostFs::ReadProcLink(std::string_view relative) const {
  return ReadLinkInRoot(RootFd(true), relative);
}
std::optional<std::string> HostFs::ReadSysFile(std::string_view relative) const {
  return ReadFileInRoot(RootFd(false), relative);
}
std::optional<std::string> HostFs::ReadSysLink(std::string_view relative) const {
  return ReadLinkInRoot(RootFd(false), relative);
}
std::vector<std::string> HostFs::ListSysDir(std::string_view relative) const {
  return ListInRoot(RootFd(false), relative);
}
int HostFs::ProcRootFd() const { return RootFd(true); }
int HostFs::SysRootFd() const { return RootFd(false); }

int HostFs::ProcRootError() const { return DirectoryOpenError(procRoot_); }
int HostFs::SysRootError() const { return DirectoryOpenError(sysRoot_); }

int OpenInRoot(int rootFd, std::string_view relative, int flags) {
  // openat2 refuses O_PATH with any flag it would ignore; O_PATH opens
  // nothing that could block anyway.
  flags |= (flags & O_PATH) != 0 ? O_CLOEXEC : O_CLOEXEC | O_NONBLOCK;
  if (!openat2Missing.load(std::memory_order_relaxed)) {
    open_how how{};
    how.flags = static_cast<std::uint64_t>(flags);
    // Magic links (/proc/<pid>/fd/N, exe, cwd) are only ever read, never
    // walked through: one in the middle of a path would leave the tree.
    how.resolve = RESOLVE_IN_ROOT | RESOLVE_NO_MAGICLINKS;
    const std::string path(relative);
    for (int attempt = 0; attempt < 3; ++attempt) {
      const long fd = ::syscall(SYS_openat2, rootFd, path.c_str(), &how, sizeof how);
      if (fd >= 0) return static_cast<int>(fd);
      // A rename inside the tree during the lookup: the kernel asks to retry.
      if (errno == EAGAIN) continue;
      // No openat2 (before Linux 5.6), or a seccomp filter that refuses it.
      if (errno != ENOSYS && errno != EPERM) return -1;
      openat2Missing.store(true, std::memory_order_relaxed);
      break;
    }
    if (!openat2Missing.load(std::memory_order_relaxed)) return -1;
  }
  return OpenInRootByWalking(rootFd, relative, flags);
}

int OpenInRootByWalking(int rootFd, std::string_view relative, int flags) {
  flags |= (flags & O_PATH) != 0 ? O_CLOEXEC : O_CLOEXEC | O_NONBLOCK;
  // The components still to walk, last first, so that a link's target can be
  // put in front of the rest.
  std::vector<std::string> pending;
  const auto push = [&pending](std::string_view path) {
    while (!path.empty()) {
      const std::size_t slash = path.rfind('/');
      const std::string_view component =
          slash == std::string_view::npos ? path : path.substr(slash + 1);
      if (!component.empty() && component != ".") pending.emplace_back(component);
      path = slash == std::string_view::npos ? std::string_view() : path.substr(0, slash);
    }
  };
  push(relative);
  UniqueFd current(::openat(rootFd, ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!current.Valid()) return -1;
  int depth = 0;  // folders below the root; ".." stops at the root
  int links = 0;
  char target[4096];
  while (!pending.empty()) {
    const std::string name = std::move(pending.back());
    pending.pop_back();
    if (name == "..") {
      if (depth == 0) continue;
      current = UniqueFd(::openat(current.Get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
      if (!current.Valid()) return -1;
      --depth;
      continue;
    }
    const ssize_t length = ::readlinkat(current.Get(), name.c_str(), target, sizeof target);
    if (length >= 0) {
      // An absolute target names the host's own tree, not the replayed one.
      if (++links > kMaxLinks || length == 0 || length >= static_cast<ssize_t>(sizeof target) ||
          target[0] == '/') {
        return -1;
      }
      push(std::string_view(target, static_cast<std::size_t>(length)));
      continue;
    }
    if (errno != EINVAL) return -1;  // gone, or no right to look
    if (pending.empty()) {
      return ::openat(current.Get(), name.c_str(), flags | O_NOFOLLOW);
    }
    current = UniqueFd(
        ::openat(current.Get(), name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!current.Valid()) return -1;
    ++depth;
  }
  // The path named the root itself.
  return ::openat(current.Get(), ".", flags);
}

int OpenRegularFileInRoot(int rootFd, std::string_view relative) {
  UniqueFd file(OpenInRoot(rootFd, relative, O_RDONLY));
  struct stat status {};
  if (!file.Valid() || ::fstat(file.Get(), &status) != 0 || !S_ISREG(status.st_mode)) return -1;
  return file.Release();
}

bool ReadAll(int fd, std::string& content) {
  content.clear();
  char chunk[4096];
  while (content.size() < HostFs::kMaxFileSize) {
    const ssize_t got = ::read(fd, chunk, sizeof chunk);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (got == 0) break;
    content.append(chunk, static_cast<std::size_t>(got));
  }
  if (content.size() > HostFs::kMaxFileSize) content.resize(HostFs::kMaxFileSize);
  return true;
}

}  // namespace gpuproc
