/* A consumer of the Windows release that needs nothing but gpuproc's import
 * library: no C runtime and no Windows SDK, so that it links with lld-link
 * against gpuproc.lib alone as well as with MinGW against libgpuproc.dll.a.
 * The exit status is 0 when each of the three calls answered JSON of its
 * shape, otherwise it has a bit set per call that did not. */
#include <gpuproc/gpuproc.h>

/* The text is valid until the thread's next call: looked at before it. */
static int Starts(const char* text, char first, char orFirst) {
  return text != 0 && (text[0] == first || text[0] == orFirst);
}

int start(void) {
  int status = 0;
  /* Process 0 has no GPU counter instances: "null", or an array. */
  if (!Starts(GetGPUDataForProcess(0), 'n', '[')) status |= 1;
  if (!Starts(GetGPUDataForAllProcesses(), '[', '[')) status |= 2;
  if (!Starts(GetGPUSnapshotForAllProcesses(), '{', '{')) status |= 4;
  return status;
}
