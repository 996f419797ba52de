// GetGPUDataForProcess of the built shared library over the fake NVML. Each
// call loads the library afresh and unloads it afterwards, as a host that
// loads it per use would, so NVML's lifetime in the library is part of what
// is tested: the library must leave NVML shut down when it is unloaded.
#include <dlfcn.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "fake_nvml_control.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "platform/linux/nvml_api.h"

namespace gpuproc {
namespace {

using testing::FakeNvmlControl;
constexpr unsigned long long kMiB = 1ull << 20;

// Points one standard stream at a temporary file until destroyed, then hands
// back what was written.
class StreamCapture {
 public:
  explicit StreamCapture(int fd) : fd_(fd), file_(std::tmpfile()) {
    std::fflush(nullptr);
    saved_ = ::dup(fd_);
    ::dup2(::fileno(file_), fd_);
  }
  ~StreamCapture() {
    if (saved_ >= 0) Finish();
    std::fclose(file_);
  }
  std::string Finish() {
    std::fflush(nullptr);
    ::dup2(saved_, fd_);
    ::close(saved_);
    saved_ = -1;
    std::string text;
    std::rewind(file_);
    for (int c = std::fgetc(file_); c != EOF; c = std::fgetc(file_))
      text.push_back(static_cast<char>(c));
    return text;
  }

 private:
  int fd_;
  std::FILE* file_;
  int saved_ = -1;
};

struct CallResult {
  std::string returned;
  std::string errorText;
};

// The built library, loaded for the lifetime of the object as a host would
// load it.
class LoadedLibrary {
 public:
  LoadedLibrary() : handle_(::dlopen(GPUPROC_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL)) {
    if (handle_ == nullptr) {
      ADD_FAILURE() << ::dlerror();
      return;
    }
    entry_ = reinterpret_cast<Entry>(::dlsym(handle_, "GetGPUDataForProcess"));
    if (entry_ == nullptr) ADD_FAILURE() << "GetGPUDataForProcess not exported";
    snapshot_ = reinterpret_cast<Snapshot>(::dlsym(handle_, "GetGPUSnapshotForAllProcesses"));
    if (snapshot_ == nullptr) ADD_FAILURE() << "GetGPUSnapshotForAllProcesses not exported";
  }
  ~LoadedLibrary() {
    if (handle_ != nullptr) ::dlclose(handle_);
  }
  LoadedLibrary(const LoadedLibrary&) = delete;
  LoadedLibrary& operator=(const LoadedLibrary&) = delete;

  CallResult Call(std::uint32_t processId) {
    CallResult result;
    if (entry_ == nullptr) return result;
    StreamCapture errors(STDERR_FILENO);
    StreamCapture output(STDOUT_FILENO);
    const char* text = entry_(processId);
    result.returned = text != nullptr ? text : "(null pointer)";
    output.Finish();
    result.errorText = errors.Finish();
    return result;
  }

  CallResult TakeSnapshot() {
    CallResult result;
    if (snapshot_ == nullptr) return result;
    StreamCapture errors(STDERR_FILENO);
    const char* text = snapshot_();
    result.returned = text != nullptr ? text : "(null pointer)";
    result.errorText = errors.Finish();
    return result;
  }

 private:
  using Entry = const char* (*)(std::uint32_t);
  using Snapshot = const char* (*)();
  void* handle_;
  Entry entry_ = nullptr;
  Snapshot snapshot_ = nullptr;
};

// One call of a freshly loaded library, unloaded again afterwards.
CallResult CallLibrary(std::uint32_t processId) { return LoadedLibrary().Call(processId); }

class NvmlExportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fake_.Loaded()) GTEST_SKIP() << "fake NVML not built at " << fake_.Path();
    // Nothing else in this process may hold NVML initialised, or the
    // unload check below would prove nothing.
    ASSERT_EQ(fake_.InitCount(), 0);
  }

  // The fake is loaded before the library, so the library's
  // dlopen("libnvidia-ml.so.1") finds it by its soname even without
  // LD_LIBRARY_PATH.
  FakeNvmlControl fake_{FAKE_NVML_PATH};
};

const std::uint32_t kPid = 4242;

TEST_F(NvmlExportTest, OneRecordPerGpuWithMemoryInMiBAndUtilization) {
  const int first = fake_.AddDevice(0, 3, 0, 0, 1536 * kMiB, 6656 * kMiB);
  const int second = fake_.AddDevice(0, 0x81, 0, 0, 100 * kMiB, 900 * kMiB);
  fake_.AddProcess(first, kFakeNvmlCompute, kPid, 512 * kMiB);
  fake_.AddProcess(second, kFakeNvmlGraphics, kPid, 33 * kMiB + kMiB / 2);
  fake_.AddProcess(second, kFakeNvmlCompute, kPid + 1, kMiB);
  fake_.AddSample(first, kPid, 37, 300'000);
  fake_.AddSample(first, kPid, 80, 1'700'000);  // older than the window

  const CallResult result = CallLibrary(kPid);

  EXPECT_EQ(result.errorText, "");
  EXPECT_EQ(fake_.InitCount(), 0) << "NVML left initialised after unload";
  const auto report = nlohmann::json::parse(result.returned);
  ASSERT_TRUE(report.is_array()) << result.returned;
  ASSERT_EQ(report.size(), 2u);
  EXPECT_EQ(report[0]["ProcessID"], kPid);
  EXPECT_EQ(report[0]["GPUProcessMemoryLocalUsage"], 512.0);
  EXPECT_EQ(report[0]["GPUProcessMemoryDedicatedUsage"], 512.0);
  EXPECT_EQ(report[0]["GPUProcessMemoryTotalCommitted"], 512.0);
  EXPECT_EQ(report[0]["GPUProcessMemorySharedUsage"], 0.0);
  EXPECT_EQ(report[0]["GPUUtilizationPercent"], 37.0);
  // Each record carries its own GPU's adapter figures.
  EXPECT_EQ(report[0]["GPUMemoryTotal"], 1536.0);
  EXPECT_EQ(report[0]["GPUMemoryFree"], 6656.0);
  EXPECT_EQ(report[1]["GPUMemoryTotal"], 100.0);
  EXPECT_EQ(report[1]["GPUMemoryFree"], 900.0);
  // The second GPU: a graphics process with no sample reads 0.
  EXPECT_EQ(report[1]["GPUProcessMemoryLocalUsage"], 33.5);
  EXPECT_EQ(report[1]["GPUUtilizationPercent"], 0.0);
}

// The snapshot of a machine with a transcoding GPU and a MIG GPU: NVENC time
// as VideoEncode, each GPU instance an adapter named with its profile.
TEST_F(NvmlExportTest, SnapshotShowsVideoEnginesAndMigInstances) {
  const int video = fake_.AddDevice(0, 3, 0, 0, kMiB, kMiB);
  fake_.AddProcess(video, kFakeNvmlCompute, kPid, 8 * kMiB);
  fake_.AddVideoSample(video, kPid, 5, 70, 0, 900'000);
  fake_.AddVideoSample(video, kPid, 5, 70, 0, 400'000);
  const int mig = fake_.AddDevice(0, 0x41, 0, 0, kMiB, kMiB);
  fake_.SetMigMode(mig, nvml::NVML_DEVICE_MIG_ENABLE);
  const int big = fake_.AddMigDevice(mig, 1, "3g.40gb", 4096 * kMiB, kMiB);
  const int small = fake_.AddMigDevice(mig, 5, "1g.10gb", 1024 * kMiB, kMiB);
  fake_.AddProcess(big, kFakeNvmlCompute, kPid + 1, 100 * kMiB);
  fake_.AddProcess(small, kFakeNvmlCompute, kPid + 2, 10 * kMiB);

  const CallResult result = LoadedLibrary().TakeSnapshot();

  EXPECT_EQ(result.errorText, "");
  const auto document = nlohmann::json::parse(result.returned);
  std::map<std::string, nlohmann::json> adapters;
  for (const auto& adapter : document["Adapters"]) adapters[adapter["Adapter"]] = adapter;
  ASSERT_EQ(adapters.size(), 3u) << result.returned;
  const auto& first = adapters["luid_0x00000000_0x00024100_phys_0"];
  EXPECT_EQ(first["AdapterName"], "Fake NVIDIA GPU 41 MIG 3g.40gb");
  EXPECT_EQ(first["Kind"], "GPU");
  EXPECT_EQ(first["PciAddress"], "0000:41:00.0");
  EXPECT_EQ(first["GPUMemoryTotal"], 4096.0);
  EXPECT_EQ(adapters["luid_0x00000000_0x00064100_phys_0"]["AdapterName"],
            "Fake NVIDIA GPU 41 MIG 1g.10gb");
  for (const auto& process : document["Processes"]) {
    if (process["ProcessID"] != kPid) continue;
    // 0.5 s at 70% of the encoder, between the two samples.
    EXPECT_NEAR(process["EngineBusySeconds"]["VideoEncode"].get<double>(), 0.35, 0.005);
    EXPECT_EQ(process["EngineBusySeconds"]["VideoDecode"], 0.0);
  }
}

// What the record shows for each fault; "null" where the process has no
// record at all.
// The driver is reloaded under the kept library, and the reader may no
// longer open its devices (a confined exporter): NVML cannot be initialised
// again. NVIDIA's processes are missing, not gone, and the call says so.
TEST_F(NvmlExportTest, ALibraryThatCannotBeLoadedAgainIsSaidAndNamed) {
  const int gpu = fake_.AddDevice(0, 0x81, 0, 0, 100 * kMiB, 900 * kMiB);
  fake_.AddProcess(gpu, kFakeNvmlCompute, kPid, 512 * kMiB);
  LoadedLibrary library;
  const auto pids = [](const CallResult& result) {
    std::vector<std::uint32_t> found;
    const nlohmann::json document = nlohmann::json::parse(result.returned);
    for (const auto& process : document["Processes"]) {
      found.push_back(process["ProcessID"].get<std::uint32_t>());
    }
    return found;
  };
  const auto lost = [](const CallResult& result) {
    return nlohmann::json::parse(result.returned)["LostSources"];
  };

  const CallResult before = library.TakeSnapshot();
  EXPECT_THAT(pids(before), ::testing::Contains(kPid));
  EXPECT_EQ(lost(before), nlohmann::json::array());
  EXPECT_EQ(before.errorText, "");

  fake_.RestartDriver();
  fake_.SetInitResult(nvml::NVML_ERROR_NO_PERMISSION);
  const std::string line =
      "nvmlInit_v2: NVML stopped answering (the NVIDIA driver was reloaded or upgraded) and "
      "could not be loaded and initialised again: NVIDIA GPUs are left out.\n";
  for (int call = 0; call < 2; ++call) {
    const CallResult after = library.TakeSnapshot();
    EXPECT_THAT(pids(after), ::testing::Not(::testing::Contains(kPid))) << call;
    EXPECT_EQ(lost(after), nlohmann::json::array({"nvml"})) << call;
    EXPECT_EQ(after.errorText, line) << call;
  }

  // Once it can be initialised, the next try (a second after the last)
  // finds it again.
  fake_.SetInitResult(nvml::NVML_SUCCESS);
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  const CallResult again = library.TakeSnapshot();
  EXPECT_THAT(pids(again), ::testing::Contains(kPid));
  EXPECT_EQ(lost(again), nlohmann::json::array());
  EXPECT_EQ(again.errorText, "");
}

TEST_F(NvmlExportTest, FaultsGiveTheirStatedResult) {
  struct Case {
    const char* name;
    void (*arrange)(FakeNvmlControl& fake, int gpu);
    const char* field;  // checked in the only record; nullptr: expect "null"
    double expected;    // < 0: the read failed
  };
  const Case cases[] = {
      {"stub library", [](FakeNvmlControl& f, int) { f.SetStub(1); }, nullptr, 0},
      {"nvmlInit fails",
       [](FakeNvmlControl& f, int) { f.SetInitResult(nvml::NVML_ERROR_DRIVER_NOT_LOADED); },
       nullptr, 0},
      {"lists need permission",
       [](FakeNvmlControl& f, int gpu) {
         for (const char* list :
              {"nvmlDeviceGetComputeRunningProcesses", "nvmlDeviceGetGraphicsRunningProcesses",
               "nvmlDeviceGetMPSComputeRunningProcesses"}) {
           f.FailCall(gpu, list, nvml::NVML_ERROR_NO_PERMISSION);
         }
       },
       nullptr, 0},
      {"GPU lost",
       [](FakeNvmlControl& f, int gpu) {
         f.FailCall(gpu, "nvmlDeviceGetPciInfo", nvml::NVML_ERROR_GPU_IS_LOST);
       },
       nullptr, 0},
      {"memory needs permission",
       [](FakeNvmlControl& f, int gpu) {
         f.FailCall(gpu, "nvmlDeviceGetMemoryInfo", nvml::NVML_ERROR_NO_PERMISSION);
       },
       "GPUMemoryFree", -1},
      {"memory not available",
       [](FakeNvmlControl& f, int gpu) {
         f.Reset();
         gpu = f.AddDevice(0, 3, 0, 0, kMiB, kMiB);
         f.AddProcess(gpu, kFakeNvmlCompute, kPid, nvml::NVML_VALUE_NOT_AVAILABLE);
       },
       "GPUProcessMemoryLocalUsage", -1},
      {"in both lists",
       [](FakeNvmlControl& f, int gpu) { f.AddProcess(gpu, kFakeNvmlGraphics, kPid, 64 * kMiB); },
       "GPUProcessMemoryTotalCommitted", 64},
      {"list grows before the fill",
       [](FakeNvmlControl& f, int gpu) {
         f.Reset();
         gpu = f.AddDevice(0, 3, 0, 0, kMiB, kMiB);
         f.AddProcess(gpu, kFakeNvmlCompute, 1, kMiB);
         f.GrowAfterSizeQuery(gpu, kFakeNvmlCompute, 100, kPid - 50, 64 * kMiB);
       },
       "GPUProcessMemoryTotalCommitted", 64},
      {"sample over 100", [](FakeNvmlControl& f, int gpu) { f.AddSample(gpu, kPid, 250, 100'000); },
       "GPUUtilizationPercent", 100},
      {"sample of an unlisted pid only",
       [](FakeNvmlControl& f, int gpu) { f.AddSample(gpu, kPid + 7, 90, 100'000); },
       "GPUUtilizationPercent", 0},
      {"MIG mode",
       [](FakeNvmlControl& f, int gpu) {
         f.AddSample(gpu, kPid, 50, 100'000);
         f.SetMigMode(gpu, nvml::NVML_DEVICE_MIG_ENABLE);
         f.AddProcess(f.AddMigDevice(gpu, 1, "1g.10gb", kMiB, kMiB), kFakeNvmlCompute, kPid,
                      64 * kMiB);
       },
       "GPUUtilizationPercent", -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fake_.Reset();
    const int gpu = fake_.AddDevice(0, 3, 0, 0, 2 * kMiB, 3 * kMiB);
    fake_.AddProcess(gpu, kFakeNvmlCompute, kPid, 64 * kMiB);
    c.arrange(fake_, gpu);

    const CallResult result = CallLibrary(kPid);

    EXPECT_EQ(result.errorText, "");
    EXPECT_EQ(fake_.InitCount(), 0);
    if (c.field == nullptr) {
      EXPECT_EQ(result.returned, "null");
      continue;
    }
    const auto report = nlohmann::json::parse(result.returned);
    ASSERT_TRUE(report.is_array() && report.size() == 1) << result.returned;
    const double value = report[0][c.field].get<double>();
    if (c.expected < 0) {
      EXPECT_LT(value, 0) << c.field;
    } else {
      EXPECT_EQ(value, c.expected) << c.field;
    }
  }
}

// A host keeps the library loaded; the kernel driver is reloaded under it.
TEST_F(NvmlExportTest, KeptLibraryRecoversFromADriverReload) {
  const int gpu = fake_.AddDevice(0, 3, 0, 0, kMiB, kMiB);
  fake_.AddProcess(gpu, kFakeNvmlCompute, kPid, 5 * kMiB);
  {
    LoadedLibrary library;
    EXPECT_NE(library.Call(kPid).returned, "null");
    EXPECT_EQ(fake_.InitCount(), 1);  // kept between calls

    fake_.RestartDriver();
    const CallResult afterReload = library.Call(kPid);

    EXPECT_EQ(afterReload.errorText, "");
    const auto report = nlohmann::json::parse(afterReload.returned);
    ASSERT_TRUE(report.is_array()) << afterReload.returned;
    EXPECT_EQ(report[0]["GPUProcessMemoryTotalCommitted"], 5.0);
    EXPECT_EQ(fake_.InitCount(), 1);
  }
  EXPECT_EQ(fake_.InitCount(), 0);
}

}  // namespace
}  // namespace gpuproc
