#include "platform/linux/busy_time_ledger.h"

#include <algorithm>
#include <cmath>

#include "platform/linux/process_state.h"

namespace gpuproc {
namespace {

constexpr double kClockStepToleranceUs = 50'000;

// One client's engine class after one more reading `elapsedNs` after its
// previous one (0 for its first).
void Advance(const FdinfoEngine& now, std::uint64_t elapsedNs, bool first, std::uint64_t& totalNs,
             std::optional<CycleReading>& base) {
  if (now.busyNs) {
    // A counter that went down keeps its larger earlier value (the DRM
    // usage-stats rule): the total never falls.
    totalNs = std::max(totalNs, *now.busyNs);
    return;
  }
  if (!now.cycles || !now.totalCycles) return;
  const CycleReading reading{*now.cycles, *now.totalCycles};
  if (!first && base) {
    // The windowed call's rule (DrmUsageSummary): an interval over which the
    // GPU timestamp went back adds nothing, and the next counts from it.
    if (const std::optional<double> share =
            CycleBusyShare(*base, reading, now.capacity.value_or(1))) {
      totalNs += static_cast<std::uint64_t>(*share * static_cast<double>(elapsedNs) + 0.5);
    }
  }
  base = base ? NextCycleBase(*base, reading) : reading;
}

}  // namespace

ClassBusyTimes BusyTimeLedger::RecordClients(std::uint32_t processId,
                                             std::optional<std::uint64_t> startTime,
                                             const std::vector<DrmClient>& clients) {
  const std::lock_guard<std::mutex> guard(lock_);
  const auto known = startTimes_.find(processId);
  if (startTime && known != startTimes_.end() && known->second && *known->second != *startTime) {
    // The id was reused since the last reading: nothing of the old process
    // carries over.
    ForgetLocked(processId);
  }
  std::optional<std::uint64_t>& recorded = startTimes_[processId];
  if (startTime) recorded = startTime;
  for (const DrmClient& client : clients) {
    ClientTime& time = clients_[client.key];
    const bool first = !time.readAtNs;
    const std::uint64_t elapsed =
        (!first && client.readAtNs > *time.readAtNs) ? client.readAtNs - *time.readAtNs : 0;
    for (const FdinfoEngine& engine : client.info.engines) {
      EngineTime& kept = time.engines[engine.name];
      Advance(engine, elapsed, first, kept.totalNs, kept.cycles);
    }
    time.readAtNs = std::max(time.readAtNs.value_or(0), client.readAtNs);
  }
  // Closed clients stay in the ledger with their last totals until the
  // process exits.
  ClassBusyTimes totals;
  const DrmClientKey first{processId, {}, false, 0};
  for (auto it = clients_.lower_bound(first);
       it != clients_.end() && it->first.processId == processId; ++it) {
    for (const auto& [name, engine] : it->second.engines) {
      totals[{it->first.device, name}] += engine.totalNs;
    }
  }
  return totals;
}

std::optional<std::uint64_t> BusyTimeLedger::NvmlLastSeen(GpuDevice device) {
  const std::lock_guard<std::mutex> guard(lock_);
  const auto found = nvmlDevices_.find(device);
  return found == nvmlDevices_.end() ? std::nullopt : found->second.lastSeenUs;
}

std::map<std::uint32_t, BusyTimeLedger::NvmlProcessTime> BusyTimeLedger::RecordNvmlSamples(
    GpuDevice device, const std::vector<NvmlSample>& samples) {
  const std::lock_guard<std::mutex> guard(lock_);
  NvmlDevice& kept = nvmlDevices_[device];
  std::vector<NvmlSample> ordered = samples;
  std::sort(ordered.begin(), ordered.end(),
            [](const NvmlSample& a, const NvmlSample& b) { return a.timeStampUs < b.timeStampUs; });
  for (const NvmlSample& sample : ordered) {
    NvmlTime& time = kept.processes[sample.processId];
    // A sample seen before (the driver answers "newer than" inclusively on
    // some versions) adds nothing.
    if (time.newest && sample.timeStampUs <= time.newest->timeStampUs) continue;
    if (time.newest) {
      const std::uint64_t interval =
          std::min(sample.timeStampUs - time.newest->timeStampUs, kNvmlMaxSampleIntervalUs);
      // Percent of an interval in µs, in ns: × 10.
      time.busyNs += static_cast<std::uint64_t>(std::min(sample.smUtil, 100u)) * interval * 10;
      time.encBusyNs += static_cast<std::uint64_t>(std::min(sample.encUtil, 100u)) * interval * 10;
      time.decBusyNs += static_cast<std::uint64_t>(std::min(sample.decUtil, 100u)) * interval * 10;
    }
    time.newest = sample;
    kept.lastSeenUs = std::max(kept.lastSeenUs.value_or(0), sample.timeStampUs);
  }
  std::map<std::uint32_t, NvmlProcessTime> out;
  for (const auto& [processId, time] : kept.processes) {
    out[processId] = {time.busyNs, time.newest, time.encBusyNs, time.decBusyNs};
  }
  return out;
}

void BusyTimeLedger::RestartNvmlDevice(GpuDevice device) {
  const std::lock_guard<std::mutex> guard(lock_);
  NvmlDevice& kept = nvmlDevices_[device];
  kept.lastSeenUs.reset();
  // Busy time already counted stays; only the sample times, on a clock that
  // is no longer the same, are dropped.
  for (auto& [processId, time] : kept.processes) time.newest.reset();
}

bool BusyTimeLedger::NvmlWindowTrusted(std::uint64_t realUs, std::uint64_t monoUs,
                                       std::uint64_t windowUs) {
  const std::lock_guard<std::mutex> guard(lock_);
  if (previousRealUs_ && previousMonoUs_ && monoUs >= *previousMonoUs_) {
    const double elapsed = static_cast<double>(monoUs - *previousMonoUs_);
    const double wallElapsed = static_cast<double>(realUs) - static_cast<double>(*previousRealUs_);
    // NTP slews by at most 500 ppm; anything beyond that and a margin is a
    // step of the wall clock.
    if (std::abs(wallElapsed - elapsed) > kClockStepToleranceUs + elapsed * 0.001) {
      lastStepMonoUs_ = monoUs;
    }
  }
  previousRealUs_ = realUs;
  previousMonoUs_ = monoUs;
  return !lastStepMonoUs_ || monoUs - *lastStepMonoUs_ > windowUs;
}

std::uint64_t BusyTimeLedger::RecordKfdOccupancy(std::uint32_t processId, GpuDevice device,
                                                 double share, std::uint64_t readAtNs) {
  const std::lock_guard<std::mutex> guard(lock_);
  share = std::clamp(share, 0.0, 1.0);
  const auto [it, first] = kfdOccupancy_.try_emplace({processId, device});
  KfdOccupancy& kept = it->second;
  if (!first && readAtNs > kept.readAtNs) {
    const double mean = (kept.share + share) / 2;
    kept.busyNs +=
        static_cast<std::uint64_t>(mean * static_cast<double>(readAtNs - kept.readAtNs) + 0.5);
  }
  if (first || readAtNs >= kept.readAtNs) {
    kept.share = share;
    kept.readAtNs = readAtNs;
  }
  return kept.busyNs;
}

void BusyTimeLedger::KeepOnly(const std::vector<std::uint32_t>& living) {
  const std::lock_guard<std::mutex> guard(lock_);
  const auto exited = [&](std::uint32_t processId) {
    return !std::binary_search(living.begin(), living.end(), processId);
  };
  std::erase_if(clients_, [&](const auto& entry) { return exited(entry.first.processId); });
  std::erase_if(startTimes_, [&](const auto& entry) { return exited(entry.first); });
  for (auto& [device, kept] : nvmlDevices_) {
    std::erase_if(kept.processes, [&](const auto& entry) { return exited(entry.first); });
  }
  std::erase_if(kfdOccupancy_, [&](const auto& entry) { return exited(entry.first.first); });
}

std::vector<std::pair<std::uint32_t, std::optional<std::uint64_t>>>
BusyTimeLedger::KeptProcesses() {
  const std::lock_guard<std::mutex> guard(lock_);
  return {startTimes_.begin(), startTimes_.end()};
}

void BusyTimeLedger::Forget(std::uint32_t processId) {
  const std::lock_guard<std::mutex> guard(lock_);
  ForgetLocked(processId);
}

void BusyTimeLedger::ForgetLocked(std::uint32_t processId) {
  std::erase_if(clients_, [&](const auto& entry) { return entry.first.processId == processId; });
  startTimes_.erase(processId);
  for (auto& [device, kept] : nvmlDevices_) kept.processes.erase(processId);
}

std::size_t BusyTimeLedger::Entries() {
  const std::lock_guard<std::mutex> guard(lock_);
  std::size_t entries = clients_.size() + startTimes_.size();
  for (const auto& [device, kept] : nvmlDevices_) entries += kept.processes.size();
  return entries;
}

std::shared_ptr<BusyTimeLedger> SharedBusyTimeLedger() { return CurrentProcessState().busyTime; }

}  // namespace gpuproc
