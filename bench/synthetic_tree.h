// Synthetic /proc and /sys trees for the benchmarks: N processes with 64 fds
// each, 1% of all fds DRM clients of one amdgpu GPU (with fdinfo), under
// $TMPDIR (else /tmp).
//
// Three processes are set apart for whole calls: the first is a client of one
// GPU, the last of two GPUs, the one before it of none.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace gpuproc::bench {

inline constexpr int kFdsPerProcess = 64;
inline constexpr std::uint32_t kFirstProcessId = 1000;

struct SyntheticTree {
  std::string root;
  int processes = 0;
  std::uint64_t fds = 0;
  std::uint64_t gpuFds = 0;

  std::string Proc() const { return root + "/proc"; }
  std::string Sys() const { return root + "/sys"; }
  std::uint32_t OneGpuProcess() const { return kFirstProcessId; }
  std::uint32_t TwoGpuProcess() const { return kFirstProcessId + processes - 1; }
  std::uint32_t NoGpuProcess() const { return kFirstProcessId + processes - 2; }
};

// The inodes a tree of `processes` processes takes.
std::uint64_t InodesNeeded(int processes);

// The floor of any scan of every process's fds: readdir of /proc, of every
// /proc/<pid>/fd, and readlink of every fd, with fixed buffers and nothing
// else. Returns the links read.
std::uint64_t ScanFloor(const std::string& proc);
inline std::uint64_t ScanFloor(const SyntheticTree& tree) { return ScanFloor(tree.Proc()); }

// A tree of two processes: kLeakingProcessId holds `clients` distinct DRM
// clients of one GPU (a leak of DRM fds), kUnrelatedProcessId one fd that is
// none. Returns its root; the caller removes it.
inline constexpr std::uint32_t kLeakingProcessId = 1000;
inline constexpr std::uint32_t kUnrelatedProcessId = 1001;
std::string MakeManyClientsTree(int clients);

// A tree where every one of `processes` processes is a client of a GPU (its
// fd 0), in pods of the kubelet's cgroup layout: what an exporter scraping
// a busy node reads. The caller removes it.
SyntheticTree MakeGpuProcessesTree(int processes);

class SyntheticTrees {
 public:
  SyntheticTrees() = default;
  ~SyntheticTrees();
  SyntheticTrees(const SyntheticTrees&) = delete;
  SyntheticTrees& operator=(const SyntheticTrees&) = delete;

  // The tree of `processes` processes, made on first use. Null, after a
  // plain message on standard error, when the folder has too few free inodes
  // (tmpfs on /dev/shm has about 3 million on a 24 GiB machine; a 30,000
  // process tree needs 2.1 million).
  const SyntheticTree* Get(int processes);
  // Removes every tree but the one of `processes` processes, so that the
  // next size has the folder's inodes to itself.
  void KeepOnly(int processes);

 private:
  std::map<int, SyntheticTree> trees_;
};

}  // namespace gpuproc::bench
