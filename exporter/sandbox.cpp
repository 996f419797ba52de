#include "sandbox.h"

#include <fcntl.h>
#include <link.h>
#include <linux/landlock.h>
#include <seccomp.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>

namespace gpuproc {

namespace {

// Every file system right of Landlock ABI 1; ABI 2 adds REFER. Handling a
// right and granting it nowhere is what forbids it.
constexpr __u64 kRightsV1 =
    LANDLOCK_ACCESS_FS_EXECUTE | LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_READ_FILE |
    LANDLOCK_ACCESS_FS_READ_DIR | LANDLOCK_ACCESS_FS_REMOVE_DIR | LANDLOCK_ACCESS_FS_REMOVE_FILE |
    LANDLOCK_ACCESS_FS_MAKE_CHAR | LANDLOCK_ACCESS_FS_MAKE_DIR | LANDLOCK_ACCESS_FS_MAKE_REG |
    LANDLOCK_ACCESS_FS_MAKE_SOCK | LANDLOCK_ACCESS_FS_MAKE_FIFO | LANDLOCK_ACCESS_FS_MAKE_BLOCK |
    LANDLOCK_ACCESS_FS_MAKE_SYM;

struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

std::string Errno(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

// The ruleset for `readable`, or -1 with `error` set; `missing` is set when
// the kernel has no Landlock at all.
int LandlockRuleset(const std::vector<std::string>& readable, bool& missing, std::string& error) {
  const long abi =
      ::syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
  if (abi < 1) {
    missing = true;
    error = Errno("Landlock");
    return -1;
  }
  landlock_ruleset_attr attributes{};
  attributes.handled_access_fs = kRightsV1 | (abi >= 2 ? LANDLOCK_ACCESS_FS_REFER : 0);
  const int ruleset =
      static_cast<int>(::syscall(SYS_landlock_create_ruleset, &attributes, sizeof attributes, 0));
  if (ruleset < 0) {
    error = Errno("landlock_create_ruleset");
    return -1;
  }
  for (const std::string& path : readable) {
    Fd parent{::open(path.c_str(), O_PATH | O_CLOEXEC)};
    struct stat status {};
    if (parent.fd < 0 || ::fstat(parent.fd, &status) != 0) continue;
    landlock_path_beneath_attr rule{};
    rule.parent_fd = parent.fd;
    rule.allowed_access =
        LANDLOCK_ACCESS_FS_READ_FILE | (S_ISDIR(status.st_mode) ? LANDLOCK_ACCESS_FS_READ_DIR : 0);
    if (::syscall(SYS_landlock_add_rule, ruleset, LANDLOCK_RULE_PATH_BENEATH, &rule, 0) != 0) {
      error = Errno(("landlock_add_rule " + path).c_str());
      ::close(ruleset);
      return -1;
    }
  }
  return ruleset;
}

std::string SeccompFilter() {
  scmp_filter_ctx filter = ::seccomp_init(SCMP_ACT_ALLOW);
  if (filter == nullptr) return "seccomp_init failed";
  // Threads started before (the library's, the server's) get it too.
  int status = ::seccomp_attr_set(filter, SCMP_FLTATR_CTL_TSYNC, 1);
  for (const int call : {SCMP_SYS(process_vm_writev), SCMP_SYS(process_vm_readv), SCMP_SYS(ptrace),
                         SCMP_SYS(pidfd_getfd), SCMP_SYS(mount), SCMP_SYS(open_by_handle_at)}) {
    if (status == 0) status = ::seccomp_rule_add(filter, SCMP_ACT_ERRNO(EPERM), call, 0);
  }
  // Its flags are out of a filter's reach: callers fall back to openat.
  if (status == 0)
    status = ::seccomp_rule_add(filter, SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(openat2), 0);
  for (const int call : {SCMP_SYS(creat), SCMP_SYS(truncate)}) {
    if (status == 0) status = ::seccomp_rule_add(filter, SCMP_ACT_ERRNO(EACCES), call, 0);
  }
  const struct {
    scmp_datum_t mask;
    scmp_datum_t value;
  } writes[] = {{O_ACCMODE, O_WRONLY}, {O_ACCMODE, O_RDWR}, {O_CREAT, O_CREAT}, {O_TRUNC, O_TRUNC}};
  // The flags are open's second argument and openat's third. Spelled as C++
  // aggregates: SCMP_A1() and SCMP_A2() are C99 compound literals, which
  // clang rejects in C++ under -Wpedantic.
  for (const auto& write : writes) {
    if (status == 0) {
      status = ::seccomp_rule_add(filter, SCMP_ACT_ERRNO(EACCES), SCMP_SYS(open), 1,
                                  scmp_arg_cmp{1, SCMP_CMP_MASKED_EQ, write.mask, write.value});
    }
    if (status == 0) {
      status = ::seccomp_rule_add(filter, SCMP_ACT_ERRNO(EACCES), SCMP_SYS(openat), 1,
                                  scmp_arg_cmp{2, SCMP_CMP_MASKED_EQ, write.mask, write.value});
    }
  }
  if (status == 0) status = ::seccomp_load(filter);
  ::seccomp_release(filter);
  return status == 0 ? std::string() : std::string("seccomp: ") + std::strerror(-status);
}

}  // namespace

SandboxResult ConfineProcess(const std::vector<std::string>& readable) {
  SandboxResult result;
  bool missing = false;
  std::string landlockError;
  Fd ruleset{LandlockRuleset(readable, missing, landlockError)};
  if (ruleset.fd < 0 && !missing) {
    result.error = landlockError;
    return result;
  }
  if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
    result.error = Errno("PR_SET_NO_NEW_PRIVS");
    return result;
  }
  if (ruleset.fd >= 0) {
    if (::syscall(SYS_landlock_restrict_self, ruleset.fd, 0) != 0) {
      result.error = Errno("landlock_restrict_self");
      return result;
    }
    result.landlock = true;
  } else {
    result.note = landlockError + "; confined by seccomp alone";
  }
  result.error = SeccompFilter();
  result.confined = result.error.empty();
  return result;
}

std::vector<std::string> LoadedLibraryFolders() {
  std::set<std::string> folders;
  ::dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void* data) {
        const std::string name = info->dlpi_name != nullptr ? info->dlpi_name : "";
        const std::size_t slash = name.rfind('/');
        if (slash != std::string::npos && slash > 0) {
          static_cast<std::set<std::string>*>(data)->insert(name.substr(0, slash));
        }
        return 0;
      },
      &folders);
  return {folders.begin(), folders.end()};
}

}  // namespace gpuproc
