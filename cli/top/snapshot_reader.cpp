#include "snapshot_reader.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <exception>

#include "host_view.h"

namespace gpuproc::tool {
namespace {

// The last non-empty line of `text`.
std::string LastLine(std::string text) {
  while (!text.empty() && text.back() == '\n') text.pop_back();
  const std::size_t newline = text.rfind('\n');
  return newline == std::string::npos ? text : text.substr(newline + 1);
}

}  // namespace

StderrCapture::StderrCapture() {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) return;
  saved_ = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
  if (saved_ < 0 || ::dup2(ends[1], STDERR_FILENO) < 0) {
    ::close(ends[0]);
    ::close(ends[1]);
    if (saved_ >= 0) ::close(saved_);
    saved_ = -1;
    return;
  }
  ::close(ends[1]);
  readEnd_ = ends[0];
}

StderrCapture::~StderrCapture() {
  if (saved_ < 0) return;
  ::dup2(saved_, STDERR_FILENO);
  ::close(saved_);
  ::close(readEnd_);
}

std::string StderrCapture::Drain() {
  std::string text;
  char buffer[4096];
  ssize_t got = 0;
  while (readEnd_ >= 0 && (got = ::read(readEnd_, buffer, sizeof buffer)) > 0) {
    text.append(buffer, static_cast<std::size_t>(got));
  }
  return text;
}

SnapshotReader::SnapshotReader(std::function<std::string()> takeSnapshot,
                               std::function<std::string()> lastError, double delaySeconds,
                               std::string podLogsDir)
    : takeSnapshot_(std::move(takeSnapshot)),
      lastError_(std::move(lastError)),
      delaySeconds_(delaySeconds),
      podLogsDir_(std::move(podLogsDir)),
      thread_([this] { Run(); }) {}

SnapshotReader::~SnapshotReader() {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

std::optional<Reading> SnapshotReader::Take() {
  const std::lock_guard lock(mutex_);
  std::optional<Reading> reading = std::move(ready_);
  ready_.reset();
  return reading;
}

void SnapshotReader::SetPaused(bool paused) {
  const std::lock_guard lock(mutex_);
  paused_ = paused;
}

Reading SnapshotReader::Read() {
  Reading reading;
  const std::string document = takeSnapshot_();
  if (document.empty()) {
    reading.error = LastLine(lastError_());
    if (reading.error.empty()) reading.error = "the GPU counters could not be read";
    return reading;
  }
  lastError_();
  reading.snapshot = ReadSnapshotDocument(document);
  if (!reading.snapshot) {
    reading.error = kMalformedSnapshot;
    return reading;
  }
  std::vector<std::uint32_t> processIds;
  std::vector<std::string> names;
  processIds.reserve(reading.snapshot->processes.size());
  names.reserve(reading.snapshot->processes.size());
  for (const SnapshotProcess& process : reading.snapshot->processes) {
    processIds.push_back(process.processId);
    names.push_back(process.name);
  }
  const double now = reading.snapshot->time;
  reading.details = ReadProcessDetails(processIds, names, now, podLogsDir_, details_);
  // The snapshot says how many processes its reading was refused. A library
  // that does not leaves it to a look through /proc, taken as often as the
  // details are read again.
  if (reading.snapshot->unreadableProcesses) {
    reading.someUnreadable = SomeProcessesHidden(reading.snapshot->unreadableProcesses);
  } else {
    if (now - unreadableCheckedAt_ >= kDetailsMaxAge) {
      someUnreadable_ = SomeProcessesHidden(std::nullopt);
      unreadableCheckedAt_ = now;
    }
    reading.someUnreadable = someUnreadable_;
  }
  return reading;
}

void SnapshotReader::Run() {
  const auto delay = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(delaySeconds_));
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    // Readings start `delay` apart, however long each takes.
    const auto start = std::chrono::steady_clock::now();
    if (!paused_) {
      lock.unlock();
      Reading reading;
      // A failure of one reading (memory, say) is shown, and the next
      // reading tried, rather than end the command on this thread.
      try {
        reading = Read();
      } catch (const std::exception& error) {
        reading = Reading();
        reading.error = error.what();
      }
      lock.lock();
      ready_ = std::move(reading);
    }
    wake_.wait_until(lock, start + delay, [this] { return stopping_; });
  }
}

}  // namespace gpuproc::tool
