#include "platform/linux/linux_platform.h"

#include <pthread.h>
#include <signal.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <mutex>
#include <string>
#include <system_error>

#include "platform/linux/pdh_status.h"
#include "platform/linux/process_state.h"
#include "platform/linux/utf16.h"

namespace gpuproc {
namespace {

struct ProcessEntry {
  std::u16string baseName;
};

struct MessageText {
  std::uint32_t code;
  const char* text;
};

// Texts for the codes this back end produces, worded as the system words them.
constexpr MessageText kMessages[] = {
    {pdh::kErrorNotEnoughMemory,
     "Not enough memory resources are available to process this command."},
    {static_cast<std::uint32_t>(pdh::kMemoryAllocationFailure),
     "A PDH function could not allocate enough temporary memory."},
    {static_cast<std::uint32_t>(pdh::kNoObject),
     "The specified object was not found on the computer."},
    {static_cast<std::uint32_t>(pdh::kNoCounter), "The specified counter could not be found."},
    {static_cast<std::uint32_t>(pdh::kBadCounterName), "Unable to parse the counter path."},
    {static_cast<std::uint32_t>(pdh::kInvalidHandle), "The handle is not a valid PDH object."},
    {static_cast<std::uint32_t>(pdh::kInvalidArgument),
     "A required argument is missing or incorrect."},
    {static_cast<std::uint32_t>(pdh::kInvalidData),
     "The specified counter does not contain valid data."},
};

// Blocks SIGPIPE on the calling thread for its lifetime. A write into a
// closed pipe then fails with EPIPE instead of killing a host that keeps the
// default action; the SIGPIPE that write left pending is taken off again, and
// only that one: one already pending before belongs to the host.
class SigpipeBlocked {
 public:
  SigpipeBlocked() {
    sigemptyset(&pipeSignal_);
    sigaddset(&pipeSignal_, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal_, &previousMask_);
    wasPending_ = IsPending();
  }
  ~SigpipeBlocked() {
    if (!wasPending_ && IsPending()) {
      const timespec noWait{};
      while (sigtimedwait(&pipeSignal_, nullptr, &noWait) < 0 && errno == EINTR) {
      }
    }
    pthread_sigmask(SIG_SETMASK, &previousMask_, nullptr);
  }
  SigpipeBlocked(const SigpipeBlocked&) = delete;
  SigpipeBlocked& operator=(const SigpipeBlocked&) = delete;

 private:
  static bool IsPending() {
    sigset_t pending;
    sigemptyset(&pending);
    return sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
  }

  sigset_t pipeSignal_{};
  sigset_t previousMask_{};
  bool wasPending_ = false;
};

// Reports are written after the call lock is released, so two threads may
// write at once; the C++ stream's state (cleared below) is not safe to touch
// from two threads.
//
// The line goes through the host's own stream, so it keeps its place among
// the host's output, as one write: the host's writes from other threads land
// before or after it, never inside. A write that fails (EINTR from a handler
// installed without SA_RESTART, EPIPE, a full disk) leaves the stream, and
// stdio's FILE below it, in a failed state that would silence the host's
// every later write: both are made good before and after. The line may then
// be lost, or go out with the next flush; the host's stream is never lost.
void WriteReportLine(std::string_view text) {
  std::string line;
  line.reserve(text.size() + 1);
  line.append(text);
  line.push_back('\n');
  const std::lock_guard<std::mutex> lock(CurrentProcessState().outputLock);
  const SigpipeBlocked blocked;
  const int savedErrno = errno;
  std::cout.clear();
  std::clearerr(stdout);
  try {
    std::cout.write(line.data(), static_cast<std::streamsize>(line.size()));
    std::cout.flush();
  } catch (...) {
    // A host that asked its stream for exceptions: the call goes on.
  }
  std::cout.clear();
  std::clearerr(stdout);
  errno = savedErrno;
}

// Error lines go through stdio's stderr, which std::cerr writes through too
// unless the host turned that off: one fwrite, under the FILE's own lock,
// lands whole among the host's writes. Not through std::cerr itself: it is
// tied to std::cout, so writing it touches std::cout's state, which would
// make an error line wait for another thread's blocked report.
void WriteErrorText(std::string_view line) {
  const SigpipeBlocked blocked;
  const int savedErrno = errno;
  std::clearerr(stderr);
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
  std::clearerr(stderr);
  errno = savedErrno;
}

// The message of kErrorRootUnreadable when a root is not a readable
// directory. A machine (or container) without /sys still has NVML's
// processes: the sys root must be there only where HOST_SYS names one.
std::optional<std::string> UnreadableRoot(const HostFs& fs) {
  const struct {
    const char* variable;
    const std::string& path;
    int error;
  } roots[] = {{"HOST_PROC", fs.ProcRoot(), fs.ProcRootError()},
               {"HOST_SYS", fs.SysRoot(), fs.SysRoot() == "/sys" ? 0 : fs.SysRootError()}};
  for (const auto& root : roots) {
    if (root.error == 0) continue;
    std::string path = root.path;
    // The path comes from the environment; the message stays one line.
    std::replace_if(
        path.begin(), path.end(),
        [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; }, '?');
    return "The " + std::string(root.variable) + " root " + path +
           " is not a readable directory: " + std::generic_category().message(root.error) + ".";
  }
  return std::nullopt;
}

}  // namespace

LinuxPlatform::LinuxPlatform(std::vector<GpuSourceEntry> sources, HostFs fs, MonotonicClock clock,
                             std::shared_ptr<BusyTimeLedger> ledger,
                             std::shared_ptr<EnergyAccount> energy)
    : clock_(clock),
      backend_(std::move(sources), std::move(fs), std::move(clock), std::move(ledger)),
      energy_(energy ? std::move(energy) : std::make_shared<EnergyAccount>()) {}

PdhStatus LinuxPlatform::OpenQuery(QueryHandle* query) {
  // A root that is not there would read as a machine where no process uses
  // a GPU: a failure passed off as an answer. The query does not open.
  if (std::optional<std::string> unreadable = UnreadableRoot(backend_.Fs())) {
    rootErrorText_ = std::move(*unreadable);
    lastError_ = pdh::kErrorRootUnreadable;
    return pdh::kCannotConnectMachine;
  }
  const PdhStatus status = backend_.OpenQuery(query);
  if (status == pdh::kMemoryAllocationFailure) lastError_ = pdh::kErrorNotEnoughMemory;
  if (status == kPdhSuccess) {
    // The query opens without it: the other GPUs are still there to read.
    for (const CounterBackend::LostSource& lost : backend_.LostSources(*query)) {
      WriteErrorLine(Utf8ToUtf16(lost.why));
    }
  }
  return status;
}
PdhStatus LinuxPlatform::AddCounter(QueryHandle query, std::u16string_view path,
                                    CounterHandle* counter) {
  return backend_.AddCounter(query, path, counter);
}
PdhStatus LinuxPlatform::CollectQueryData(QueryHandle query) {
  const PdhStatus status = backend_.CollectQueryData(query);
  // What the caller could fix (a switch that is off, a missing privilege)
  // is said once per call, beside the values it leaves unknown.
  for (const std::string& notice : backend_.TakeNewNotices(query)) {
    WriteErrorLine(Utf8ToUtf16(notice));
  }
  return status;
}
PdhStatus LinuxPlatform::GetFormattedCounterValue(CounterHandle counter, double* value) {
  return backend_.GetFormattedCounterValue(counter, value);
}
PdhStatus LinuxPlatform::GetFormattedCounterArray(CounterHandle counter,
                                                  std::vector<CounterItem>* items) {
  return backend_.GetFormattedCounterArray(counter, items);
}
PdhStatus LinuxPlatform::GetRawCounterArray(CounterHandle counter,
                                            std::vector<RawCounterItem>* items) {
  return backend_.GetRawCounterArray(counter, items);
}
PdhStatus LinuxPlatform::RemoveCounter(CounterHandle counter) {
  return backend_.RemoveCounter(counter);
}
PdhStatus LinuxPlatform::CloseQuery(QueryHandle query) { return backend_.CloseQuery(query); }
PdhStatus LinuxPlatform::EnumObjectItems(std::u16string_view object, char16_t* counters,
                                         std::uint32_t* counterLength, char16_t* instances,
                                         std::uint32_t* instanceLength) {
  return backend_.EnumObjectItems(object, counters, counterLength, instances, instanceLength);
}

PdhStatus LinuxPlatform::EnumProcessObjectItems(std::uint32_t processId, std::u16string_view object,
                                                char16_t* counters, std::uint32_t* counterLength,
                                                char16_t* instances,
                                                std::uint32_t* instanceLength) {
  return backend_.EnumProcessObjectItems(processId, object, counters, counterLength, instances,
                                         instanceLength);
}

std::vector<AdapterDescription> LinuxPlatform::DescribeAdapters(QueryHandle query) {
  std::vector<AdapterDescription> adapters = backend_.DescribeAdapters(query);
  // The names come from sysfs links, the PCI ID database and the driver,
  // none of which promises UTF-8, and the report is strict about it.
  for (AdapterDescription& adapter : adapters)
    adapter.name = Utf16ToUtf8(Utf8ToUtf16(adapter.name));
  return adapters;
}

std::uint32_t LinuxPlatform::UnreadableProcesses(QueryHandle query) {
  return backend_.UnreadableProcesses(query);
}

std::vector<AdapterHealth> LinuxPlatform::ReadAdapterHealth(QueryHandle query) {
  return backend_.ReadAdapterHealth(query);
}

std::vector<std::string> LinuxPlatform::LostSources(QueryHandle query) {
  std::vector<std::string> names;
  for (const CounterBackend::LostSource& lost : backend_.LostSources(query)) {
    names.push_back(lost.name);
  }
  return names;
}

std::vector<InstanceReadTime> LinuxPlatform::ProcessReadTimes(QueryHandle query) {
  return backend_.ProcessReadTimes(query);
}

double LinuxPlatform::MonotonicSeconds() {
  return clock_ ? static_cast<double>(clock_()) * 1e-9 : 0.0;
}

void LinuxPlatform::Sleep(std::uint32_t milliseconds) {
  timespec remaining{static_cast<time_t>(milliseconds / 1000),
                     static_cast<long>(milliseconds % 1000) * 1000000L};
  // A signal handled by the host must not shorten the sampling window.
  while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}

std::uint32_t LinuxPlatform::GetLastError() { return lastError_; }

bool LinuxPlatform::FormatSystemMessage(std::uint32_t code, std::u16string* text) {
  if (code == pdh::kErrorRootUnreadable && !rootErrorText_.empty()) {
    *text = Utf8ToUtf16(rootErrorText_);
    return true;
  }
  for (const MessageText& message : kMessages) {
    if (message.code == code) {
      *text = Utf8ToUtf16(message.text);
      return true;
    }
  }
  char fallback[48];
  std::snprintf(fallback, sizeof fallback, "Unknown error 0x%08X.", code);
  *text = Utf8ToUtf16(fallback);
  return true;
}

ProcessHandle LinuxPlatform::OpenProcess(std::uint32_t /*access*/, std::uint32_t processId) {
  // Reading the exe link is what needs the rights (ptrace access), so "open"
  // is where it happens: a process we may not inspect cannot be opened.
  const std::optional<std::string> target =
      backend_.Fs().ReadProcLink(std::to_string(processId) + "/exe");
  if (!target) return nullptr;
  return new ProcessEntry{Utf8ToUtf16(ExecutableBaseName(*target))};
}

std::uint32_t LinuxPlatform::GetModuleBaseName(ProcessHandle process, char16_t* buffer,
                                               std::uint32_t size) {
  const auto* entry = static_cast<const ProcessEntry*>(process);
  if (entry == nullptr || buffer == nullptr || size == 0 || entry->baseName.empty()) return 0;
  // Like the Windows call: truncate to the buffer, keep room for the NUL.
  const std::size_t count = std::min<std::size_t>(entry->baseName.size(), size - 1);
  std::copy_n(entry->baseName.begin(), count, buffer);
  buffer[count] = u'\0';
  return static_cast<std::uint32_t>(count);
}

bool LinuxPlatform::QueryFullProcessImageName(ProcessHandle process, char16_t* buffer,
                                              std::uint32_t* size) {
  // The name is all that is kept of the exe link: a path of one component.
  const auto* entry = static_cast<const ProcessEntry*>(process);
  if (entry == nullptr || buffer == nullptr || entry->baseName.size() >= *size) return false;
  std::copy(entry->baseName.begin(), entry->baseName.end(), buffer);
  buffer[entry->baseName.size()] = u'\0';
  *size = static_cast<std::uint32_t>(entry->baseName.size());
  return true;
}

void LinuxPlatform::CloseHandle(ProcessHandle process) {
  delete static_cast<ProcessEntry*>(process);
}

int LinuxPlatform::WideCharToMultiByte(const char16_t* text, int length, char* out, int outSize) {
  return Utf16ToUtf8(text, length, out, outSize);
}

void LinuxPlatform::WriteErrorLine(std::u16string_view line) {
  pendingErrorLines_ += Utf16ToUtf8(line);
  pendingErrorLines_ += '\n';
}

void LinuxPlatform::FlushErrorLines() {
  if (pendingErrorLines_.empty()) return;
  WriteErrorText(pendingErrorLines_);
  pendingErrorLines_.clear();
}

void LinuxPlatform::WriteOutputLine(std::string_view text) { WriteReportLine(text); }

std::string ExecutableBaseName(std::string_view exeLinkTarget) {
  constexpr std::string_view kDeleted = " (deleted)";
  if (exeLinkTarget.size() >= kDeleted.size() &&
      exeLinkTarget.substr(exeLinkTarget.size() - kDeleted.size()) == kDeleted) {
    exeLinkTarget.remove_suffix(kDeleted.size());
  }
  const std::size_t slash = exeLinkTarget.rfind('/');
  if (slash != std::string_view::npos) exeLinkTarget.remove_prefix(slash + 1);
  return std::string(exeLinkTarget);
}

std::uint64_t MonotonicNanoseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000000000u +
         static_cast<std::uint64_t>(now.tv_nsec);
}

void ResetSystemPlatformInForkChild() { ReplaceProcessStateInChild(); }

void ReleaseSystemPlatform() { ReleaseProcessState(); }

std::unique_ptr<Platform> CreateSystemPlatform() {
  return std::make_unique<LinuxPlatform>(DefaultGpuSources(), HostFs::FromEnvironment(),
                                         MonotonicNanoseconds, SharedBusyTimeLedger(),
                                         CurrentProcessState().energy);
}

}  // namespace gpuproc
