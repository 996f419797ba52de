// Preloaded into gpuproc-exporter, this plays an attacker who runs code in
// either of its processes once they are confined: on a new thread of the
// network side (at its first sigtimedwait, after its server started) and
// of the reader (at its first snapshot, after its filter was loaded), it
// tries each row and writes one line per row to stderr:
//   gpuproc-attack <side> <row> refused|done
// What is expected of each row is check_attacks.sh's to judge.
//
// GPUPROC_ATTACK: "<other pid>:<other fd>:<scratch folder>:<root-only
// unix socket>:<tcp port>", a process of another user holding fd <other
// fd> open, and targets made by the script.
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/io_uring.h>
#include <linux/perf_event.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/ptrace.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

struct Targets {
  pid_t other = 0;
  int otherFd = 0;
  std::string scratch;
  std::string unixSocket;
  int tcpPort = 0;
};

bool ParseTargets(Targets& targets) {
  const char* text = std::getenv("GPUPROC_ATTACK");
  if (text == nullptr) return false;
  char scratch[256] = {};
  char unixSocket[256] = {};
  const int got = std::sscanf(text, "%d:%d:%255[^:]:%255[^:]:%d", &targets.other, &targets.otherFd,
                              scratch, unixSocket, &targets.tcpPort);
  targets.scratch = scratch;
  targets.unixSocket = unixSocket;
  return got == 5;
}

// Each row returns true when the attempt worked.
bool CreatesFile(const Targets& t) {
  const std::string path = t.scratch + "/created-" + std::to_string(::getpid());
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  if (fd >= 0) ::close(fd);
  return fd >= 0;
}

// An openat submitted through io_uring never meets a filter on openat.
bool CreatesFileThroughIoUring(const Targets&) {
  io_uring_params params{};
  const long ring = ::syscall(SYS_io_uring_setup, 4, &params);
  if (ring >= 0) ::close(static_cast<int>(ring));
  return ring >= 0;
}

bool OpensFilesystem(const Targets&) {
  const long fs = ::syscall(SYS_fsopen, "tmpfs", 0);
  if (fs >= 0) ::close(static_cast<int>(fs));
  const long tree = ::syscall(SYS_open_tree, AT_FDCWD, "/", 1 /* OPEN_TREE_CLONE */);
  if (tree >= 0) ::close(static_cast<int>(tree));
  return fs >= 0 || tree >= 0;
}

// Were it to work, the process would become a shell that exits 97, which
// the script sees as the exporter's end.
bool Executes(const Targets&) {
  char* const argv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"),
                        const_cast<char*>("exit 97"), nullptr};
  ::execve("/bin/sh", argv, environ);
  return false;
}

bool ExecutesFromMemory(const Targets&) {
  const long fd = ::syscall(SYS_memfd_create, "payload", 0);
  if (fd < 0) return false;
  char* const argv[] = {const_cast<char*>("payload"), nullptr};
  ::syscall(SYS_execveat, fd, "", argv, environ, AT_EMPTY_PATH);
  ::close(static_cast<int>(fd));
  return true;  // memfd_create alone is already more than it should get
}

bool ConnectsUnix(const Targets& t) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", t.unixSocket.c_str());
  const bool connected =
      ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return connected;
}

bool ConnectsTcp(const Targets& t) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(t.tcpPort));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool connected =
      ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return connected;
}

// Signal 0: the permission check without the harm.
bool Signals(const Targets& t) { return ::kill(t.other, 0) == 0; }

bool ChangesModes(const Targets& t) {
  const std::string file = t.scratch + "/root-owned";
  return ::chmod(file.c_str(), 0666) == 0 || ::chown(file.c_str(), 65534, 65534) == 0 ||
         ::setxattr(file.c_str(), "user.attack", "1", 1, 0) == 0;
}

bool LoadsBpf(const Targets&) {
  const long fd = ::syscall(SYS_bpf, 0 /* BPF_MAP_CREATE */, nullptr, 0);
  return fd >= 0 || errno == EFAULT || errno == EINVAL;  // reached the call itself
}

bool OpensPerfEvent(const Targets&) {
  perf_event_attr attributes{};
  attributes.size = sizeof attributes;
  attributes.type = PERF_TYPE_SOFTWARE;
  attributes.config = PERF_COUNT_SW_CPU_CLOCK;
  const long fd = ::syscall(SYS_perf_event_open, &attributes, 0, -1, -1, 0);
  if (fd >= 0) ::close(static_cast<int>(fd));
  return fd >= 0;
}

bool ReadsFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char byte = 0;
  const bool read = ::read(fd, &byte, 1) >= 0;
  ::close(fd);
  return read;
}

bool ReadsEnviron(const Targets& t) {
  return ReadsFile("/proc/" + std::to_string(t.other) + "/environ");
}

bool ReadsFdLink(const Targets& t) {
  const std::string link = "/proc/" + std::to_string(t.other) + "/fd/" + std::to_string(t.otherFd);
  char target[256];
  return ::readlink(link.c_str(), target, sizeof target) > 0;
}

bool ReadsFdinfo(const Targets& t) {
  return ReadsFile("/proc/" + std::to_string(t.other) + "/fdinfo/" + std::to_string(t.otherFd));
}

bool ReadsShadow(const Targets&) { return ReadsFile("/etc/shadow"); }

bool Unshares(const Targets&) {
  return ::unshare(CLONE_NEWUSER) == 0 || ::unshare(CLONE_NEWNS) == 0;
}

bool Traces(const Targets& t) {
  if (::ptrace(PTRACE_ATTACH, t.other, nullptr, nullptr) != 0) return false;
  ::ptrace(PTRACE_DETACH, t.other, nullptr, nullptr);
  return true;
}

bool WritesOtherMemory(const Targets& t) {
  const std::string path = "/proc/" + std::to_string(t.other) + "/mem";
  const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd >= 0) ::close(fd);
  return fd >= 0;
}

// Has the kernel send another process SIGIO on its behalf.
bool SignalsThroughFcntl(const Targets& t) {
  const int fd = ::eventfd(0, EFD_CLOEXEC);
  const bool set = ::fcntl(fd >= 0 ? fd : STDERR_FILENO, F_SETOWN, t.other) == 0;
  if (fd >= 0) ::close(fd);
  return set;
}

const struct {
  const char* name;
  bool (*attempt)(const Targets&);
} kRows[] = {
    {"create-file", CreatesFile},
    {"io_uring", CreatesFileThroughIoUring},
    {"fsopen-open_tree", OpensFilesystem},
    {"execve", Executes},
    {"memfd-execveat", ExecutesFromMemory},
    {"connect-unix", ConnectsUnix},
    {"connect-tcp", ConnectsTcp},
    {"kill", Signals},
    {"fcntl-setown", SignalsThroughFcntl},
    {"chmod-chown-setxattr", ChangesModes},
    {"bpf", LoadsBpf},
    {"perf_event_open", OpensPerfEvent},
    {"read-environ", ReadsEnviron},
    {"read-fd-link", ReadsFdLink},
    {"read-fdinfo", ReadsFdinfo},
    {"read-shadow", ReadsShadow},
    {"unshare", Unshares},
    {"ptrace", Traces},
    {"write-mem", WritesOtherMemory},
};

void Attack(const char* side) {
  Targets targets;
  if (!ParseTargets(targets)) return;
  std::thread attacker([&] {
    for (const auto& row : kRows) {
      const bool done = row.attempt(targets);
      std::fprintf(stderr, "gpuproc-attack %s %s %s\n", side, row.name, done ? "done" : "refused");
    }
    std::fprintf(stderr, "gpuproc-attack %s end\n", side);
    std::fflush(stderr);
  });
  attacker.join();
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int sigtimedwait(const sigset_t* set, siginfo_t* info,
                                                        const timespec* timeout) {
  static bool attacked = false;
  if (!attacked) {
    attacked = true;
    Attack("network");
  }
  using Real = int (*)(const sigset_t*, siginfo_t*, const timespec*);
  static const auto real = reinterpret_cast<Real>(::dlsym(RTLD_NEXT, "sigtimedwait"));
  return real(set, info, timeout);
}

__attribute__((visibility("default"))) const char* GetGPUSnapshotForAllProcesses() {
  static bool attacked = false;
  if (!attacked) {
    attacked = true;
    Attack("reader");
  }
  using Real = const char* (*)();
  static const auto real =
      reinterpret_cast<Real>(::dlsym(RTLD_NEXT, "GetGPUSnapshotForAllProcesses"));
  return real();
}
}
