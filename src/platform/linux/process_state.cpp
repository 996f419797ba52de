#include "platform/linux/process_state.h"

#include <atomic>
#include <chrono>

namespace gpuproc {
namespace {

// A plain pointer, so that nothing about it runs at exit. Calls build it
// under the call lock, but a report is written after that lock is released,
// so two threads may ask for it at once.
std::atomic<ProcessState*> current{nullptr};

}  // namespace

ProcessState& CurrentProcessState() {
  ProcessState* state = current.load(std::memory_order_acquire);
  if (state != nullptr) return *state;
  auto* fresh = new ProcessState;
  if (current.compare_exchange_strong(state, fresh, std::memory_order_acq_rel)) return *fresh;
  delete fresh;
  return *state;
}

void ReplaceProcessStateInChild() {
  ProcessState* parent = current.load(std::memory_order_relaxed);
  if (parent == nullptr) return;
  auto* fresh = new ProcessState;
  fresh->replacedByFork = parent;
  current.store(fresh, std::memory_order_release);
}

void ReleaseProcessState() { delete current.exchange(nullptr, std::memory_order_acq_rel); }

std::shared_ptr<const NvmlLibrary> AcquireSharedNvmlLibrary() {
  const auto now = std::chrono::steady_clock::now().time_since_epoch();
  return CurrentProcessState().nvml.Acquire(static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(now).count()));
}

bool SharedNvmlLost() { return CurrentProcessState().nvml.Lost(); }

PciNameDatabase& SharedPciNameDatabase() { return CurrentProcessState().pciNames; }

HostFs HostFs::FromEnvironment() {
  ProcessState& state = CurrentProcessState();
  return HostFs(state.procRoot.Get("HOST_PROC", "/proc"), state.sysRoot.Get("HOST_SYS", "/sys"));
}

}  // namespace gpuproc
