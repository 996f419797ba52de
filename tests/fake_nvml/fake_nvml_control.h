// Loads one flavour of the fake NVML and reaches its control functions
// through dlsym, as the library under test reaches its NVML functions.
#pragma once

#include <dlfcn.h>

#include <string>

#include "fake_nvml.h"

namespace gpuproc::testing {

class FakeNvmlControl {
 public:
  explicit FakeNvmlControl(std::string path)
      : path_(std::move(path)), handle_(::dlopen(path_.c_str(), RTLD_NOW | RTLD_LOCAL)) {
    if (handle_ == nullptr) return;
    Resolve(Reset, "FakeNvml_Reset");
    Resolve(SetStub, "FakeNvml_SetStub");
    Resolve(SetInitResult, "FakeNvml_SetInitResult");
    Resolve(AddDevice, "FakeNvml_AddDevice");
    Resolve(AddProcess, "FakeNvml_AddProcess");
    Resolve(AddSample, "FakeNvml_AddSample");
    Resolve(SetMigMode, "FakeNvml_SetMigMode");
    Resolve(AddVideoSample, "FakeNvml_AddVideoSample");
    Resolve(AddMigDevice, "FakeNvml_AddMigDevice");
    Resolve(SetGpmGraphicsUtil, "FakeNvml_SetGpmGraphicsUtil");
    Resolve(GpmSamplesHeld, "FakeNvml_GpmSamplesHeld");
    Resolve(SetHealth, "FakeNvml_SetHealth");
    Resolve(FailCall, "FakeNvml_FailCall");
    Resolve(GrowAfterSizeQuery, "FakeNvml_GrowAfterSizeQuery");
    Resolve(RestartDriver, "FakeNvml_RestartDriver");
    Resolve(InitCount, "FakeNvml_InitCount");
    Resolve(LastSeenTimeStamp, "FakeNvml_LastSeenTimeStamp");
    Resolve(ProcessListFills, "FakeNvml_ProcessListFills");
    if (ok_) Reset();
  }
  ~FakeNvmlControl() {
    if (handle_ != nullptr) {
      if (ok_) Reset();
      ::dlclose(handle_);
    }
  }
  FakeNvmlControl(const FakeNvmlControl&) = delete;
  FakeNvmlControl& operator=(const FakeNvmlControl&) = delete;

  bool Loaded() const { return handle_ != nullptr && ok_; }
  const std::string& Path() const { return path_; }

  decltype(&FakeNvml_Reset) Reset = nullptr;
  decltype(&FakeNvml_SetStub) SetStub = nullptr;
  decltype(&FakeNvml_SetInitResult) SetInitResult = nullptr;
  decltype(&FakeNvml_AddDevice) AddDevice = nullptr;
  decltype(&FakeNvml_AddProcess) AddProcess = nullptr;
  decltype(&FakeNvml_AddSample) AddSample = nullptr;
  decltype(&FakeNvml_SetMigMode) SetMigMode = nullptr;
  decltype(&FakeNvml_AddVideoSample) AddVideoSample = nullptr;
  decltype(&FakeNvml_AddMigDevice) AddMigDevice = nullptr;
  decltype(&FakeNvml_SetGpmGraphicsUtil) SetGpmGraphicsUtil = nullptr;
  decltype(&FakeNvml_GpmSamplesHeld) GpmSamplesHeld = nullptr;
  decltype(&FakeNvml_SetHealth) SetHealth = nullptr;
  decltype(&FakeNvml_FailCall) FailCall = nullptr;
  decltype(&FakeNvml_GrowAfterSizeQuery) GrowAfterSizeQuery = nullptr;
  decltype(&FakeNvml_RestartDriver) RestartDriver = nullptr;
  decltype(&FakeNvml_InitCount) InitCount = nullptr;
  decltype(&FakeNvml_LastSeenTimeStamp) LastSeenTimeStamp = nullptr;
  decltype(&FakeNvml_ProcessListFills) ProcessListFills = nullptr;

 private:
  template <typename Function>
  void Resolve(Function& function, const char* name) {
    function = reinterpret_cast<Function>(::dlsym(handle_, name));
    if (function == nullptr) ok_ = false;
  }

  std::string path_;
  void* handle_;
  bool ok_ = true;
};

}  // namespace gpuproc::testing
