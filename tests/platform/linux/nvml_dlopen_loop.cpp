// nvml_dlopen_loop LIBGPUPROC ITERATIONS [--no-nvml]
//
// A host that loads the library, asks it about a process and unloads it
// again, ITERATIONS times. With the fake NVML on LD_LIBRARY_PATH it describes
// one GPU used by this process, and checks after every unload that NVML was
// shut down, and at the end that no handle of libnvidia-ml.so.1 is left. With
// --no-nvml there must be no NVML anywhere: every answer is "null". Any text
// on standard error fails the run. Run under valgrind it shows leaks.
#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fake_nvml.h"

namespace {

constexpr unsigned long long kMiB = 1ull << 20;

int Fail(const std::string& message) {
  std::fprintf(stdout, "FAIL: %s\n", message.c_str());
  return 1;
}

// Redirects fd 1 and 2 to temporary files around one call; returns what was
// written on fd 2.
class Quiet {
 public:
  Quiet() : out_(std::tmpfile()), err_(std::tmpfile()) {
    std::fflush(nullptr);
    savedOut_ = ::dup(STDOUT_FILENO);
    savedErr_ = ::dup(STDERR_FILENO);
    ::dup2(::fileno(out_), STDOUT_FILENO);
    ::dup2(::fileno(err_), STDERR_FILENO);
  }
  std::string Finish() {
    std::fflush(nullptr);
    ::dup2(savedOut_, STDOUT_FILENO);
    ::dup2(savedErr_, STDERR_FILENO);
    ::close(savedOut_);
    ::close(savedErr_);
    std::string text;
    std::rewind(err_);
    for (int c = std::fgetc(err_); c != EOF; c = std::fgetc(err_)) {
      text.push_back(static_cast<char>(c));
    }
    std::fclose(out_);
    std::fclose(err_);
    return text;
  }

 private:
  std::FILE* out_;
  std::FILE* err_;
  int savedOut_;
  int savedErr_;
};

template <typename Function>
Function Resolve(void* handle, const char* name) {
  return reinterpret_cast<Function>(::dlsym(handle, name));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fputs("usage: nvml_dlopen_loop LIBGPUPROC ITERATIONS [--no-nvml]\n", stderr);
    return 2;
  }
  const char* libraryPath = argv[1];
  const int iterations = std::atoi(argv[2]);
  const bool noNvml = argc > 3 && std::strcmp(argv[3], "--no-nvml") == 0;
  const auto self = static_cast<unsigned int>(::getpid());

  void* fake = nullptr;
  decltype(&FakeNvml_InitCount) initCount = nullptr;
  if (!noNvml) {
    // Found the way the library itself will find it: by soname.
    fake = ::dlopen("libnvidia-ml.so.1", RTLD_NOW | RTLD_LOCAL);
    if (fake == nullptr) return Fail("fake libnvidia-ml.so.1 not on LD_LIBRARY_PATH");
    initCount = Resolve<decltype(&FakeNvml_InitCount)>(fake, "FakeNvml_InitCount");
    const auto addDevice = Resolve<decltype(&FakeNvml_AddDevice)>(fake, "FakeNvml_AddDevice");
    const auto addProcess = Resolve<decltype(&FakeNvml_AddProcess)>(fake, "FakeNvml_AddProcess");
    const auto addSample = Resolve<decltype(&FakeNvml_AddSample)>(fake, "FakeNvml_AddSample");
    if (initCount == nullptr || addDevice == nullptr || addProcess == nullptr ||
        addSample == nullptr) {
      return Fail("libnvidia-ml.so.1 on LD_LIBRARY_PATH is not the fake");
    }
    const int gpu = addDevice(0, 3, 0, 0, 100 * kMiB, 200 * kMiB);
    addProcess(gpu, kFakeNvmlCompute, self, 42 * kMiB);
    addSample(gpu, self, 10, 0);
  }

  using Entry = const char* (*)(std::uint32_t);
  for (int i = 0; i < iterations; ++i) {
    void* library = ::dlopen(libraryPath, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) return Fail(::dlerror());
    const auto entry = Resolve<Entry>(library, "GetGPUDataForProcess");
    if (entry == nullptr) return Fail("GetGPUDataForProcess not exported");
    // Every tenth call asks about the process that has a record (each record
    // costs the call's two 50 ms pauses); the others about one that has none.
    const bool withRecord = i % 10 == 0;
    Quiet quiet;
    const char* answer = entry(withRecord ? self : 0xFFFFFFF0u);
    const std::string text = answer != nullptr ? answer : "";
    const std::string errorText = quiet.Finish();
    ::dlclose(library);

    if (!errorText.empty()) return Fail("standard error: " + errorText);
    const bool isNull = text == "null";
    if (noNvml || !withRecord) {
      if (!isNull) return Fail("expected null, got " + text);
    } else if (text.find("\"GPUProcessMemoryLocalUsage\":42.0") == std::string::npos) {
      return Fail("expected a 42 MiB record, got " + text);
    }
    if (initCount != nullptr && initCount() != 0) {
      return Fail("NVML still initialised after unload in iteration " + std::to_string(i));
    }
  }

  if (fake != nullptr) ::dlclose(fake);
  // Every reference the library took on libnvidia-ml.so.1 was given back.
  if (void* left = ::dlopen("libnvidia-ml.so.1", RTLD_NOW | RTLD_NOLOAD)) {
    ::dlclose(left);
    return Fail("libnvidia-ml.so.1 still loaded");
  }
  std::printf("ok: %d loads and unloads%s\n", iterations, noNvml ? " without NVML" : "");
  return 0;
}
