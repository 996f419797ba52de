// Control functions of the fake libnvidia-ml.so.1 that the NVML tests load in
// place of NVIDIA's. Each test resets it and describes the devices, processes,
// samples and failures it wants; the library under test then calls the fake's
// NVML entry points as it would call the driver's.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// Which running-process list a process is in.
enum FakeNvmlList { kFakeNvmlCompute = 0, kFakeNvmlGraphics = 1, kFakeNvmlMpsCompute = 2 };

// Forget every device and failure; NVML's initialisation count is kept (a
// test must not hide a missing nvmlShutdown).
void FakeNvml_Reset(void);
// Every call fails the way the CUDA toolkit's stub library does.
void FakeNvml_SetStub(int stub);
// What nvmlInit_v2 / nvmlInit answer.
void FakeNvml_SetInitResult(int status);
// Adds a device at PCI address domain:bus:device.function with the given
// used and free memory in bytes; returns its index.
int FakeNvml_AddDevice(unsigned int domain, unsigned int bus, unsigned int device,
                       unsigned int function, unsigned long long usedBytes,
                       unsigned long long freeBytes);
// Adds a process to one of a device's lists.
void FakeNvml_AddProcess(int deviceIndex, int list, unsigned int pid,
                         unsigned long long usedGpuMemory);
// Adds a utilisation sample stamped `ageMicroseconds` before now.
void FakeNvml_AddSample(int deviceIndex, unsigned int pid, unsigned int smUtil,
                        unsigned long long ageMicroseconds);
// The same with the encoder's and decoder's shares.
void FakeNvml_AddVideoSample(int deviceIndex, unsigned int pid, unsigned int smUtil,
                             unsigned int encUtil, unsigned int decUtil,
                             unsigned long long ageMicroseconds);
// Adds a MIG device (one compute instance of GPU instance `gpuInstanceId`)
// to a GPU, named "<GPU name> MIG <profile>" as the driver names it, with
// its own memory; returns an index that the other control functions take
// (processes, failures) like a device's.
// GPU performance monitoring for a MIG device's GPU instance: the graphics
// utilisation every pair of its samples reports. Without it the GPU answers
// NOT_SUPPORTED, as GPUs before Hopper do.
void FakeNvml_SetGpmGraphicsUtil(int migIndex, double percent);
// GPM samples allocated and not yet freed.
int FakeNvml_GpmSamplesHeld(void);
int FakeNvml_AddMigDevice(int deviceIndex, unsigned int gpuInstanceId, const char* profile,
                          unsigned long long usedBytes, unsigned long long freeBytes);
// What the device reports about itself: power and its enforced limit (mW),
// the total energy since the driver loaded (mJ), the GPU temperature and its
// slowdown threshold (degrees C), graphics and memory clocks (MHz), fan 0's
// speed (RPM) and utilisation (%). Until this is called every health call
// answers NOT_SUPPORTED.
void FakeNvml_SetHealth(int deviceIndex, unsigned int powerMilliwatts, unsigned int limitMilliwatts,
                        unsigned long long energyMillijoules, unsigned int temperature,
                        unsigned int slowdown, unsigned int graphicsMHz, unsigned int memoryMHz,
                        unsigned int fanRpm, unsigned int gpuPercent);
void FakeNvml_SetMigMode(int deviceIndex, unsigned int currentMode);
// Makes the named NVML function (any version) answer `status` for this device.
void FakeNvml_FailCall(int deviceIndex, const char* functionName, int status);
// After the next size query of the list, `count` processes (pids from
// `firstPid`) join it before the caller can fill its buffer.
void FakeNvml_GrowAfterSizeQuery(int deviceIndex, int list, unsigned int count,
                                 unsigned int firstPid, unsigned long long usedGpuMemory);
// The kernel driver is reloaded under the library: every call fails until
// NVML has been shut down completely and initialised again.
void FakeNvml_RestartDriver(void);
// How many nvmlInit calls have not been matched by nvmlShutdown.
int FakeNvml_InitCount(void);
// The lastSeenTimeStamp of the latest nvmlDeviceGetProcessUtilization call on
// the device, 0 when there was none.
unsigned long long FakeNvml_LastSeenTimeStamp(int deviceIndex);
// How many NVML calls answered with a filled process buffer, over all lists.
int FakeNvml_ProcessListFills(void);

#ifdef __cplusplus
}
#endif
