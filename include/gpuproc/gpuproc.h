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
 * Each function's returned text belongs to the library and stays valid until
 * the next call of the same function that opens its query, or until the
 * library is unloaded; copy it to keep it. One call at a time: a host that
 * calls from several threads serialises its calls. */
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
