// Every read of procfs and sysfs goes through here, rooted at /proc and /sys
// or at HOST_PROC and HOST_SYS, so that a container agent can point the
// library at the host's trees and tests can replay recorded ones.
//
// Replayed trees come from elsewhere (bug reports, writable container roots)
// and may hold what the kernel's own trees never do: links that leave the
// tree, FIFOs and device nodes in place of files. So every path resolves
// inside its root, every open is non-blocking, and a read takes only regular
// files.
#pragma once

#include <unistd.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace gpuproc {

class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  ~UniqueFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int Get() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }
  int Release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

// A root read from the environment, made absolute the first time its value
// is seen and kept while the value stays the same.
class RememberedRoot {
 public:
  std::string Get(const char* variable, const char* fallback);

 private:
  std::mutex mutex_;
  std::string value_;
  std::string absolute_;
};

class HostFs {
 public:
  HostFs(std::string procRoot, std::string sysRoot);
  // Roots from HOST_PROC and HOST_SYS (read with secure_getenv), else /proc
  // and /sys. A relative root is made absolute against the current directory
  // the first time that value is read, so a host changing its directory
  // later does not change the answer. The roots remembered are the
  // process's (platform/linux/process_state.h), which defines this.
  static HostFs FromEnvironment();

  const std::string& ProcRoot() const { return procRoot_; }
  const std::string& SysRoot() const { return sysRoot_; }

  // `relative` is a path below the root, without a leading slash. Anything
  // that cannot be read (gone, EACCES, not dumpable, hidepid, not a regular
  // file, a link out of the tree) is empty.
  std::optional<std::string> ReadProcLink(std::string_view relative) const;
  std::optional<std::string> ReadSysFile(std::string_view relative) const;
  std::optional<std::string> ReadSysLink(std::string_view relative) const;
  // Entry names of a directory, without "." and "..", in the order the
  // file system gives them; empty when it cannot be read.
  std::vector<std::string> ListSysDir(std::string_view relative) const;

  // The /proc root, for reads relative to it with the functions below; -1
  // when it cannot be opened. Owned by this HostFs (and its copies).
  int ProcRootFd() const;
  int SysRootFd() const;

  // 0 when the root opens as a directory this process may read, else the
  // errno of that open (ENOENT, ENOTDIR, EACCES...). Asked anew each time.
  int ProcRootError() const;
  int SysRootError() const;

  // Whole-file reads stop here: no procfs or sysfs file we read is anywhere
  // near it, and a runaway file must not exhaust the host's memory.
  static constexpr std::size_t kMaxFileSize = 4u << 20;

 private:
  // The two roots, each opened once on first use: a call reads dozens of
  // files, and resolving the root's own path for each would cost more than
  // the reads.
  struct RootFds;
  int RootFd(bool proc) const;

  std::string procRoot_;
  std::string sysRoot_;
  std::shared_ptr<RootFds> rootFds_;
};

// Opens `relative` below the directory `rootFd` so that neither ".." nor a
// symbolic link (relative or absolute) leads out of it: openat2 with
// RESOLVE_IN_ROOT, or, where the kernel lacks it, OpenInRootByWalking.
// O_CLOEXEC, and O_NONBLOCK unless O_PATH, on top of `flags`; -1 when it
// cannot.
int OpenInRoot(int rootFd, std::string_view relative, int flags);
// The fallback: one component at a time, following relative links and
// refusing absolute ones.
int OpenInRootByWalking(int rootFd, std::string_view relative, int flags);

// Opens `relative` below `rootFd` for reading if it is a regular file: a
// FIFO, a device node, a socket or a directory is refused (-1).
int OpenRegularFileInRoot(int rootFd, std::string_view relative);
// Reads the rest of `fd` into `content` (replaced), up to
// HostFs::kMaxFileSize bytes.
bool ReadAll(int fd, std::string& content);

}  // namespace gpuproc
