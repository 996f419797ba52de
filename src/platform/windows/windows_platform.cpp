#include <windows.h>
// windows.h first: the PDH and PSAPI headers rely on its types.
#include <pdh.h>
#include <pdhmsg.h>
#include <psapi.h>
// psapi.h maps GetModuleBaseName to its A or W form, which would rename the
// platform operation of the same name in this file.
#undef GetModuleBaseName

#include <io.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <memory>
#include <string>
#include <utility>

#include "platform/windows/dxgi_adapters.h"
#include "platform/windows/windows_platform.h"

namespace gpuproc {

// UTF-16 text is passed between char16_t (the library's wide text) and
// wchar_t (the Windows API's) by pointer. On Windows both are 16-bit code
// units of UTF-16, so the same bytes mean the same text; the only accesses
// through the other type happen inside the system DLLs, across a call the
// compiler cannot see through.
static_assert(sizeof(wchar_t) == sizeof(char16_t), "wchar_t must hold UTF-16 on Windows");

namespace {

// FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
// FORMAT_MESSAGE_IGNORE_INSERTS, and MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT).
constexpr DWORD kFormatMessageFlags =
    FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
constexpr DWORD kFormatMessageLanguage = MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT);
static_assert(kFormatMessageFlags == 0x1300);
static_assert(kFormatMessageLanguage == 0x0400);
static_assert(PERF_DETAIL_WIZARD == 400);
static_assert(PDH_FMT_DOUBLE == 0x200);

// Instances can appear between the sizing call and the reading call of
// PdhGetFormattedCounterArrayW; a few fresh tries cover that race.
constexpr int kArrayReadAttempts = 3;

constexpr char kUnwritableCharacter = '?';

struct LocalFreeDeleter {
  void operator()(wchar_t* buffer) const { ::LocalFree(buffer); }
};

bool HasWildcard(std::u16string_view path) { return path.find(u'*') != std::u16string_view::npos; }

// One counter of each GPU object, named in English: adding it with a wildcard
// instance is how the object's name in the system's display language is
// found (PdhEnumObjectItemsW takes only that name).
constexpr std::pair<std::u16string_view, std::u16string_view> kLocalisationProbeCounters[] = {
    {u"GPU Process Memory", u"Local Usage"},
    {u"GPU Engine", u"Utilization Percentage"},
    {u"GPU Adapter Memory", u"Total Committed"},
};

class QueryHandleOwner {
 public:
  QueryHandleOwner() = default;
  ~QueryHandleOwner() {
    if (handle_ != nullptr) ::PdhCloseQuery(handle_);
  }
  QueryHandleOwner(const QueryHandleOwner&) = delete;
  QueryHandleOwner& operator=(const QueryHandleOwner&) = delete;
  PDH_HQUERY* out() { return &handle_; }
  PDH_HQUERY get() const { return handle_; }

 private:
  PDH_HQUERY handle_ = nullptr;
};

// The name of `object` in the system's display language, as PDH reports it
// for an English wildcard path of that object; empty when PDH has no such
// object or cannot say. On an English system it is the English name.
std::wstring LocalisedObjectName(std::u16string_view object) {
  std::u16string_view probeCounter;
  for (const auto& [english, counter] : kLocalisationProbeCounters) {
    if (english == object) probeCounter = counter;
  }
  if (probeCounter.empty()) return {};
  std::wstring path = L"\\";
  path.append(object.begin(), object.end());
  path += L"(*)\\";
  path.append(probeCounter.begin(), probeCounter.end());

  // A short-lived query of its own, so that the call's query never holds the
  // probe, not even for a moment.
  QueryHandleOwner query;
  if (::PdhOpenQueryW(nullptr, 0, query.out()) != ERROR_SUCCESS) return {};
  PDH_HCOUNTER counter = nullptr;
  if (::PdhAddEnglishCounterW(query.get(), path.c_str(), 0, &counter) != ERROR_SUCCESS) return {};
  DWORD bufferSize = 0;
  std::wstring name;
  if (::PdhGetCounterInfoW(counter, FALSE, &bufferSize, nullptr) ==
      static_cast<PDH_STATUS>(PDH_MORE_DATA)) {
    // The info structure followed by the strings it points to; whole
    // structures keep the buffer aligned for it.
    std::vector<PDH_COUNTER_INFO_W> buffer(bufferSize / sizeof(PDH_COUNTER_INFO_W) + 1);
    bufferSize = static_cast<DWORD>(buffer.size() * sizeof(PDH_COUNTER_INFO_W));
    if (::PdhGetCounterInfoW(counter, FALSE, &bufferSize, buffer.data()) == ERROR_SUCCESS &&
        buffer[0].CounterPath.szObjectName != nullptr) {
      name = buffer[0].CounterPath.szObjectName;
    }
  }
  ::PdhRemoveCounter(counter);
  return name;
}

// PdhEnumObjectItemsW lists the objects as PDH saw them at the last
// PdhEnumObjects or PdhEnumObjectItems call of the process: without a refresh
// a long-running host would never see a process that started using a GPU
// after its first call.
void RefreshObjectList() {
  DWORD length = 0;
  ::PdhEnumObjectsW(nullptr, nullptr, nullptr, &length, PERF_DETAIL_WIZARD, TRUE);
}

// Every item of a counter through the size-then-fill protocol that
// PdhGetFormattedCounterArrayW and PdhGetRawCounterArrayW share: `get` calls
// one of them with (bufferSize, itemCount, buffer), `take` turns a PDH item
// into ours.
template <typename PdhItem, typename Item, typename Get, typename Take>
PdhStatus ReadItemArray(Get get, std::vector<Item>& items, Take take) {
  for (int attempt = 0; attempt < kArrayReadAttempts; ++attempt) {
    DWORD bufferSize = 0;
    DWORD itemCount = 0;
    PDH_STATUS status = get(&bufferSize, &itemCount, nullptr);
    if (status == ERROR_SUCCESS) {
      // Nothing matched the wildcard at this sample.
      items.clear();
      return ERROR_SUCCESS;
    }
    if (status != static_cast<PDH_STATUS>(PDH_MORE_DATA)) return status;
    // The buffer holds the item array followed by the instance names that the
    // items point to; whole items keep it aligned for the array.
    std::vector<PdhItem> buffer(bufferSize / sizeof(PdhItem) + 1);
    bufferSize = static_cast<DWORD>(buffer.size() * sizeof(PdhItem));
    itemCount = 0;
    status = get(&bufferSize, &itemCount, buffer.data());
    // Instances that appeared since the size request: ask again.
    if (status == static_cast<PDH_STATUS>(PDH_MORE_DATA)) continue;
    if (status != ERROR_SUCCESS) return status;
    items.clear();
    items.reserve(itemCount);
    for (DWORD index = 0; index < itemCount && index < buffer.size(); ++index) {
      const PdhItem& item = buffer[index];
      std::u16string name;
      if (item.szName != nullptr) {
        name.assign(reinterpret_cast<const char16_t*>(item.szName), std::wcslen(item.szName));
      }
      items.push_back(take(std::move(name), item));
    }
    return ERROR_SUCCESS;
  }
  return static_cast<PdhStatus>(PDH_MORE_DATA);
}

PdhStatus ReadCounterArray(PDH_HCOUNTER counter, std::vector<CounterItem>& items) {
  return ReadItemArray<PDH_FMT_COUNTERVALUE_ITEM_W>(
      [counter](LPDWORD size, LPDWORD count, PDH_FMT_COUNTERVALUE_ITEM_W* buffer) {
        return ::PdhGetFormattedCounterArrayW(counter, PDH_FMT_DOUBLE, size, count, buffer);
      },
      items,
      [](std::u16string name, const PDH_FMT_COUNTERVALUE_ITEM_W& item) {
        return CounterItem{std::move(name), item.FmtValue.CStatus, item.FmtValue.doubleValue};
      });
}

PdhStatus ReadRawCounterArray(PDH_HCOUNTER counter, std::vector<RawCounterItem>& items) {
  return ReadItemArray<PDH_RAW_COUNTER_ITEM_W>(
      [counter](LPDWORD size, LPDWORD count, PDH_RAW_COUNTER_ITEM_W* buffer) {
        return ::PdhGetRawCounterArrayW(counter, size, count, buffer);
      },
      items,
      [](std::u16string name, const PDH_RAW_COUNTER_ITEM_W& item) {
        return RawCounterItem{std::move(name), item.RawValue.CStatus, item.RawValue.FirstValue};
      });
}

// The value of a counter added with a wildcard instance.
PdhStatus ReadWildcardValue(PDH_HCOUNTER counter, double* value) {
  std::vector<CounterItem> read;
  const PdhStatus status = ReadCounterArray(counter, read);
  if (status != ERROR_SUCCESS) {
    return status;
  }
  std::vector<FormattedCounterItem> items;
  items.reserve(read.size());
  for (const CounterItem& item : read) {
    items.push_back({item.status, item.value});
  }
  const std::optional<double> largest = LargestValidItem(items);
  if (!largest) {
    return static_cast<PdhStatus>(PDH_INVALID_DATA);
  }
  *value = *largest;
  return ERROR_SUCCESS;
}

}  // namespace

std::optional<double> LargestValidItem(const std::vector<FormattedCounterItem>& items) {
  std::optional<double> largest;
  for (const FormattedCounterItem& item : items) {
    if (item.status != PDH_CSTATUS_VALID_DATA && item.status != PDH_CSTATUS_NEW_DATA) {
      continue;
    }
    if (!largest || item.value > *largest) {
      largest = item.value;
    }
  }
  return largest;
}

std::string ErrorLineBytes(std::u16string_view line) {
  std::string bytes;
  bytes.reserve(line.size() + 2);
  char character[MB_LEN_MAX];
  for (const char16_t unit : line) {
    // The C runtime's own conversion, as its wide error stream would write
    // the line: its locale's bytes, or none (a C locale has none beyond
    // Latin-1, and none for either half of a surrogate pair).
    const int length = std::wctomb(character, static_cast<wchar_t>(unit));
    if (length > 0) {
      bytes.append(character, static_cast<std::size_t>(length));
    } else {
      bytes.push_back(kUnwritableCharacter);
    }
  }
  bytes += "\r\n";
  return bytes;
}

bool WindowsPlatform::IsWildcardCounter(CounterHandle counter) const {
  for (const WildcardCounter& entry : wildcardCounters_) {
    if (entry.counter == counter) {
      return true;
    }
  }
  return false;
}

PdhStatus WindowsPlatform::OpenQuery(QueryHandle* query) {
  // PdhOpenQueryW can fail without setting the thread's last error; whatever
  // the host left there must not be reported as the reason.
  ::SetLastError(0);
  PDH_HQUERY handle = nullptr;
  const PDH_STATUS status = ::PdhOpenQueryW(nullptr, 0, &handle);
  *query = handle;
  return status;
}

PdhStatus WindowsPlatform::AddCounter(QueryHandle query, std::u16string_view path,
                                      CounterHandle* counter) {
  // PDH reads the path up to its NUL; the view has none of its own.
  const std::wstring terminatedPath(path.begin(), path.end());
  PDH_HCOUNTER handle = nullptr;
  // English paths on every system: PdhAddCounterW would take only the names
  // of the system's display language.
  const PDH_STATUS status = ::PdhAddEnglishCounterW(query, terminatedPath.c_str(), 0, &handle);
  *counter = handle;
  if (status == ERROR_SUCCESS && HasWildcard(path)) {
    wildcardCounters_.push_back({handle, query});
  }
  return status;
}

PdhStatus WindowsPlatform::CollectQueryData(QueryHandle query) {
  return ::PdhCollectQueryData(query);
}

PdhStatus WindowsPlatform::GetFormattedCounterValue(CounterHandle counter, double* value) {
  if (IsWildcardCounter(counter)) {
    return ReadWildcardValue(counter, value);
  }
  PDH_FMT_COUNTERVALUE formatted{};
  const PDH_STATUS status =
      ::PdhGetFormattedCounterValue(counter, PDH_FMT_DOUBLE, nullptr, &formatted);
  if (status == ERROR_SUCCESS) {
    *value = formatted.doubleValue;
  }
  return status;
}

PdhStatus WindowsPlatform::GetFormattedCounterArray(CounterHandle counter,
                                                    std::vector<CounterItem>* items) {
  return ReadCounterArray(counter, *items);
}

PdhStatus WindowsPlatform::GetRawCounterArray(CounterHandle counter,
                                              std::vector<RawCounterItem>* items) {
  return ReadRawCounterArray(counter, *items);
}

PdhStatus WindowsPlatform::RemoveCounter(CounterHandle counter) {
  std::erase_if(wildcardCounters_,
                [counter](const WildcardCounter& entry) { return entry.counter == counter; });
  return ::PdhRemoveCounter(counter);
}

PdhStatus WindowsPlatform::CloseQuery(QueryHandle query) {
  std::erase_if(wildcardCounters_,
                [query](const WildcardCounter& entry) { return entry.query == query; });
  return ::PdhCloseQuery(query);
}

PdhStatus WindowsPlatform::EnumObjectItems(std::u16string_view object, char16_t* counters,
                                           std::uint32_t* counterLength, char16_t* instances,
                                           std::uint32_t* instanceLength) {
  // The size request starts an enumeration: the localised name is found and
  // the object list refreshed then, and the fill request uses both.
  if (instances == nullptr && counters == nullptr) {
    enumerationObject_ = LocalisedObjectName(object);
    // Only where the object exists: elsewhere there is nothing to list anyway,
    // and Wine's PdhEnumObjectsW is a stub that ends the process.
    if (!enumerationObject_.empty()) RefreshObjectList();
  }
  const std::wstring terminatedObject =
      enumerationObject_.empty() ? std::wstring(object.begin(), object.end()) : enumerationObject_;
  DWORD counterChars = *counterLength;
  DWORD instanceChars = *instanceLength;
  const PDH_STATUS status = ::PdhEnumObjectItemsW(
      nullptr, nullptr, terminatedObject.c_str(), reinterpret_cast<wchar_t*>(counters),
      &counterChars, reinterpret_cast<wchar_t*>(instances), &instanceChars, PERF_DETAIL_WIZARD, 0);
  *counterLength = counterChars;
  *instanceLength = instanceChars;
  return status;
}

PdhStatus WindowsPlatform::EnumProcessObjectItems(std::uint32_t /*processId*/,
                                                  std::u16string_view object, char16_t* counters,
                                                  std::uint32_t* counterLength, char16_t* instances,
                                                  std::uint32_t* instanceLength) {
  // PDH has no way to list one process's instances: it lists every one.
  return EnumObjectItems(object, counters, counterLength, instances, instanceLength);
}

std::vector<AdapterDescription> WindowsPlatform::DescribeAdapters(QueryHandle /*query*/) {
  return ListDxgiAdapters(*this);
}

double WindowsPlatform::MonotonicSeconds() {
  LARGE_INTEGER count{};
  LARGE_INTEGER frequency{};
  ::QueryPerformanceCounter(&count);
  ::QueryPerformanceFrequency(&frequency);
  // Whole seconds and the remainder apart: the count times anything would
  // lose precision long before the machine's uptime runs out.
  const LONGLONG seconds = count.QuadPart / frequency.QuadPart;
  const LONGLONG rest = count.QuadPart % frequency.QuadPart;
  return static_cast<double>(seconds) +
         static_cast<double>(rest) / static_cast<double>(frequency.QuadPart);
}

void WindowsPlatform::Sleep(std::uint32_t milliseconds) { ::Sleep(milliseconds); }

std::uint32_t WindowsPlatform::GetLastError() { return ::GetLastError(); }

bool WindowsPlatform::FormatSystemMessage(std::uint32_t code, std::u16string* text) {
  wchar_t* buffer = nullptr;
  // With FORMAT_MESSAGE_ALLOCATE_BUFFER the buffer argument is the address of
  // the pointer, passed as the pointer type.
  ::FormatMessageW(kFormatMessageFlags, nullptr, code, kFormatMessageLanguage,
                   reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
  if (buffer == nullptr) {
    return false;
  }
  const std::unique_ptr<wchar_t, LocalFreeDeleter> owner(buffer);
  text->assign(buffer, buffer + std::wcslen(buffer));
  return true;
}

ProcessHandle WindowsPlatform::OpenProcess(std::uint32_t access, std::uint32_t processId) {
  return ::OpenProcess(access, FALSE, processId);
}

std::uint32_t WindowsPlatform::GetModuleBaseName(ProcessHandle process, char16_t* buffer,
                                                 std::uint32_t size) {
  return ::K32GetModuleBaseNameW(process, nullptr, reinterpret_cast<wchar_t*>(buffer), size);
}

bool WindowsPlatform::QueryFullProcessImageName(ProcessHandle process, char16_t* buffer,
                                                std::uint32_t* size) {
  DWORD length = *size;
  const BOOL done =
      ::QueryFullProcessImageNameW(process, 0, reinterpret_cast<wchar_t*>(buffer), &length);
  *size = length;
  return done != FALSE;
}

void WindowsPlatform::CloseHandle(ProcessHandle process) { ::CloseHandle(process); }

int WindowsPlatform::WideCharToMultiByte(const char16_t* text, int length, char* out, int outSize) {
  return ::WideCharToMultiByte(CP_UTF8, 0, reinterpret_cast<const wchar_t*>(text), length, out,
                               outSize, nullptr, nullptr);
}

namespace {

// The stream lock of the C runtime that owns stderr, taken from that DLL's own
// exports. mingw's import library links a local _lock_file that locks by a
// table index of its own, which is not the lock the runtime's fputs takes.
struct StreamLock {
  void(__cdecl* lock)(FILE*) = nullptr;
  void(__cdecl* unlock)(FILE*) = nullptr;
};

const StreamLock& RuntimeStreamLock() {
  static const StreamLock found = [] {
    StreamLock functions;
    HMODULE runtime = nullptr;
    if (::GetModuleHandleExW(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            reinterpret_cast<LPCWSTR>(stderr), &runtime) == 0) {
      return functions;
    }
    auto* lock = ::GetProcAddress(runtime, "_lock_file");
    auto* unlock = ::GetProcAddress(runtime, "_unlock_file");
    if (lock == nullptr || unlock == nullptr) return functions;
    functions.lock = reinterpret_cast<void(__cdecl*)(FILE*)>(reinterpret_cast<void*>(lock));
    functions.unlock = reinterpret_cast<void(__cdecl*)(FILE*)>(reinterpret_cast<void*>(unlock));
    return functions;
  }();
  return found;
}

}  // namespace

void WindowsPlatform::WriteErrorLine(std::u16string_view line) {
  pendingErrorLines_ += ErrorLineBytes(line);
}

void WindowsPlatform::FlushErrorLines() {
  if (pendingErrorLines_.empty()) return;
  // Holding the C runtime's stream lock keeps a host's fputs on stderr, which
  // holds the same lock for its whole string but may write it in pieces, from
  // being split by our lines; whatever the host left in the stream goes first.
  const StreamLock& lock = RuntimeStreamLock();
  if (lock.lock != nullptr) lock.lock(stderr);
  std::fflush(stderr);
  // The handle under the C runtime's standard error, where the host may have
  // redirected it. One WriteFile: a host writing from another thread, through
  // any runtime, cannot land inside a line.
  const intptr_t handle = ::_get_osfhandle(::_fileno(stderr));
  // -2: a program without a console, whose stderr leads nowhere.
  if (handle != -1 && handle != -2 && handle != 0) {
    DWORD written = 0;
    ::WriteFile(reinterpret_cast<HANDLE>(handle), pendingErrorLines_.data(),
                static_cast<DWORD>(pendingErrorLines_.size()), &written, nullptr);
  }
  if (lock.unlock != nullptr) lock.unlock(stderr);
  pendingErrorLines_.clear();
}

void WindowsPlatform::WriteOutputLine(std::string_view text) {
  std::string line;
  line.reserve(text.size() + 1);
  line.append(text);
  line.push_back('\n');
  // One fwrite and a flush through the C runtime's stdout, the host's own
  // stream when it writes through msvcrt: the stream's lock keeps the report
  // whole and in its place among the host's writes there. A failed write must
  // not silence the host's stdout.
  std::clearerr(stdout);
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
  std::clearerr(stdout);
}

std::unique_ptr<Platform> CreateSystemPlatform() { return std::make_unique<WindowsPlatform>(); }

}  // namespace gpuproc
