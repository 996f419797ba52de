/* gpuproc: GPU memory and engine use of one process, or of every process,
 * as JSON.
 *
 * GetGPUDataForProcess samples the GPU counters of the process `processId`
 * for 100 ms per GPU it uses, writes the report indented on standard output
 * and returns it as compact UTF-8 JSON: an array with one record per GPU
 * counter instance of the process, or "null" when it has none (or does not
 * exist). An empty string means the counter query could not be opened. To
 * keep the report off standard output, call GetGPUDataForAllProcesses and
 * keep the records whose "ProcessID" is the process's.
 *
 * GetGPUDataForAllProcesses samples every GPU counter instance of every
 * process in one 100 ms window and returns compact UTF-8 JSON: an array with
 * one record per (process, GPU) instance, ordered by process id then instance
 * name ("[]" when there is none), each with the per-process members plus
 * "Adapter" and "Engines". It writes nothing on standard output. An empty
 * string means the counter query could not be opened.
 *
 * Memory members are in MiB. "GPUMemoryTotal" is the memory committed on
 * the record's GPU by all processes, not the GPU's capacity; "GPUMemoryFree"
 * its free memory. A counter that could not be read is -1 before the
 * division by 1048576: a memory member then holds -9.5367431640625e-07 and a
 * percentage -1.0. Compare with less than 0, never with -1.
 *
 * When the query cannot be opened, or a counter cannot be added, one line on
 * standard error says why. Its prefix names the Windows call that failed
 * ("PdhOpenQuery: ..."); on Linux the same prefixes name the step of the
 * library's own back end, which follows the Windows one.
 *
 * Any thread may call either function at any time: calls are serialised
 * inside the library, in the order they arrive. The returned text belongs
 * to the library; each calling thread has its own, valid until that
 * thread's next call of either function that opens its query, or until the
 * library is unloaded (or the thread exits). Copy it to keep it. */
#ifndef GPUPROC_GPUPROC_H
#define GPUPROC_GPUPROC_H

#include <stdint.h>

#if defined(_WIN32)
#if defined(GPUPROC_BUILDING_LIBRARY)
#define GPUPROC_API __declspec(dllexport)
#else
#define GPUPROC_API __declspec(dllimport)
#endif
#else
#define GPUPROC_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

GPUPROC_API const char* GetGPUDataForProcess(uint32_t processId);
GPUPROC_API const char* GetGPUDataForAllProcesses(void);

#ifdef __cplusplus
}
#endif

#endif /* GPUPROC_GPUPROC_H */
