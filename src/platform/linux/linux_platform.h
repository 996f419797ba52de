// The Linux side of the platform seam: the counter back end in place of PDH,
// /proc in place of the process API, our own UTF-16 conversion.
#pragma once

#include <vector>

#include "platform/linux/counter_backend.h"
#include "platform/platform.h"
#include "report/energy_account.h"

namespace gpuproc {

class LinuxPlatform final : public Platform {
 public:
  // `energy` keeps the energy split between calls; without one, each
  // platform keeps its own.
  LinuxPlatform(std::vector<GpuSourceEntry> sources, HostFs fs, MonotonicClock clock,
                std::shared_ptr<BusyTimeLedger> ledger = nullptr,
                std::shared_ptr<EnergyAccount> energy = nullptr);

  PdhStatus OpenQuery(QueryHandle* query) override;
  PdhStatus AddCounter(QueryHandle query, std::u16string_view path,
                       CounterHandle* counter) override;
  PdhStatus CollectQueryData(QueryHandle query) override;
  PdhStatus GetFormattedCounterValue(CounterHandle counter, double* value) override;
  PdhStatus GetFormattedCounterArray(CounterHandle counter,
                                     std::vector<CounterItem>* items) override;
  PdhStatus GetRawCounterArray(CounterHandle counter, std::vector<RawCounterItem>* items) override;
  PdhStatus RemoveCounter(CounterHandle counter) override;
  PdhStatus CloseQuery(QueryHandle query) override;
  PdhStatus EnumObjectItems(std::u16string_view object, char16_t* counters,
                            std::uint32_t* counterLength, char16_t* instances,
                            std::uint32_t* instanceLength) override;
  PdhStatus EnumProcessObjectItems(std::uint32_t processId, std::u16string_view object,
                                   char16_t* counters, std::uint32_t* counterLength,
                                   char16_t* instances, std::uint32_t* instanceLength) override;
  std::vector<AdapterDescription> DescribeAdapters(QueryHandle query) override;
  std::uint32_t UnreadableProcesses(QueryHandle query) override;
  std::vector<AdapterHealth> ReadAdapterHealth(QueryHandle query) override;
  EnergyAccount* KeptEnergyAccount() override { return energy_.get(); }
  std::vector<InstanceReadTime> ProcessReadTimes(QueryHandle query) override;
  std::vector<std::string> LostSources(QueryHandle query) override;

  double MonotonicSeconds() override;
  void Sleep(std::uint32_t milliseconds) override;
  std::uint32_t GetLastError() override;
  bool FormatSystemMessage(std::uint32_t code, std::u16string* text) override;

  ProcessHandle OpenProcess(std::uint32_t access, std::uint32_t processId) override;
  std::uint32_t GetModuleBaseName(ProcessHandle process, char16_t* buffer,
                                  std::uint32_t size) override;
  bool QueryFullProcessImageName(ProcessHandle process, char16_t* buffer,
                                 std::uint32_t* size) override;
  void CloseHandle(ProcessHandle process) override;
  int WideCharToMultiByte(const char16_t* text, int length, char* out, int outSize) override;

  void WriteErrorLine(std::u16string_view line) override;
  void FlushErrorLines() override;
  void WriteOutputLine(std::string_view text) override;

  CounterBackend& Backend() { return backend_; }

 private:
  MonotonicClock clock_;
  CounterBackend backend_;
  std::shared_ptr<EnergyAccount> energy_;
  // A platform serves one call on one thread, so what Windows keeps per
  // thread is kept here.
  std::uint32_t lastError_ = 0;
  std::string rootErrorText_;  // the message of kErrorRootUnreadable
  std::string pendingErrorLines_;
};

// The executable's base name from the target of /proc/<pid>/exe: its last
// component, without the " (deleted)" the kernel appends once the file is gone.
std::string ExecutableBaseName(std::string_view exeLinkTarget);

// CLOCK_MONOTONIC in nanoseconds.
std::uint64_t MonotonicNanoseconds();

}  // namespace gpuproc
