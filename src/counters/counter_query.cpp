#include "counters/counter_query.h"

#include <string>

namespace gpuproc {

bool OpenCounterQuery(Platform& platform, CounterQuery& query) {
  QueryHandle handle = nullptr;
  if (platform.OpenQuery(&handle) != kPdhSuccess) {
    ReportLastError(platform, u"PdhOpenQuery");
    return false;
  }
  query.handle = handle;
  return true;
}

namespace {

PdhStatus Add(Platform& platform, const CounterQuery& query, std::u16string_view path,
              CounterHandle& counter, bool lineForMissing) {
  CounterHandle added = nullptr;
  const PdhStatus status = platform.AddCounter(query.handle, path, &added);
  if (status != kPdhSuccess) {
    counter = nullptr;
    if (status == kPdhCStatusNoCounter && !lineForMissing) return status;
    std::u16string line = u"Failed to add counter: ";
    line.append(path);
    line += u" ERROR CODE: ";
    line += FormatStatus(status);
    platform.WriteErrorLine(line);
    return status;
  }
  counter = added;
  return status;
}

}  // namespace

bool AddCounter(Platform& platform, const CounterQuery& query, std::u16string_view path,
                CounterHandle& counter) {
  return Add(platform, query, path, counter, true) == kPdhSuccess;
}

PdhStatus AddCounterUnlessMissing(Platform& platform, const CounterQuery& query,
                                  std::u16string_view path, CounterHandle& counter) {
  return Add(platform, query, path, counter, false);
}

void CollectTwoSamples(Platform& platform, const CounterQuery& query) {
  platform.Sleep(kSamplePauseMilliseconds);
  platform.CollectQueryData(query.handle);
  platform.Sleep(kSamplePauseMilliseconds);
  platform.CollectQueryData(query.handle);
}

double ReadCounterValue(Platform& platform, CounterHandle counter) {
  if (counter == nullptr) return -1;
  double value = 0;
  if (platform.GetFormattedCounterValue(counter, &value) != kPdhSuccess) return -1;
  return value;
}

std::vector<InstanceReading> ReadCounterArray(Platform& platform, CounterHandle counter) {
  std::vector<InstanceReading> readings;
  // Never ask about a counter that was not added: some PDH implementations
  // (Wine's) abort in the array read instead of failing it.
  if (counter == nullptr) return readings;
  std::vector<CounterItem> items;
  if (platform.GetFormattedCounterArray(counter, &items) != kPdhSuccess) return readings;
  readings.reserve(items.size());
  for (CounterItem& item : items) {
    const bool valid = item.status == kPdhCStatusValidData || item.status == kPdhCStatusNewData;
    readings.push_back({std::move(item.instance), valid ? item.value : -1});
  }
  return readings;
}

void RemoveCounter(Platform& platform, CounterHandle& counter) {
  if (counter == nullptr) return;
  platform.RemoveCounter(counter);
  counter = nullptr;
}

void CloseCounterQuery(Platform& platform, CounterQuery& query) {
  if (query.handle == nullptr) return;
  platform.CloseQuery(query.handle);
  query.handle = nullptr;
}

void ReportLastError(Platform& platform, std::u16string_view operation) {
  // The thread's code at this moment, not the status the failed call returned.
  const std::uint32_t code = platform.GetLastError();
  if (code == 0) return;
  std::u16string message;
  std::u16string line(operation);
  line += u": ";
  // Without a system text the line still says which operation failed.
  if (platform.FormatSystemMessage(code, &message)) {
    // System messages end in CR LF, and the line gets its own end: one only.
    while (!message.empty() && (message.back() == u'\r' || message.back() == u'\n')) {
      message.pop_back();
    }
    line += message;
  }
  platform.WriteErrorLine(line);
}

std::u16string FailedCallLine(std::u16string_view call, const std::exception_ptr& failure) {
  std::string what = "an exception that is not a std::exception";
  try {
    std::rethrow_exception(failure);
  } catch (const std::exception& exception) {
    what = exception.what();
  } catch (...) {
  }
  std::u16string line(call);
  line += u": ";
  for (const char byte : what) {
    const auto code = static_cast<unsigned char>(byte);
    line += code >= 0x20 && code < 0x7F ? static_cast<char16_t>(code) : u'?';
  }
  return line;
}

std::u16string FormatStatus(PdhStatus status) {
  const std::string digits = std::to_string(status);
  return std::u16string(digits.begin(), digits.end());
}

}  // namespace gpuproc
