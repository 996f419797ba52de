// The real platform on Windows: a pass-through to pdh.dll and KERNEL32.
//
// Each operation forwards to the system function named in platform.h with
// exactly the arguments given there. Some things are added on top, each for a
// fault or rule of the system rather than of the logic:
// - counters are added by their English paths (PdhAddEnglishCounterW), and
//   the enumeration finds the object's localised name and refreshes PDH's
//   object list first, so that non-English systems and processes that start
//   using a GPU later are seen;
// - counters whose path holds a "*" are read through
//   PdhGetFormattedCounterArrayW, because PdhGetFormattedCounterValue has no
//   single value for a counter that matched several instances;
// - each error line is converted whole, a character the C runtime's locale
//   has no bytes for becoming "?", and written with one WriteFile, so a host
//   writing to stderr from another thread cannot split it;
// - the report goes out with one fwrite and a flush on the C runtime's stdout.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace gpuproc {

// One element of a formatted counter array: its CStatus and its value.
struct FormattedCounterItem {
  std::uint32_t status;
  double value;
};

// The value of a counter added with a wildcard instance: the largest item that
// carries valid data (PDH_CSTATUS_VALID_DATA or PDH_CSTATUS_NEW_DATA), or none.
std::optional<double> LargestValidItem(const std::vector<FormattedCounterItem>& items);

// `line` as the C runtime's wide error stream would write it in its current
// locale, ending in CR LF, with "?" for every UTF-16 unit that has no bytes
// there.
std::string ErrorLineBytes(std::u16string_view line);

class WindowsPlatform final : public Platform {
 public:
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

  double MonotonicSeconds() override;
  void Sleep(std::uint32_t milliseconds) override;
  std::uint32_t GetLastError() override;
  bool FormatSystemMessage(std::uint32_t code, std::u16string* text) override;

  ProcessHandle OpenProcess(std::uint32_t access, std::uint32_t processId) override;
  std::uint32_t GetModuleBaseName(ProcessHandle process, char16_t* buffer,
                                  std::uint32_t size) override;
  void CloseHandle(ProcessHandle process) override;
  int WideCharToMultiByte(const char16_t* text, int length, char* out, int outSize) override;

  void WriteErrorLine(std::u16string_view line) override;
  void WriteOutputLine(std::string_view text) override;

 private:
  // Counters added with a "*" in their path, with the query that holds them,
  // so that closing the query forgets them before PDH can hand out the same
  // handle value again.
  struct WildcardCounter {
    CounterHandle counter;
    QueryHandle query;
  };
  std::vector<WildcardCounter> wildcardCounters_;
  // The localised name of the object being enumerated, found at the size
  // request; empty where it could not be found (the English name is used).
  std::wstring enumerationObject_;

  bool IsWildcardCounter(CounterHandle counter) const;
};

}  // namespace gpuproc
