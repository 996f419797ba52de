#include "support/scripted_platform.h"

#include <algorithm>
#include <cstdint>

#include "platform/linux/utf16.h"

namespace gpuproc::testing {
namespace {

void* HandleFor(std::size_t index) {
  return reinterpret_cast<void*>(static_cast<std::uintptr_t>(index));
}
std::size_t IndexOf(void* handle) {
  return static_cast<std::size_t>(reinterpret_cast<std::uintptr_t>(handle));
}

}  // namespace

std::string Narrow(std::u16string_view text) { return Utf16ToUtf8(text); }

void ScriptedPlatform::SetInstances(const std::vector<std::u16string>& names) {
  instanceBuffer.clear();
  for (const auto& name : names) {
    instanceBuffer += name;
    instanceBuffer += u'\0';
  }
  instanceBuffer += u'\0';
}

std::u16string ScriptedPlatform::PathOf(CounterHandle counter) const {
  const std::size_t index = IndexOf(counter);
  return index >= 1 && index <= counterPaths_.size() ? counterPaths_[index - 1] : u"<bad handle>";
}

PdhStatus ScriptedPlatform::OpenQuery(QueryHandle* query) {
  events.push_back("OpenQuery");
  if (openQueryStatus != kPdhSuccess) return openQueryStatus;
  ++openQueries;
  *query = HandleFor(++query_ + 0x1000);
  return kPdhSuccess;
}

PdhStatus ScriptedPlatform::AddCounter(QueryHandle, std::u16string_view path,
                                       CounterHandle* counter) {
  events.push_back("AddCounter " + Narrow(path));
  const auto refused = refusedPaths.find(std::u16string(path));
  if (refused != refusedPaths.end()) return refused->second;
  counterPaths_.emplace_back(path);
  *counter = HandleFor(counterPaths_.size());
  return kPdhSuccess;
}

PdhStatus ScriptedPlatform::CollectQueryData(QueryHandle) {
  events.push_back("Collect");
  ++collections_;
  return kPdhSuccess;
}

PdhStatus ScriptedPlatform::GetFormattedCounterValue(CounterHandle counter, double* value) {
  const std::u16string path = PathOf(counter);
  events.push_back("Read " + Narrow(path));
  const auto changing = valuesByCollection.find(path);
  if (changing != valuesByCollection.end() && collections_ >= 1 &&
      static_cast<std::size_t>(collections_) <= changing->second.size()) {
    *value = changing->second[static_cast<std::size_t>(collections_ - 1)];
    return kPdhSuccess;
  }
  const auto found = values.find(path);
  if (found == values.end()) return static_cast<PdhStatus>(0xC0000BC6);
  *value = found->second;
  return kPdhSuccess;
}

PdhStatus ScriptedPlatform::GetFormattedCounterArray(CounterHandle counter,
                                                     std::vector<CounterItem>* items) {
  const std::u16string path = PathOf(counter);
  events.push_back("ReadArray " + Narrow(path));
  const auto changing = arraysByCollection.find(path);
  if (changing != arraysByCollection.end() && collections_ >= 1 &&
      static_cast<std::size_t>(collections_) <= changing->second.size()) {
    *items = changing->second[static_cast<std::size_t>(collections_) - 1];
    return kPdhSuccess;
  }
  const auto found = arrays.find(path);
  if (found == arrays.end()) return static_cast<PdhStatus>(0xC0000BC6);
  *items = found->second;
  return kPdhSuccess;
}

PdhStatus ScriptedPlatform::GetRawCounterArray(CounterHandle counter,
                                               std::vector<RawCounterItem>* items) {
  const std::u16string path = PathOf(counter);
  events.push_back("ReadRawArray " + Narrow(path));
  const auto found = rawArrays.find(path);
  if (found == rawArrays.end()) return static_cast<PdhStatus>(0xC0000BC6);
  *items = found->second;
  return kPdhSuccess;
}

PdhStatus ScriptedPlatform::RemoveCounter(CounterHandle counter) {
  events.push_back("Remove " + Narrow(PathOf(counter)));
  return kPdhSuccess;
}

PdhStatus ScriptedPlatform::CloseQuery(QueryHandle) {
  events.push_back("CloseQuery");
  --openQueries;
  return kPdhSuccess;
}

PdhStatus ScriptedPlatform::EnumObjectItems(std::u16string_view object, char16_t* counters,
                                            std::uint32_t* counterLength, char16_t* instances,
                                            std::uint32_t* instanceLength) {
  return Enumerate("", object, counters, counterLength, instances, instanceLength);
}

PdhStatus ScriptedPlatform::EnumProcessObjectItems(std::uint32_t processId,
                                                   std::u16string_view object, char16_t* counters,
                                                   std::uint32_t* counterLength,
                                                   char16_t* instances,
                                                   std::uint32_t* instanceLength) {
  return Enumerate("pid " + std::to_string(processId) + " ", object, counters, counterLength,
                   instances, instanceLength);
}

std::vector<AdapterDescription> ScriptedPlatform::DescribeAdapters(QueryHandle /*query*/) {
  events.push_back("DescribeAdapters");
  return adapters;
}

PdhStatus ScriptedPlatform::Enumerate(const std::string& scope, std::u16string_view object,
                                      char16_t* counters, std::uint32_t* counterLength,
                                      char16_t* instances, std::uint32_t* instanceLength) {
  const bool sizeRequest = counters == nullptr && instances == nullptr;
  events.push_back(std::string(sizeRequest ? "EnumSizes " : "EnumFill ") + scope + Narrow(object) +
                   " " + std::to_string(*counterLength) + " " + std::to_string(*instanceLength));
  if (sizeRequest) {
    *counterLength = reportedCounterLength;
    *instanceLength =
        reportedInstanceLength.value_or(static_cast<std::uint32_t>(instanceBuffer.size()));
    return static_cast<PdhStatus>(0x800007D2);
  }
  // A real platform never writes past the lengths it is given.
  if (instances != nullptr) {
    std::copy_n(instanceBuffer.begin(),
                std::min<std::size_t>(instanceBuffer.size(), *instanceLength), instances);
  }
  if (counters != nullptr) std::fill_n(counters, *counterLength, u'c');
  return kPdhSuccess;
}

double ScriptedPlatform::MonotonicSeconds() {
  events.push_back("MonotonicSeconds");
  return monotonicSeconds;
}

void ScriptedPlatform::Sleep(std::uint32_t milliseconds) {
  events.push_back("Sleep " + std::to_string(milliseconds));
}

std::uint32_t ScriptedPlatform::GetLastError() {
  events.push_back("GetLastError");
  return lastError;
}

bool ScriptedPlatform::FormatSystemMessage(std::uint32_t code, std::u16string* text) {
  events.push_back("FormatMessage " + std::to_string(code));
  if (!systemMessage) return false;
  *text = *systemMessage;
  return true;
}

ProcessHandle ScriptedPlatform::OpenProcess(std::uint32_t access, std::uint32_t processId) {
  char access16[16];
  std::snprintf(access16, sizeof access16, "0x%04X", access);
  events.push_back("OpenProcess " + std::string(access16) + " " + std::to_string(processId));
  if (!processOpens) return nullptr;
  ++openProcessHandles;
  return HandleFor(++process_ + 0x2000);
}

std::uint32_t ScriptedPlatform::GetModuleBaseName(ProcessHandle, char16_t* buffer,
                                                  std::uint32_t size) {
  events.push_back("GetModuleBaseName " + std::to_string(size));
  const std::size_t copied = std::min<std::size_t>(processNameBuffer.size(), size);
  std::copy_n(processNameBuffer.begin(), copied, buffer);
  if (copied < size) buffer[copied] = u'\0';
  return processNameCount.value_or(static_cast<std::uint32_t>(copied));
}

void ScriptedPlatform::CloseHandle(ProcessHandle) {
  events.push_back("CloseHandle");
  --openProcessHandles;
}

int ScriptedPlatform::WideCharToMultiByte(const char16_t* text, int length, char* out,
                                          int outSize) {
  events.push_back("WideCharToMultiByte " + std::to_string(outSize));
  return Utf16ToUtf8(text, length, out, outSize);
}

void ScriptedPlatform::WriteErrorLine(std::u16string_view line) {
  events.push_back("WriteErrorLine");
  errorLines.emplace_back(line);
}

void ScriptedPlatform::WriteOutputLine(std::string_view text) {
  events.push_back("WriteOutputLine");
  output.append(text);
  output += '\n';
}

}  // namespace gpuproc::testing
