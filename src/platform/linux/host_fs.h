// Every read of procfs and sysfs goes through here, rooted at /proc and /sys
// or at HOST_PROC and HOST_SYS, so that a container agent can point the
// library at the host's trees and tests can replay recorded ones.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace gpuproc {

class HostFs {
 public:
  HostFs(std::string procRoot, std::string sysRoot);
  // Roots from HOST_PROC and HOST_SYS (read with secure_getenv), else /proc
  // and /sys.
  static HostFs FromEnvironment();

  const std::string& ProcRoot() const { return procRoot_; }
  const std::string& SysRoot() const { return sysRoot_; }

  // `relative` is a path below the root, without a leading slash. Anything
  // that cannot be read (gone, EACCES, not dumpable, hidepid) is empty.
  std::optional<std::string> ReadProcFile(std::string_view relative) const;
  std::optional<std::string> ReadProcLink(std::string_view relative) const;
  std::optional<std::string> ReadSysFile(std::string_view relative) const;
  std::optional<std::string> ReadSysLink(std::string_view relative) const;
  // Entry names of a directory, without "." and "..", in the order the
  // file system gives them; empty when it cannot be read.
  std::vector<std::string> ListProcDir(std::string_view relative) const;
  std::vector<std::string> ListSysDir(std::string_view relative) const;

  // Whole-file reads stop here: no procfs or sysfs file we read is anywhere
  // near it, and a runaway file must not exhaust the host's memory.
  static constexpr std::size_t kMaxFileSize = 4u << 20;

 private:
  std::string procRoot_;
  std::string sysRoot_;
};

// Reads a whole file (up to HostFs::kMaxFileSize) or a symbolic link's target.
std::optional<std::string> ReadWholeFile(const std::string& path);
std::optional<std::string> ReadLinkTarget(const std::string& path);
std::vector<std::string> ListDirectory(const std::string& path);

}  // namespace gpuproc
