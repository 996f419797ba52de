// A platform whose every answer a test chooses, and which records every call
// it receives (pauses included, which take no time).
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace gpuproc::testing {

class ScriptedPlatform : public Platform {
 public:
  // --- the script ---
  PdhStatus openQueryStatus = kPdhSuccess;
  std::uint32_t lastError = 0;
  std::optional<std::u16string> systemMessage = u"The system message.\r\n";
  // Refused counter paths and their statuses; every other path is accepted.
  std::map<std::u16string, PdhStatus> refusedPaths;
  // Values of counters by path; a path without a value fails its read.
  std::map<std::u16string, double> values;
  // Values that change with every collection: the value after the n-th
  // collection (1-based) is element n-1; overrides `values`.
  std::map<std::u16string, std::vector<double>> valuesByCollection;
  // What an array read of a counter path returns; a path without an entry
  // fails with PDH_INVALID_DATA.
  std::map<std::u16string, std::vector<CounterItem>> arrays;
  // Arrays that change with every collection, as valuesByCollection.
  std::map<std::u16string, std::vector<std::vector<CounterItem>>> arraysByCollection;
  // What a raw array read of a counter path returns; without an entry it
  // fails with PDH_INVALID_DATA.
  std::map<std::u16string, std::vector<RawCounterItem>> rawArrays;
  // The monotonic clock, in seconds.
  double monotonicSeconds = 0;
  // When process instances were read, where the platform says.
  std::vector<InstanceReadTime> processReadTimes;
  std::vector<std::string> lostSources;
  // The instance buffer as the platform fills it, and the length it reports
  // for it on the size request (by default the buffer's size).
  std::u16string instanceBuffer;
  std::optional<std::uint32_t> reportedInstanceLength;
  std::uint32_t reportedCounterLength = 4;
  // How many fill requests answer PDH_MORE_DATA (the list grew) first.
  int fillsAnsweringMoreData = 0;
  // The process: whether it opens with the name rights, what the name buffer
  // holds afterwards and the count the lookup returns; whether it opens with
  // the limited right, and its image path (none: the query fails).
  bool processOpens = true;
  std::u16string processNameBuffer = u"host.exe";
  std::optional<std::uint32_t> processNameCount;
  bool limitedProcessOpens = true;
  std::optional<std::u16string> imagePath = u"C:\\Program Files\\Host\\image.exe";
  // The GPUs the system describes.
  std::vector<AdapterDescription> adapters;

  // --- what happened ---
  std::vector<std::string> events;
  std::vector<std::u16string> errorLines;
  std::string output;
  int openProcessHandles = 0;
  int openQueries = 0;

  // Instance names as the platform would list them, NUL-separated and ended
  // by an empty name.
  void SetInstances(const std::vector<std::u16string>& names);

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
  std::vector<InstanceReadTime> ProcessReadTimes(QueryHandle /*query*/) override {
    return processReadTimes;
  }
  std::vector<std::string> LostSources(QueryHandle /*query*/) override { return lostSources; }
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

 private:
  std::vector<std::u16string> counterPaths_;  // handle n is counterPaths_[n - 1]
  int collections_ = 0;
  int query_ = 0;
  int process_ = 0;
  std::u16string PathOf(CounterHandle counter) const;
  // Both enumerations list the scripted buffer; the event names the process
  // of a per-process one ("EnumSizes pid 42 GPU Process Memory 0 0").
  PdhStatus Enumerate(const std::string& scope, std::u16string_view object, char16_t* counters,
                      std::uint32_t* counterLength, char16_t* instances,
                      std::uint32_t* instanceLength);
};

// UTF-8 of a UTF-16 string, for messages and event logs.
std::string Narrow(std::u16string_view text);

}  // namespace gpuproc::testing
