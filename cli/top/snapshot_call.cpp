#include "snapshot_call.h"

#include "gpuproc/gpuproc.h"

namespace gpuproc::tool {

std::string TakeSnapshotDocument() {
  // Copied at once: the text is the library's until this thread's next call.
  const char* document = GetGPUSnapshotForAllProcesses();
  return document == nullptr ? std::string() : std::string(document);
}

}  // namespace gpuproc::tool
