#include "synthetic_tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string_view>
#include <utility>

namespace gpuproc::bench {
namespace {

constexpr int kGpuEveryNthFd = 100;  // 1% of all fds

const char* const kOtherTargets[] = {
    "/dev/null",
    "socket:[4026531993]",
    "pipe:[73315]",
    "anon_inode:[eventfd]",
    "/usr/lib/x86_64-linux-gnu/libc.so.6",
    "/home/user/.cache/fontconfig/a41116dafaf8b233cb3b6b6a14b7c3f2-le64.cache-7",
    "/dev/pts/3",
    "anon_inode:[eventpoll]",
};

constexpr std::string_view kFdinfoHead =
    "pos:\t0\nflags:\t02100002\nmnt_id:\t24\nino:\t1071\ndrm-driver:\tamdgpu\n"
    "drm-client-id:\t57\n";
constexpr std::string_view kFdinfoTail =
    "pasid:\t32781\n"
    "drm-total-cpu:\t0\ndrm-shared-cpu:\t0\ndrm-active-cpu:\t0\ndrm-resident-cpu:\t0\n"
    "drm-purgeable-cpu:\t0\ndrm-total-gtt:\t48 MiB\ndrm-shared-gtt:\t6 MiB\n"
    "drm-active-gtt:\t0\ndrm-resident-gtt:\t40 MiB\ndrm-purgeable-gtt:\t0\n"
    "drm-total-vram:\t768 MiB\ndrm-shared-vram:\t64 MiB\ndrm-active-vram:\t0\n"
    "drm-resident-vram:\t512 MiB\ndrm-purgeable-vram:\t0\n"
    "drm-memory-vram:\t524288 KiB\ndrm-memory-gtt: \t40960 KiB\ndrm-memory-cpu: \t0 KiB\n"
    "amd-evicted-vram:\t0 KiB\namd-requested-vram:\t786432 KiB\n"
    "amd-requested-gtt:\t49152 KiB\ndrm-engine-gfx:\t88219430020 ns\n"
    "drm-engine-compute:\t120350 ns\n";

// The two GPUs: render node, card and PCI address.
struct Gpu {
  const char* render;
  const char* card;
  const char* address;
};
constexpr Gpu kGpus[] = {{"renderD128", "card0", "0000:03:00.0"},
                         {"renderD129", "card1", "0000:04:00.0"}};

void Check(bool ok, const char* what, const std::string& path) {
  if (!ok) {
    std::perror((std::string(what) + " " + path).c_str());
    std::exit(1);
  }
}

void WriteFile(const std::string& path, std::string_view text) {
  const int file = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  Check(file >= 0, "open", path);
  Check(::write(file, text.data(), text.size()) == static_cast<ssize_t>(text.size()), "write",
        path);
  ::close(file);
}

std::string Fdinfo(const Gpu& gpu) {
  std::string text(kFdinfoHead);
  text += "drm-pdev:\t";
  text += gpu.address;
  text += '\n';
  text += kFdinfoTail;
  return text;
}

void MakeSys(const std::string& root) {
  for (const Gpu& gpu : kGpus) {
    const std::string device = std::string("/sys/devices/pci0000:00/0000:00:01.1/") + gpu.address;
    std::filesystem::create_directories(root + device);
    std::filesystem::create_symlink("../../../../bus/pci/drivers/amdgpu",
                                    root + device + "/driver");
    WriteFile(root + device + "/mem_info_vram_total", "8573157376\n");
    WriteFile(root + device + "/mem_info_vram_used", "1073741824\n");
    WriteFile(root + device + "/mem_info_gtt_used", "50331648\n");
    // The device's health, as a discrete amdgpu publishes it: what a
    // snapshot reads once per GPU.
    const std::string hwmon = root + device + "/hwmon/hwmon0";
    std::filesystem::create_directories(hwmon);
    for (const auto& [name, value] : {std::pair<const char*, const char*>{"name", "amdgpu"},
                                      {"power1_average", "87000000"},
                                      {"power1_cap", "203000000"},
                                      {"temp1_input", "54000"},
                                      {"temp1_label", "edge"},
                                      {"temp1_crit", "100000"},
                                      {"temp2_input", "61000"},
                                      {"temp2_label", "junction"},
                                      {"temp2_crit", "110000"},
                                      {"temp3_input", "58000"},
                                      {"temp3_label", "mem"},
                                      {"temp3_crit", "105000"},
                                      {"freq1_input", "2100000000"},
                                      {"freq1_label", "sclk"},
                                      {"freq2_input", "1000000000"},
                                      {"freq2_label", "mclk"},
                                      {"fan1_input", "1450"}}) {
      WriteFile(hwmon + "/" + name, std::string(value) + "\n");
    }
    WriteFile(root + device + "/gpu_busy_percent", "37\n");
    for (const char* node : {gpu.card, gpu.render}) {
      const std::string dir = root + "/sys/class/drm/" + node;
      std::filesystem::create_directories(dir);
      std::filesystem::create_symlink("../../.." + device.substr(4), dir + "/device");
    }
  }
}

SyntheticTree Make(int processes, int gpuEveryNthFd = kGpuEveryNthFd, bool inPods = false) {
  std::string pattern = std::filesystem::temp_directory_path().string() + "/gpuproc-bench-XXXXXX";
  Check(::mkdtemp(pattern.data()) != nullptr, "mkdtemp", pattern);
  SyntheticTree tree;
  tree.root = pattern;
  tree.processes = processes;
  const std::string proc = tree.Proc();
  Check(::mkdir(proc.c_str(), 0755) == 0, "mkdir", proc);
  const std::string fdinfo[] = {Fdinfo(kGpus[0]), Fdinfo(kGpus[1])};
  char path[512];
  for (int i = 0; i < processes; ++i) {
    const std::uint32_t pid = kFirstProcessId + static_cast<std::uint32_t>(i);
    std::snprintf(path, sizeof path, "%s/%u", proc.c_str(), pid);
    Check(::mkdir(path, 0755) == 0, "mkdir", path);
    std::snprintf(path, sizeof path, "%s/%u/exe", proc.c_str(), pid);
    Check(::symlink("/usr/bin/synthetic", path) == 0, "symlink", path);
    std::snprintf(path, sizeof path, "%s/%u/status", proc.c_str(), pid);
    WriteFile(path, "Name:\tsynthetic\nUmask:\t0022\nState:\tS (sleeping)\nTgid:\t" +
                        std::to_string(pid) + "\nNgid:\t0\nPid:\t" + std::to_string(pid) + "\n");
    if (inPods) {
      // Ten processes to a pod, each in a container of the kubelet's layout.
      char cgroup[256];
      std::snprintf(cgroup, sizeof cgroup,
                    "0::/kubepods.slice/kubepods-besteffort.slice/"
                    "kubepods-besteffort-pod%08x_0000_4000_8000_000000000000.slice/"
                    "cri-containerd-%064x.scope\n",
                    static_cast<unsigned>(i / 10), static_cast<unsigned>(i));
      std::snprintf(path, sizeof path, "%s/%u/cgroup", proc.c_str(), pid);
      WriteFile(path, cgroup);
    }
    for (const char* folder : {"fd", "fdinfo"}) {
      std::snprintf(path, sizeof path, "%s/%u/%s", proc.c_str(), pid, folder);
      Check(::mkdir(path, 0755) == 0, "mkdir", path);
    }
    for (int fd = 0; fd < kFdsPerProcess; ++fd) {
      const std::uint64_t index = static_cast<std::uint64_t>(i) * kFdsPerProcess + fd;
      // Which GPU the fd is a client of, if any.
      int gpu = index % static_cast<std::uint64_t>(gpuEveryNthFd) == 0 ? 0 : -1;
      if (pid == tree.NoGpuProcess()) gpu = -1;
      if (pid == tree.TwoGpuProcess()) gpu = fd < 2 ? fd : -1;
      if (pid == tree.OneGpuProcess()) gpu = fd == 0 ? 0 : -1;
      std::snprintf(path, sizeof path, "%s/%u/fd/%d", proc.c_str(), pid, fd);
      const std::string target =
          gpu < 0 ? kOtherTargets[index % 8] : std::string("/dev/dri/") + kGpus[gpu].render;
      Check(::symlink(target.c_str(), path) == 0, "symlink", path);
      ++tree.fds;
      if (gpu < 0) continue;
      ++tree.gpuFds;
      std::snprintf(path, sizeof path, "%s/%u/fdinfo/%d", proc.c_str(), pid, fd);
      WriteFile(path, fdinfo[gpu]);
    }
  }
  MakeSys(tree.root);
  return tree;
}

}  // namespace

SyntheticTree MakeGpuProcessesTree(int processes) { return Make(processes, kFdsPerProcess, true); }

std::string MakeManyClientsTree(int clients) {
  std::string root = std::filesystem::temp_directory_path().string() + "/gpuproc-leak-XXXXXX";
  Check(::mkdtemp(root.data()) != nullptr, "mkdtemp", root);
  namespace fs = std::filesystem;
  const fs::path leaking = fs::path(root) / "proc" / std::to_string(kLeakingProcessId);
  const fs::path unrelated = fs::path(root) / "proc" / std::to_string(kUnrelatedProcessId);
  for (const fs::path& process : {leaking, unrelated}) {
    fs::create_directories(process / "fd");
    fs::create_directories(process / "fdinfo");
    fs::create_symlink("/usr/bin/synthetic", process / "exe");
  }
  fs::create_symlink("/dev/null", unrelated / "fd" / "0");
  const std::string fdinfo = Fdinfo(kGpus[0]);
  const std::string clientId = "drm-client-id:\t57\n";
  for (int fd = 0; fd < clients; ++fd) {
    fs::create_symlink(std::string("/dev/dri/") + kGpus[0].render,
                       leaking / "fd" / std::to_string(fd));
    std::string text = fdinfo;
    text.replace(text.find(clientId), clientId.size(),
                 "drm-client-id:\t" + std::to_string(fd) + "\n");
    WriteFile((leaking / "fdinfo" / std::to_string(fd)).string(), text);
  }
  MakeSys(root);
  return root;
}

std::uint64_t InodesNeeded(int processes) {
  // Per process: its folder, exe, status, fd/, fdinfo/ and 64 links; 1% of
  // the fds have an fdinfo file; a few dozen for /sys.
  const auto count = static_cast<std::uint64_t>(processes);
  return count * (5 + kFdsPerProcess) + count * kFdsPerProcess / kGpuEveryNthFd + 64;
}

std::uint64_t ScanFloor(const std::string& proc) {
  std::uint64_t links = 0;
  DIR* processes = ::opendir(proc.c_str());
  if (processes == nullptr) return 0;
  while (const dirent* process = ::readdir(processes)) {
    if (process->d_name[0] < '0' || process->d_name[0] > '9') continue;
    char path[512];
    std::snprintf(path, sizeof path, "%s/%s/fd", proc.c_str(), process->d_name);
    DIR* fds = ::opendir(path);
    if (fds == nullptr) continue;
    while (const dirent* fd = ::readdir(fds)) {
      if (fd->d_name[0] == '.') continue;
      char link[1024];
      char target[256];
      std::snprintf(link, sizeof link, "%s/%s", path, fd->d_name);
      if (::readlink(link, target, sizeof target) > 0) ++links;
    }
    ::closedir(fds);
  }
  ::closedir(processes);
  return links;
}

SyntheticTrees::~SyntheticTrees() {
  for (const auto& [count, tree] : trees_) std::filesystem::remove_all(tree.root);
}

const SyntheticTree* SyntheticTrees::Get(int processes) {
  const auto found = trees_.find(processes);
  if (found != trees_.end()) return &found->second;

  const std::string folder = std::filesystem::temp_directory_path().string();
  struct statvfs space {};
  const std::uint64_t needed = InodesNeeded(processes);
  // File systems without an inode limit (btrfs) report 0 files.
  if (::statvfs(folder.c_str(), &space) == 0 && space.f_files != 0 && space.f_favail < needed) {
    std::fprintf(stderr,
                 "%s has %llu free inodes; a tree of %d processes needs %llu. "
                 "Point TMPDIR at a folder with more (a disk folder where /dev/shm has too "
                 "few).\n",
                 folder.c_str(), static_cast<unsigned long long>(space.f_favail), processes,
                 static_cast<unsigned long long>(needed));
    return nullptr;
  }
  std::fprintf(stderr, "Writing a tree of %d processes under %s ...\n", processes, folder.c_str());
  return &trees_.emplace(processes, Make(processes)).first->second;
}

void SyntheticTrees::KeepOnly(int processes) {
  for (auto it = trees_.begin(); it != trees_.end();) {
    if (it->first == processes) {
      ++it;
      continue;
    }
    std::filesystem::remove_all(it->second.root);
    it = trees_.erase(it);
  }
}

}  // namespace gpuproc::bench
