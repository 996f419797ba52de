// What the Linux back end keeps between calls for the whole process: the
// NVML library, the GPU names found, the busy time accumulated per client,
// the roots as first resolved, and the lock that keeps two reports on
// standard output apart.
//
// It is built on first use and never destroyed while the process exits: a
// host's thread may still be inside a call when main returns, and exit
// handlers would free what that call is using; NVML is never shut down
// then either, as its own library may already have been finalised. A child
// forked while another thread was inside a call gets a fresh one, since the
// parent's may be held by a thread the child does not have and its NVML
// context belongs to the parent. Only the library's unload releases it.
#pragma once

#include <memory>
#include <mutex>

#include "platform/linux/busy_time_ledger.h"
#include "platform/linux/host_fs.h"
#include "platform/linux/nvml_library.h"
#include "platform/linux/pci_names.h"
#include "report/energy_account.h"

namespace gpuproc {

struct ProcessState {
  NvmlKeeper nvml;
  PciNameDatabase pciNames;
  std::shared_ptr<BusyTimeLedger> busyTime = std::make_shared<BusyTimeLedger>();
  std::shared_ptr<EnergyAccount> energy = std::make_shared<EnergyAccount>();
  RememberedRoot procRoot;
  RememberedRoot sysRoot;
  std::mutex outputLock;
  // The state a forked child replaced: kept, never released, so that
  // nothing of the parent's NVML context is shut down from the child.
  ProcessState* replacedByFork = nullptr;
};

// The process's state, built on the first request.
ProcessState& CurrentProcessState();

// In a forked child, before anything else runs there: a fresh state in
// place of the parent's.
void ReplaceProcessStateInChild();

// When the library is unloaded (never at process exit): shuts NVML down,
// unloads it and frees the rest.
void ReleaseProcessState();

}  // namespace gpuproc
