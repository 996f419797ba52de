#include "platform/linux/gpu_source.h"
#include "platform/linux/nvml_source.h"

namespace gpuproc {

std::vector<GpuSourceEntry> DefaultGpuSources() {
  // NVML first: it sees NVIDIA devices that DRM fdinfo cannot describe.
  return {
      NvmlSourceEntry(),
  };
}

}  // namespace gpuproc
