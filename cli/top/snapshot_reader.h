// Readings taken on a thread of their own, so that a slow snapshot (tens of
// thousands of processes) never holds up the keys. The drawing side takes
// the latest reading when it is ready.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "process_details.h"
#include "top_model.h"

namespace gpuproc::tool {

struct Reading {
  std::optional<Snapshot> snapshot;  // absent when the reading failed
  std::vector<ProcessDetails> details;
  bool someUnreadable = false;  // some processes this user may not read are left out
  std::string error;            // why it failed
};

// The library writes its error lines to standard error, which would land in
// the middle of the screen: while this lives they go into a pipe instead.
class StderrCapture {
 public:
  StderrCapture();
  ~StderrCapture();
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;
  // What was written since the last call.
  std::string Drain();

 private:
  int saved_ = -1;
  int readEnd_ = -1;
};

class SnapshotReader {
 public:
  // `takeSnapshot` returns the snapshot document, "" on failure, when
  // `lastError` says why.
  SnapshotReader(std::function<std::string()> takeSnapshot, std::function<std::string()> lastError,
                 double delaySeconds, std::string podLogsDir);
  ~SnapshotReader();
  SnapshotReader(const SnapshotReader&) = delete;
  SnapshotReader& operator=(const SnapshotReader&) = delete;

  // The reading finished since the last call, if any.
  std::optional<Reading> Take();
  void SetPaused(bool paused);

 private:
  void Run();
  Reading Read();

  std::function<std::string()> takeSnapshot_;
  std::function<std::string()> lastError_;
  const double delaySeconds_;
  const std::string podLogsDir_;
  std::mutex mutex_;
  std::condition_variable wake_;
  DetailsCache details_;  // the reading thread's alone
  double unreadableCheckedAt_ = -1e9;
  bool someUnreadable_ = false;
  std::optional<Reading> ready_;
  bool paused_ = false;
  bool stopping_ = false;
  std::thread thread_;  // last: starts once the members above exist
};

}  // namespace gpuproc::tool
