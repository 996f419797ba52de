// The seam between the library's logic and the operating system.
//
// Every platform operation that the call needs, and nothing else: the PDH
// query operations and enumeration, the pause, the thread's last-error code
// and its message text, the process base-name lookup, UTF-16 to UTF-8
// conversion and the two standard streams. The Windows back end passes these
// straight to pdh.dll and kernel32; the Linux back end replaces them; tests
// script them.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace gpuproc {

// PDH_STATUS: 0 is success, every other value (warnings included) a failure.
using PdhStatus = std::int32_t;
inline constexpr PdhStatus kPdhSuccess = 0;

// PDH_HQUERY, PDH_HCOUNTER and a process HANDLE; null means "none".
using QueryHandle = void*;
using CounterHandle = void*;
using ProcessHandle = void*;

// Access rights asked of OpenProcess: PROCESS_QUERY_INFORMATION | PROCESS_VM_READ.
inline constexpr std::uint32_t kProcessNameAccess = 0x0410;
// MAX_PATH: the size of the buffer the base name is read into, in characters.
inline constexpr std::uint32_t kProcessNameBufferSize = 260;
// PROCESS_QUERY_LIMITED_INFORMATION: what other users' and protected
// processes still grant, enough for their image path.
inline constexpr std::uint32_t kProcessQueryLimitedInformation = 0x1000;
// The longest path Windows has, in characters with its NUL.
inline constexpr std::uint32_t kProcessImagePathBufferSize = 32768;

// One element of a formatted counter array.
struct CounterItem {
  std::u16string instance;
  std::uint32_t status = 0;  // PDH_CSTATUS_*: 0 (valid) and 1 (new) carry a value
  double value = 0;
};
inline constexpr std::uint32_t kPdhCStatusValidData = 0;
inline constexpr std::uint32_t kPdhCStatusNewData = 1;
// One element of a raw counter array: the counter's own integer, before any
// formatting ("Running Time" counts 100 ns units).
struct RawCounterItem {
  std::u16string instance;
  std::uint32_t status = 0;  // PDH_CSTATUS_*, as for CounterItem
  std::int64_t firstValue = 0;
};

// PDH_MORE_DATA: a buffer too small for what is to be written in it.
inline constexpr PdhStatus kPdhMoreData = static_cast<PdhStatus>(0x800007D2);
// PDH_CSTATUS_NO_COUNTER: the object exists but has no counter of that name.
inline constexpr PdhStatus kPdhCStatusNoCounter = static_cast<PdhStatus>(0xC0000BB9);

// One GPU as the system describes it outside the counters: what names a
// record's adapter and, where the counters have no "Free", sizes it.
struct AdapterDescription {
  // "luid_0x<HI>_0x<LO>": every counter instance of this GPU starts with it,
  // followed by "_phys_<N>".
  std::u16string luid;
  std::string name;             // valid UTF-8; empty when the system gives none
  double dedicatedBytes = -1;   // the GPU's own memory; -1 when unknown
  std::string pciAddress = {};  // "dddd:bb:dd.f"; empty when the system gives none
  // "GPU", or "NPU" for a compute accelerator that is no graphics adapter.
  std::string kind = "GPU";
};

// What one GPU says about itself beside its memory, named as
// AdapterDescription names it. Each member empty where the system gives none.
struct AdapterHealth {
  std::u16string luid;  // "luid_0x<HI>_0x<LO>"
  std::optional<double> powerWatts;
  std::optional<double> powerLimitWatts;
  std::optional<double> energyJoules;                  // the device's own cumulative counter
  std::map<std::string, double> temperatures;          // sensor to degrees Celsius
  std::map<std::string, double> slowdownTemperatures;  // sensor to degrees Celsius
  std::map<std::string, double> clocks;                // clock to hertz
  std::optional<double> fanRpm;
  std::optional<double> busyPercent;
  bool packagePower = false;  // the power is the whole package's, CPU included
};

class EnergyAccount;

// When one counter instance's values were read.
struct InstanceReadTime {
  std::u16string instance;
  double seconds = 0;
};

class Platform {
 public:
  virtual ~Platform() = default;

  // SetLastError(0), then PdhOpenQueryW(nullptr, 0, query): a failure that
  // sets no last error leaves 0, never an earlier, unrelated code.
  virtual PdhStatus OpenQuery(QueryHandle* query) = 0;
  // PdhAddEnglishCounterW(query, path, 0, counter): `path` is English on
  // every system. `path` holds no NUL.
  virtual PdhStatus AddCounter(QueryHandle query, std::u16string_view path,
                               CounterHandle* counter) = 0;
  // PdhCollectQueryData(query).
  virtual PdhStatus CollectQueryData(QueryHandle query) = 0;
  // PdhGetFormattedCounterValue(counter, PDH_FMT_DOUBLE, nullptr, &value):
  // `value` receives doubleValue when the status is 0.
  virtual PdhStatus GetFormattedCounterValue(CounterHandle counter, double* value) = 0;
  // PdhGetFormattedCounterArrayW(counter, PDH_FMT_DOUBLE, ...) with its
  // size-then-fill protocol: every instance the counter covered at the last
  // collection, in the platform's order, each with its CStatus and value.
  // `items` is replaced when the status is 0.
  virtual PdhStatus GetFormattedCounterArray(CounterHandle counter,
                                             std::vector<CounterItem>* items) = 0;
  // PdhGetRawCounterArrayW(counter, ...) with the same protocol: every
  // instance's raw value at the last collection. `items` is replaced when the
  // status is 0.
  virtual PdhStatus GetRawCounterArray(CounterHandle counter,
                                       std::vector<RawCounterItem>* items) = 0;
  // PdhRemoveCounter(counter).
  virtual PdhStatus RemoveCounter(CounterHandle counter) = 0;
  // PdhCloseQuery(query).
  virtual PdhStatus CloseQuery(QueryHandle query) = 0;
  // PdhEnumObjectItemsW(nullptr, nullptr, name, counters, counterLength,
  // instances, instanceLength, PERF_DETAIL_WIZARD, 0), where `object` is the
  // English name and `name` its name in the system's display language. The
  // size request (null buffers, zero lengths) first finds that name (the
  // English wildcard path added with PdhAddEnglishCounterW to a query of its
  // own, PdhGetCounterInfoW's object name) and, where found, refreshes PDH's
  // object list (PdhEnumObjectsW with bRefresh TRUE); the fill request reuses
  // the name. Lengths are in UTF-16 code units.
  virtual PdhStatus EnumObjectItems(std::u16string_view object, char16_t* counters,
                                    std::uint32_t* counterLength, char16_t* instances,
                                    std::uint32_t* instanceLength) = 0;
  // EnumObjectItems for a caller that keeps only the instances of process
  // `processId`: the list holds every instance of that process and may leave
  // out the others, so a platform that can look at one process alone does not
  // walk the whole machine. PDH cannot: the Windows back end lists everything.
  virtual PdhStatus EnumProcessObjectItems(std::uint32_t processId, std::u16string_view object,
                                           char16_t* counters, std::uint32_t* counterLength,
                                           char16_t* instances, std::uint32_t* instanceLength) = 0;
  // The GPUs of the machine, asked while `query` is open and collected: DXGI's
  // adapters on Windows (CreateDXGIFactory1, EnumAdapters1, GetDesc1), the
  // GPU sources' devices of the query's latest collection on Linux. Empty
  // where the system cannot say.
  virtual std::vector<AdapterDescription> DescribeAdapters(QueryHandle query) = 0;
  // The processes the query's latest collection could not look at because
  // the system refused it (on Linux: their fd folders or fdinfo, EACCES or
  // EPERM). PDH reads every process or none: 0 on Windows.
  virtual std::uint32_t UnreadableProcesses(QueryHandle) { return 0; }
  // The health of the GPUs of the query's latest collection, read now: hwmon
  // and NVML on Linux. Windows publishes no power, energy or temperature
  // counter (docs/windows.md), so there it is empty.
  virtual std::vector<AdapterHealth> ReadAdapterHealth(QueryHandle /*query*/) { return {}; }
  // Where the energy split between processes is kept from one snapshot to
  // the next for the whole process; null where the platform keeps none.
  virtual EnergyAccount* KeptEnergyAccount() { return nullptr; }
  // When each process instance's counters were read at the query's latest
  // collection, in MonotonicSeconds: a scan of many processes reads each at
  // its own moment. Empty where the platform reads a collection at once
  // (PDH), so that the moment after CollectQueryData stands for all.
  virtual std::vector<InstanceReadTime> ProcessReadTimes(QueryHandle /*query*/) { return {}; }
  // The names of the GPU sources this process was reading and the query
  // could no longer open (on Linux "nvml", when NVIDIA's library could not
  // be loaded again after a driver reload); OpenQuery wrote an error line
  // for each. Empty on Windows.
  virtual std::vector<std::string> LostSources(QueryHandle /*query*/) { return {}; }

  // Seconds on the process's monotonic clock: QueryPerformanceCounter over
  // its frequency, CLOCK_MONOTONIC elsewhere. The same clock in every call.
  virtual double MonotonicSeconds() = 0;
  // Sleep(milliseconds).
  virtual void Sleep(std::uint32_t milliseconds) = 0;
  // GetLastError(): the calling thread's last-error code.
  virtual std::uint32_t GetLastError() = 0;
  // FormatMessageW(0x1300, nullptr, code, 0x0400, ...) followed by LocalFree:
  // the system's text for `code` exactly as returned. False when the platform
  // produced no text.
  virtual bool FormatSystemMessage(std::uint32_t code, std::u16string* text) = 0;

  // OpenProcess(access, FALSE, processId); null when it cannot be opened.
  virtual ProcessHandle OpenProcess(std::uint32_t access, std::uint32_t processId) = 0;
  // K32GetModuleBaseNameW(process, nullptr, buffer, size): a non-zero count on
  // success.
  virtual std::uint32_t GetModuleBaseName(ProcessHandle process, char16_t* buffer,
                                          std::uint32_t size) = 0;
  // QueryFullProcessImageNameW(process, 0, buffer, size): true on success,
  // `size` then holding the characters written without the NUL; on entry it
  // is the buffer's size in characters.
  virtual bool QueryFullProcessImageName(ProcessHandle process, char16_t* buffer,
                                         std::uint32_t* size) = 0;
  // CloseHandle(process).
  virtual void CloseHandle(ProcessHandle process) = 0;
  // WideCharToMultiByte(CP_UTF8, 0, text, length, out, outSize, nullptr,
  // nullptr): with a null `out` and size 0 the number of bytes needed.
  virtual int WideCharToMultiByte(const char16_t* text, int length, char* out, int outSize) = 0;

  // One error line for the standard error stream (the wide stream on Windows,
  // UTF-8 elsewhere). The system platforms hold it until FlushErrorLines.
  virtual void WriteErrorLine(std::u16string_view line) = 0;
  // The lines held, in the order they were made, each followed by a newline,
  // then a flush. Called after the call lock is released, so that a standard
  // error that blocks holds only the caller whose lines they are.
  virtual void FlushErrorLines() = 0;
  // `text` and the stream's end of line on standard output in one write,
  // then a flush. Called after the call lock is released, so possibly from
  // several threads at once.
  virtual void WriteOutputLine(std::string_view text) = 0;
};

// The operating system's own platform, made afresh for each call; each real
// back end (Windows, Linux) defines it.
std::unique_ptr<Platform> CreateSystemPlatform();

#if !defined(_WIN32)
// What the system platform keeps across calls, for the process: in a forked
// child, replaced by a fresh one before anything else runs there; released
// when the library is unloaded, and never at process exit.
void ResetSystemPlatformInForkChild();
void ReleaseSystemPlatform();
#endif

}  // namespace gpuproc
