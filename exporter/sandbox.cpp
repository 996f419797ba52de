#include "sandbox.h"

#include <fcntl.h>
#include <link.h>
#include <linux/capability.h>
#include <linux/landlock.h>
#include <sched.h>
#include <seccomp.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <set>

namespace gpuproc {

namespace {

// Landlock's ruleset attribute and rights as of ABI 6, which Debian 12's
// kernel headers (ABI 2) lack; the kernel takes the attribute's size as
// the ABI the caller knows.
struct RulesetAttributes {
  std::uint64_t handledAccessFs = 0;
  std::uint64_t handledAccessNet = 0;  // ABI 4
  std::uint64_t scoped = 0;            // ABI 6
};
constexpr std::uint64_t kAccessFsTruncate = 1ull << 14;  // ABI 3
constexpr std::uint64_t kAccessFsIoctlDev = 1ull << 15;  // ABI 5
constexpr std::uint64_t kAccessNetBindTcp = 1ull << 0;
constexpr std::uint64_t kAccessNetConnectTcp = 1ull << 1;
constexpr std::uint64_t kScopeAbstractUnixSocket = 1ull << 0;
constexpr std::uint64_t kScopeSignal = 1ull << 1;

// Every file system right of ABI 1. Handling a right and granting it
// nowhere is what forbids it.
constexpr std::uint64_t kRightsV1 =
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

std::string Errno(const std::string& what) { return what + ": " + std::strerror(errno); }

// ---- capabilities ------------------------------------------------------

bool ReadCapabilities(__user_cap_data_struct (&data)[2]) {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  return ::syscall(SYS_capget, &header, data) == 0;
}

CapabilityMask Effective(const __user_cap_data_struct (&data)[2]) {
  return static_cast<CapabilityMask>(data[0].effective) |
         static_cast<CapabilityMask>(data[1].effective) << 32;
}

CapabilityMask Permitted(const __user_cap_data_struct (&data)[2]) {
  return static_cast<CapabilityMask>(data[0].permitted) |
         static_cast<CapabilityMask>(data[1].permitted) << 32;
}

constexpr CapabilityMask Bit(int capability) { return 1ull << capability; }

// ---- Landlock ----------------------------------------------------------

// -1 with errno ENOSYS or EOPNOTSUPP where the kernel has no Landlock (not
// built, or not enabled at boot).
long LandlockAbi() {
  return ::syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
}

// Applies the network side's ruleset; `error` set on any failure.
bool RestrictWithLandlock(long abi, const std::vector<std::string>& readable, std::string& error) {
  RulesetAttributes attributes;
  attributes.handledAccessFs = kRightsV1 | (abi >= 2 ? LANDLOCK_ACCESS_FS_REFER : 0) |
                               (abi >= 3 ? kAccessFsTruncate : 0) |
                               (abi >= 5 ? kAccessFsIoctlDev : 0);
  std::size_t size = sizeof attributes.handledAccessFs;
  if (abi >= 4) {
    // Handled with no rule: it binds nothing and connects nowhere. Its
    // sockets were bound before; accepting on them is not a network right.
    attributes.handledAccessNet = kAccessNetBindTcp | kAccessNetConnectTcp;
    size = offsetof(RulesetAttributes, scoped);
  }
  if (abi >= 6) {
    attributes.scoped = kScopeAbstractUnixSocket | kScopeSignal;
    size = sizeof attributes;
  }
  Fd ruleset{static_cast<int>(::syscall(SYS_landlock_create_ruleset, &attributes, size, 0))};
  if (ruleset.fd < 0) {
    error = Errno("landlock_create_ruleset");
    return false;
  }
  for (const std::string& path : readable) {
    Fd parent{::open(path.c_str(), O_PATH | O_CLOEXEC)};
    struct stat status {};
    if (parent.fd < 0 || ::fstat(parent.fd, &status) != 0) continue;  // gone: nothing to read
    // A folder's files may be read, the folder not listed: a renewed
    // certificate renamed over the old one is a new file there.
    landlock_path_beneath_attr rule{};
    rule.parent_fd = parent.fd;
    rule.allowed_access = LANDLOCK_ACCESS_FS_READ_FILE;
    if (::syscall(SYS_landlock_add_rule, ruleset.fd, LANDLOCK_RULE_PATH_BENEATH, &rule, 0) != 0) {
      error = Errno("landlock_add_rule " + path);
      return false;
    }
  }
  if (::syscall(SYS_landlock_restrict_self, ruleset.fd, 0) != 0) {
    error = Errno("landlock_restrict_self");
    return false;
  }
  return true;
}

// ---- seccomp -----------------------------------------------------------

// SCMP_A<n> without its compound literal (a C99 feature to C++).
constexpr scmp_arg_cmp Arg(unsigned argument, scmp_compare op, scmp_datum_t a, scmp_datum_t b = 0) {
  return scmp_arg_cmp{argument, op, a, b};
}

// An allow-list under construction: every call not added is refused with
// EPERM, on every thread of the process.
class AllowList {
 public:
  AllowList() : filter_(::seccomp_init(SCMP_ACT_ERRNO(EPERM))) {
    if (filter_ == nullptr) status_ = -ENOMEM;
    Set(::seccomp_attr_set(filter_, SCMP_FLTATR_CTL_TSYNC, 1));
  }
  ~AllowList() {
    if (filter_ != nullptr) ::seccomp_release(filter_);
  }
  AllowList(const AllowList&) = delete;
  AllowList& operator=(const AllowList&) = delete;

  void Allow(std::initializer_list<int> calls) {
    for (const int call : calls) Set(::seccomp_rule_add(filter_, SCMP_ACT_ALLOW, call, 0));
  }
  template <typename... Conditions>
  void AllowIf(int call, Conditions... conditions) {
    Set(::seccomp_rule_add(filter_, SCMP_ACT_ALLOW, call, sizeof...(conditions), conditions...));
  }
  void Refuse(int call, int error) {
    Set(::seccomp_rule_add(filter_, SCMP_ACT_ERRNO(error), call, 0));
  }

  // What every part of the exporter takes: memory without new executable
  // mappings, threads without new namespaces or processes, reading what
  // is open or opened read-only, time, and exit.
  void AllowCommon() {
#ifdef GPUPROC_SANITIZER_RUNTIME
    // A sanitizer's runtime tells readable memory from unreadable by
    // writing it into a pipe of its own (UBSan's vptr check, the reports):
    // allowed in those test builds only, never in what ships.
    Allow({SCMP_SYS(pipe), SCMP_SYS(pipe2), SCMP_SYS(write)});
#endif
    Allow({SCMP_SYS(read),
           SCMP_SYS(readv),
           SCMP_SYS(pread64),
           SCMP_SYS(close),
           SCMP_SYS(fstat),
           SCMP_SYS(newfstatat),
           SCMP_SYS(statx),
           SCMP_SYS(lseek),
           SCMP_SYS(getdents64),
           SCMP_SYS(readlinkat),
           SCMP_SYS(readlink),
           SCMP_SYS(brk),
           SCMP_SYS(munmap),
           SCMP_SYS(mremap),
           SCMP_SYS(madvise),
           SCMP_SYS(futex),
           SCMP_SYS(set_robust_list),
           SCMP_SYS(rseq),
           SCMP_SYS(rt_sigprocmask),
           SCMP_SYS(rt_sigreturn),
           SCMP_SYS(rt_sigaction),
           SCMP_SYS(rt_sigtimedwait),
           SCMP_SYS(sigaltstack),
           SCMP_SYS(clock_gettime),
           SCMP_SYS(clock_getres),
           SCMP_SYS(clock_nanosleep),
           SCMP_SYS(nanosleep),
           SCMP_SYS(gettimeofday),
           SCMP_SYS(getpid),
           SCMP_SYS(gettid),
           SCMP_SYS(getppid),
           SCMP_SYS(getuid),
           SCMP_SYS(geteuid),
           SCMP_SYS(getgid),
           SCMP_SYS(getegid),
           SCMP_SYS(sched_yield),
           SCMP_SYS(sched_getaffinity),
           SCMP_SYS(getrandom),
           SCMP_SYS(poll),
           SCMP_SYS(ppoll),
           SCMP_SYS(restart_syscall),
           SCMP_SYS(exit),
           SCMP_SYS(exit_group),
           SCMP_SYS(uname)});
    // Flags and descriptors only: F_SETOWN and F_SETSIG would have the
    // kernel signal another process on its behalf. (One comparison per
    // argument and rule: libseccomp refuses more.)
    for (const scmp_datum_t command :
         {F_GETFD, F_SETFD, F_GETFL, F_SETFL, F_DUPFD, F_DUPFD_CLOEXEC}) {
      AllowIf(SCMP_SYS(fcntl), Arg(1, SCMP_CMP_EQ, command));
    }
    // Limits read, never raised (RLIMIT_NOFILE was raised before).
    AllowIf(SCMP_SYS(prlimit64), Arg(2, SCMP_CMP_EQ, 0));
    // A signal only to itself (abort, a thread's cancellation).
    AllowIf(SCMP_SYS(tgkill), Arg(0, SCMP_CMP_EQ, static_cast<scmp_datum_t>(::getpid())));
    // No new executable memory: whatever is run was mapped before.
    AllowIf(SCMP_SYS(mmap), Arg(2, SCMP_CMP_MASKED_EQ, PROT_EXEC, 0));
    AllowIf(SCMP_SYS(mprotect), Arg(2, SCMP_CMP_MASKED_EQ, PROT_EXEC, 0));
    // Threads only: a new process or namespace is refused.
    constexpr scmp_datum_t kNamespaces = CLONE_NEWNS | CLONE_NEWCGROUP | CLONE_NEWUTS |
                                         CLONE_NEWIPC | CLONE_NEWUSER | CLONE_NEWPID | CLONE_NEWNET;
    AllowIf(SCMP_SYS(clone), Arg(0, SCMP_CMP_MASKED_EQ, kNamespaces | CLONE_THREAD, CLONE_THREAD));
    // clone3's flags are behind a pointer, out of a filter's reach: glibc
    // falls back to clone on ENOSYS. openat2 likewise (the library falls
    // back to openat).
    Refuse(SCMP_SYS(clone3), ENOSYS);
    Refuse(SCMP_SYS(openat2), ENOSYS);
    // Opens for reading only: no write, create, truncate or append.
    constexpr scmp_datum_t kWriting = O_ACCMODE | O_CREAT | O_TRUNC | O_APPEND;
    AllowIf(SCMP_SYS(openat), Arg(2, SCMP_CMP_MASKED_EQ, kWriting, O_RDONLY));
    AllowIf(SCMP_SYS(open), Arg(1, SCMP_CMP_MASKED_EQ, kWriting, O_RDONLY));
  }

  std::string Load() {
    if (status_ == 0) status_ = ::seccomp_load(filter_);
    return status_ == 0 ? std::string() : std::string("seccomp: ") + std::strerror(-status_);
  }

 private:
  void Set(int status) {
    if (status_ == 0) status_ = status;
  }

  scmp_filter_ctx filter_;
  int status_ = 0;
};

}  // namespace

CapabilityMask ReaderCapabilities() { return Bit(CAP_SYS_PTRACE) | Bit(CAP_DAC_READ_SEARCH); }

SandboxResult DropCapabilities(CapabilityMask keep) {
  SandboxResult result;
  __user_cap_data_struct data[2] = {};
  if (!ReadCapabilities(data)) {
    result.error = Errno("capget");
    return result;
  }
  // The bounding set first, while CAP_SETPCAP may still be effective.
  const bool setpcap = (Effective(data) & Bit(CAP_SETPCAP)) != 0;
  bool boundingKept = false;
  for (int capability = 0; capability < 64; ++capability) {
    const int held = ::prctl(PR_CAPBSET_READ, capability, 0, 0, 0);
    if (held < 0) break;  // beyond the kernel's last capability
    if (held == 0 || (keep & Bit(capability)) != 0 || capability == CAP_SETPCAP) continue;
    if (!setpcap) {
      boundingKept = true;
    } else if (::prctl(PR_CAPBSET_DROP, capability, 0, 0, 0) != 0) {
      result.error = Errno("PR_CAPBSET_DROP");
      return result;
    }
  }
  if (setpcap && (keep & Bit(CAP_SETPCAP)) == 0 &&
      ::prctl(PR_CAPBSET_DROP, CAP_SETPCAP, 0, 0, 0) != 0) {
    result.error = Errno("PR_CAPBSET_DROP");
    return result;
  }
  if (::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) != 0 && errno != EINVAL) {
    result.error = Errno("PR_CAP_AMBIENT_CLEAR_ALL");
    return result;
  }
  const CapabilityMask kept = Permitted(data) & keep;
  for (int word = 0; word < 2; ++word) {
    data[word].effective = data[word].permitted = static_cast<__u32>(kept >> (32 * word));
    data[word].inheritable = 0;
  }
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  if (::syscall(SYS_capset, &header, data) != 0) {
    result.error = Errno("capset");
    return result;
  }
  // What the kernel holds now, not what was asked.
  __user_cap_data_struct now[2] = {};
  if (!ReadCapabilities(now) || Permitted(now) != kept || Effective(now) != kept ||
      now[0].inheritable != 0 || now[1].inheritable != 0) {
    result.error = "capabilities still held after capset";
    return result;
  }
  if (boundingKept) {
    result.note =
        "the capability bounding set is kept (no CAP_SETPCAP to clear it); under no_new_privs "
        "and without exec it gives nothing back";
  }
  result.confined = true;
  return result;
}

SandboxResult ConfineReader(int channel) {
  SandboxResult result;
  if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
    result.error = Errno("PR_SET_NO_NEW_PRIVS");
    return result;
  }
  AllowList list;
  list.AllowCommon();
  // NVML's device fds take driver ioctls that no list here can name; not
  // the two that push input into, or take over, a terminal it holds
  // (TIOCSTI, TIOCLINUX: every request below, between and above them).
  list.AllowIf(SCMP_SYS(ioctl), Arg(1, SCMP_CMP_LT, TIOCSTI));
  for (scmp_datum_t request = TIOCSTI + 1; request < TIOCLINUX; ++request) {
    list.AllowIf(SCMP_SYS(ioctl), Arg(1, SCMP_CMP_EQ, request));
  }
  list.AllowIf(SCMP_SYS(ioctl), Arg(1, SCMP_CMP_GT, TIOCLINUX));
  // Its lines on stderr; nothing else it holds is written.
  for (const int call : {SCMP_SYS(write), SCMP_SYS(writev)}) {
    list.AllowIf(call, Arg(0, SCMP_CMP_EQ, STDERR_FILENO));
  }
  const auto channelFd = static_cast<scmp_datum_t>(channel);
  for (const int call :
       {SCMP_SYS(sendmsg), SCMP_SYS(sendto), SCMP_SYS(recvmsg), SCMP_SYS(recvfrom)}) {
    list.AllowIf(call, Arg(0, SCMP_CMP_EQ, channelFd));
  }
  result.error = list.Load();
  result.confined = result.error.empty();
  return result;
}

SandboxResult ConfineNetworkSide(const std::vector<std::string>& readable) {
  SandboxResult result;
  if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
    result.error = Errno("PR_SET_NO_NEW_PRIVS");
    return result;
  }
  const long abi = LandlockAbi();
  if (abi < 1) {
    // Only a kernel without Landlock is let through; any other failure of
    // it is a fault to stop at.
    if (errno != ENOSYS && errno != EOPNOTSUPP) {
      result.error = Errno("Landlock");
      return result;
    }
    result.note = Errno("Landlock") + "; the network side is confined by seccomp alone";
  } else if (!RestrictWithLandlock(abi, readable, result.error)) {
    return result;
  } else {
    result.landlock = true;
  }
  AllowList list;
  list.AllowCommon();
  // Serving on the sockets bound before: no socket, bind, listen or
  // connect of its own.
  list.Allow(
      {SCMP_SYS(write),       SCMP_SYS(writev),        SCMP_SYS(accept),     SCMP_SYS(accept4),
       SCMP_SYS(recvfrom),    SCMP_SYS(recvmsg),       SCMP_SYS(sendto),     SCMP_SYS(sendmsg),
       SCMP_SYS(shutdown),    SCMP_SYS(getsockopt),    SCMP_SYS(setsockopt), SCMP_SYS(getsockname),
       SCMP_SYS(getpeername), SCMP_SYS(epoll_create1), SCMP_SYS(epoll_ctl),  SCMP_SYS(epoll_wait),
       SCMP_SYS(epoll_pwait), SCMP_SYS(select),        SCMP_SYS(pselect6),   SCMP_SYS(eventfd2),
       SCMP_SYS(pipe2),       SCMP_SYS(wait4),         SCMP_SYS(waitid)});
  // stdio's terminal check and the server's non-blocking sockets.
  for (const unsigned long request : {TCGETS, FIONBIO, FIONREAD}) {
    list.AllowIf(SCMP_SYS(ioctl), Arg(1, SCMP_CMP_EQ, request));
  }
  result.error = list.Load();
  result.confined = result.error.empty();
  return result;
}

std::vector<std::string> LoadedLibraries() {
  std::set<std::string> libraries;
  ::dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void* data) {
        const char* name = info->dlpi_name;
        if (name != nullptr && name[0] == '/') {
          static_cast<std::set<std::string>*>(data)->insert(name);
        }
        return 0;
      },
      &libraries);
  return {libraries.begin(), libraries.end()};
}

}  // namespace gpuproc
