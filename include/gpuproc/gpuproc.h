/* gpuproc: GPU memory and engine use of one process, or of every process,
 * as JSON.
 *
 * GetGPUDataForProcess samples the GPU counters of the process `processId`
 * for 100 ms per GPU it uses, writes the report indented on standard output
 * and returns it as compact UTF-8 JSON: an array with one record per GPU
 * counter instance of the process, or "null" when it has none. An empty
 * string means the counter query could not be opened.
 *
 * GetGPUDataForAllProcesses samples every GPU counter instance of every
 * process in one 100 ms window and returns compact UTF-8 JSON: an array with
 * one record per (process, GPU) instance, ordered by process id then instance
 * name ("[]" when there is none), each with the per-process members plus
 * "Adapter" and "Engines". It writes nothing on standard output. An empty
 * string means the counter query could not be opened.
 *
 * GetGPUSnapshotForAllProcesses takes one reading, without waiting, and
 * returns compact UTF-8 JSON: an object with "Time" (seconds on a monotonic
 * clock, the same in every call of the process), "Adapters" (each GPU a
 * listed process uses) and "Processes" (one entry per process and GPU,
 * ordered by process id then adapter), each process with its memory and
 * "EngineBusySeconds": per engine type, the seconds its engines were busy,
 * which never decrease while the process lives. A rate is the difference of
 * two snapshots over the difference of their "Time". A value that could not
 * be read is null. It writes nothing on standard output. An empty string
 * means the counter query could not be opened.
 *
 * Any thread may call any of the functions at any time: calls are serialised
 * inside the library, in the order they arrive. The returned text belongs
 * to the library; each calling thread has its own, valid until that
 * thread's next call of any of them that opens its query, or until the
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
GPUPROC_API const char* GetGPUSnapshotForAllProcesses(void);

#ifdef __cplusplus
}
#endif

#endif /* GPUPROC_GPUPROC_H */
