#include "process_capture.h"

#include <windows.h>

#include <vector>

namespace gpuproc::windows_test {

namespace {

// A child that hangs must fail its test, not the whole run.
constexpr DWORD kChildTimeoutMilliseconds = 60000;

class OwnedHandle {
 public:
  explicit OwnedHandle(HANDLE handle = INVALID_HANDLE_VALUE) : handle_(handle) {}
  ~OwnedHandle() {
    if (valid()) {
      ::CloseHandle(handle_);
    }
  }
  OwnedHandle(const OwnedHandle&) = delete;
  OwnedHandle& operator=(const OwnedHandle&) = delete;
  bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

// A temporary file that is deleted when the last handle to it closes.
class TemporaryFile {
 public:
  TemporaryFile() {
    wchar_t folder[MAX_PATH + 1] = {};
    wchar_t name[MAX_PATH + 1] = {};
    if (::GetTempPathW(MAX_PATH + 1, folder) != 0 &&
        ::GetTempFileNameW(folder, L"gpt", 0, name) != 0) {
      path_ = name;
    }
  }
  ~TemporaryFile() {
    if (!path_.empty()) {
      ::DeleteFileW(path_.c_str());
    }
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  const std::wstring& path() const { return path_; }

  // A handle the child inherits as one of its standard streams.
  HANDLE OpenForChild() {
    SECURITY_ATTRIBUTES attributes{};
    attributes.nLength = sizeof(attributes);
    attributes.bInheritHandle = TRUE;
    return ::CreateFileW(path_.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         &attributes, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  }

  std::string Read() const {
    OwnedHandle file(::CreateFileW(path_.c_str(), GENERIC_READ,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    std::string bytes;
    if (!file.valid()) {
      return bytes;
    }
    char chunk[4096];
    DWORD read = 0;
    while (::ReadFile(file.get(), chunk, sizeof(chunk), &read, nullptr) && read > 0) {
      bytes.append(chunk, read);
    }
    return bytes;
  }

 private:
  std::wstring path_;
};

}  // namespace

std::wstring ExecutablePath() {
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    const DWORD length =
        ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length < buffer.size()) {
      return std::wstring(buffer.data(), length);
    }
    buffer.resize(buffer.size() * 2);
  }
}

std::wstring ExecutableFolder() {
  std::wstring path = ExecutablePath();
  const std::size_t separator = path.find_last_of(L"\\/");
  return separator == std::wstring::npos ? std::wstring() : path.substr(0, separator + 1);
}

CapturedRun RunCaptured(const std::wstring& commandLine, const std::wstring& resultVariable,
                        std::string* result) {
  CapturedRun run;
  TemporaryFile outFile;
  TemporaryFile errFile;
  TemporaryFile resultFile;
  if (outFile.path().empty() || errFile.path().empty() || resultFile.path().empty()) {
    return run;
  }
  {
    OwnedHandle out(outFile.OpenForChild());
    OwnedHandle err(errFile.OpenForChild());
    if (!out.valid() || !err.valid()) {
      return run;
    }
    if (!resultVariable.empty()) {
      ::SetEnvironmentVariableW(resultVariable.c_str(), resultFile.path().c_str());
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = out.get();
    startup.hStdError = err.get();
    PROCESS_INFORMATION process{};
    std::wstring mutableCommandLine = commandLine;
    const BOOL created = ::CreateProcessW(nullptr, mutableCommandLine.data(), nullptr, nullptr,
                                          TRUE, 0, nullptr, nullptr, &startup, &process);
    if (!resultVariable.empty()) {
      ::SetEnvironmentVariableW(resultVariable.c_str(), nullptr);
    }
    if (!created) {
      return run;
    }
    OwnedHandle processHandle(process.hProcess);
    OwnedHandle threadHandle(process.hThread);
    if (::WaitForSingleObject(process.hProcess, kChildTimeoutMilliseconds) != WAIT_OBJECT_0) {
      ::TerminateProcess(process.hProcess, 1);
      ::WaitForSingleObject(process.hProcess, INFINITE);
    }
    DWORD exitCode = 0;
    ::GetExitCodeProcess(process.hProcess, &exitCode);
    run.started = true;
    run.exitCode = exitCode;
  }
  run.out = outFile.Read();
  run.err = errFile.Read();
  if (result != nullptr) {
    *result = resultFile.Read();
  }
  return run;
}

void RunOnThreads(int count, const std::function<void(int)>& body) {
  struct Start {
    const std::function<void(int)>* body;
    int index;
  };
  std::vector<Start> starts;
  for (int index = 0; index < count; ++index) starts.push_back({&body, index});
  std::vector<HANDLE> threads;
  for (Start& start : starts) {
    const HANDLE thread = ::CreateThread(
        nullptr, 0,
        [](void* argument) -> DWORD {
          const auto* start = static_cast<const Start*>(argument);
          (*start->body)(start->index);
          return 0;
        },
        &start, 0, nullptr);
    if (thread != nullptr) threads.push_back(thread);
  }
  for (const HANDLE thread : threads) {
    ::WaitForSingleObject(thread, INFINITE);
    ::CloseHandle(thread);
  }
}

bool RunningUnderWine() {
  const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

bool WriteChildResult(const wchar_t* resultVariable, std::string_view text) {
  wchar_t path[MAX_PATH + 1] = {};
  if (::GetEnvironmentVariableW(resultVariable, path, MAX_PATH + 1) == 0) return false;
  const HANDLE file =
      ::CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const BOOL wrote =
      ::WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  ::CloseHandle(file);
  return wrote && written == text.size();
}

}  // namespace gpuproc::windows_test
