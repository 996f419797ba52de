#include "platform/linux/kfd_source.h"

#include <fcntl.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/linux/busy_time_ledger.h"
#include "platform/linux/device_sysfs.h"
#include "platform/linux/drm_fd_listing.h"
#include "platform/linux/host_fs.h"
#include "platform/linux/number_text.h"

namespace gpuproc {
namespace {

constexpr const char* kProcFolder = "class/kfd/kfd/proc";

// The <gpu_id> of "<prefix><gpu_id>".
std::optional<std::uint32_t> GpuIdOf(std::string_view name, std::string_view prefix) {
  if (!name.starts_with(prefix)) return std::nullopt;
  return ParseDecimal<std::uint32_t>(name.substr(prefix.size()));
}

// What one process's folder holds for one GPU.
struct KfdFigures {
  std::optional<std::uint64_t> vramBytes, sdmaUs, cuOccupancy;
};

class KfdSource final : public GpuSource {
 public:
  explicit KfdSource(const GpuSourceContext& context)
      : fs_(context.fs), clock_(context.clock), ledger_(context.ledger) {}

  GpuSnapshot Collect(const CollectScope& scope) override;

 private:
  std::map<std::uint32_t, KfdFigures> ReadProcess(int folder);
  void Report(std::uint32_t processId, const KfdGpu& gpu, const KfdFigures& figures,
              std::uint64_t readAtNs, GpuSnapshot& snapshot);

  const HostFs& fs_;
  MonotonicClock clock_;
  BusyTimeLedger& ledger_;
  std::optional<std::map<std::uint32_t, KfdGpu>> gpus_;  // read once per source
  std::vector<char> buffer_ = std::vector<char>(8 * 1024);
  // Each (process, device)'s previous SDMA reading and when, for its rate.
  std::map<std::pair<std::uint32_t, GpuDevice>, std::pair<std::uint64_t, std::uint64_t>>
      previousSdma_;
};

std::map<std::uint32_t, KfdFigures> KfdSource::ReadProcess(int folder) {
  std::map<std::uint32_t, KfdFigures> figures;
  std::vector<std::string> names;
  ForEachDirectoryEntry(folder, buffer_,
                        [&](const char* name, unsigned char) { names.emplace_back(name); });
  for (const std::string& name : names) {
    if (const auto gpuId = GpuIdOf(name, "vram_")) {
      figures[*gpuId].vramBytes = ReadSysNumber(folder, name.c_str());
    } else if (const auto sdmaId = GpuIdOf(name, "sdma_")) {
      figures[*sdmaId].sdmaUs = ReadSysNumber(folder, name.c_str());
    } else if (const auto statsId = GpuIdOf(name, "stats_")) {
      const UniqueFd stats(OpenInRoot(folder, name, O_RDONLY | O_DIRECTORY));
      if (stats.Valid()) figures[*statsId].cuOccupancy = ReadSysNumber(stats.Get(), "cu_occupancy");
    }
  }
  return figures;
}

void KfdSource::Report(std::uint32_t processId, const KfdGpu& gpu, const KfdFigures& figures,
                       std::uint64_t readAtNs, GpuSnapshot& snapshot) {
  ProcessGpuUsage usage;
  usage.processId = processId;
  usage.device = gpu.device;
  if (figures.vramBytes) {
    // KFD counts the VRAM a process allocated; it has no figure for the
    // system memory it maps, which stays with DRM fdinfo where there is any.
    usage.dedicatedUsage = figures.vramBytes;
    usage.localUsage = figures.vramBytes;
    usage.totalCommitted = figures.vramBytes;
    usage.sharedUsage = 0;
  }
  if (figures.sdmaUs) {
    EngineClassUsage copy{"Copy", std::nullopt, SaturatingMultiply(*figures.sdmaUs, 1000), true};
    const auto key = std::pair(processId, gpu.device);
    const auto before = previousSdma_.find(key);
    if (before != previousSdma_.end() && readAtNs > before->second.second) {
      const std::uint64_t busyUs =
          *figures.sdmaUs > before->second.first ? *figures.sdmaUs - before->second.first : 0;
      copy.utilizationPercent =
          std::clamp(static_cast<double>(busyUs) * 1000.0 * 100.0 /
                         static_cast<double>(readAtNs - before->second.second),
                     0.0, 100.0);
    }
    previousSdma_[key] = {*figures.sdmaUs, readAtNs};
    usage.engines.push_back(std::move(copy));
  }
  if (figures.cuOccupancy && gpu.computeUnits && *gpu.computeUnits > 0) {
    const double share = std::min(
        1.0, static_cast<double>(*figures.cuOccupancy) / static_cast<double>(*gpu.computeUnits));
    usage.engines.push_back({"Compute", share * 100.0,
                             ledger_.RecordKfdOccupancy(processId, gpu.device, share, readAtNs),
                             true});
  }
  if (!usage.dedicatedUsage && usage.engines.empty()) return;
  snapshot.processes.push_back(std::move(usage));
}

GpuSnapshot KfdSource::Collect(const CollectScope& scope) {
  GpuSnapshot snapshot;
  snapshot.supplementsEarlierSources = true;
  const int sysRoot = fs_.SysRootFd();
  if (sysRoot < 0) return snapshot;
  const UniqueFd procFolder(OpenInRoot(sysRoot, kProcFolder, O_RDONLY | O_DIRECTORY));
  if (!procFolder.Valid()) return snapshot;  // no KFD: no ROCm on this machine

  std::vector<std::uint32_t> processIds;
  if (scope.allProcesses) {
    ForEachDirectoryEntry(procFolder.Get(), buffer_, [&](const char* name, unsigned char) {
      if (const auto processId = ParseDecimal<std::uint32_t>(name))
        processIds.push_back(*processId);
    });
    std::sort(processIds.begin(), processIds.end());
  } else {
    processIds = scope.processIds;
  }
  for (const std::uint32_t processId : processIds) {
    char name[16];
    std::snprintf(name, sizeof name, "%u", processId);
    const UniqueFd folder(OpenInRoot(procFolder.Get(), name, O_RDONLY | O_DIRECTORY));
    if (!folder.Valid()) continue;
    const std::map<std::uint32_t, KfdFigures> figures = ReadProcess(folder.Get());
    if (figures.empty()) continue;
    const std::uint64_t readAt = clock_ ? clock_() : 0;
    if (!gpus_) gpus_ = ReadKfdGpus(sysRoot);
    // In device order, as every source lists a process's devices.
    std::vector<std::pair<const KfdGpu*, const KfdFigures*>> found;
    for (const auto& [gpuId, figure] : figures) {
      const auto gpu = gpus_->find(gpuId);
      if (gpu != gpus_->end()) found.emplace_back(&gpu->second, &figure);
    }
    std::sort(found.begin(), found.end(),
              [](const auto& a, const auto& b) { return a.first->device < b.first->device; });
    for (const auto& [gpu, figure] : found) Report(processId, *gpu, *figure, readAt, snapshot);
  }
  return snapshot;
}

}  // namespace

std::unique_ptr<GpuSource> CreateKfdSource(const GpuSourceContext& context) {
  return std::make_unique<KfdSource>(context);
}

}  // namespace gpuproc
