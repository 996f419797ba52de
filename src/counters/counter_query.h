// The counter query of one call and every operation on its counters, and the
// kinds of error line the library writes.
#pragma once

#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace gpuproc {

// The PDH query of one call. Null until opened, null again once closed.
struct CounterQuery {
  QueryHandle handle = nullptr;
};

// Opens the query; on failure reports the thread's last error for
// "PdhOpenQuery" and returns false.
bool OpenCounterQuery(Platform& platform, CounterQuery& query);
// Adds the counter at `path`. On failure writes the add-failure line, leaves
// `counter` null and returns false.
bool AddCounter(Platform& platform, const CounterQuery& query, std::u16string_view path,
                CounterHandle& counter);
// The same, except that a counter the object does not have
// (PDH_CSTATUS_NO_COUNTER) writes no line. Returns the platform's status.
PdhStatus AddCounterUnlessMissing(Platform& platform, const CounterQuery& query,
                                  std::u16string_view path, CounterHandle& counter);
// Pause, sample, pause, sample: rate counters need two samples to give a value.
void CollectTwoSamples(Platform& platform, const CounterQuery& query);
// The counter's value, or -1 for a null counter or a failed read.
double ReadCounterValue(Platform& platform, CounterHandle counter);
// One instance of a counter array and its value, -1 when the platform had no
// valid data for it.
struct InstanceReading {
  std::u16string instance;
  double value = -1;
};
// Every instance the counter covered at the last collection; empty for a null
// counter or a failed read.
std::vector<InstanceReading> ReadCounterArray(Platform& platform, CounterHandle counter);
// Takes the counter out of its query; a null counter is left alone.
void RemoveCounter(Platform& platform, CounterHandle& counter);
void CloseCounterQuery(Platform& platform, CounterQuery& query);
// Closes the query on every way out, so that an exception thrown half-way
// (an allocation failure, say) cannot leak it.
class QueryCloser {
 public:
  QueryCloser(Platform& platform, CounterQuery& query) : platform_(platform), query_(query) {}
  ~QueryCloser() { CloseCounterQuery(platform_, query_); }
  QueryCloser(const QueryCloser&) = delete;
  QueryCloser& operator=(const QueryCloser&) = delete;

 private:
  Platform& platform_;
  CounterQuery& query_;
};

// "<operation>: <system message>" for the thread's last-error code, without
// the message's own line break; nothing when that code is 0.
void ReportLastError(Platform& platform, std::u16string_view operation);

// "<call>: <what failed>" for a failure that ended exported call `call`: the
// exception's text, each byte outside printable ASCII as "?" (it may be in
// any encoding, or none).
std::u16string FailedCallLine(std::u16string_view call, const std::exception_ptr& failure);

inline constexpr std::uint32_t kSamplePauseMilliseconds = 50;

// The status as a signed decimal number: 0xC0000BB8 is -1073738824.
std::u16string FormatStatus(PdhStatus status);

}  // namespace gpuproc
