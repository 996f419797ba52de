#include "platform/linux/drm_fdinfo_source.h"
#include "platform/linux/gpu_source.h"
#include "platform/linux/kfd_source.h"
#include "platform/linux/nvml_source.h"

namespace gpuproc {

std::vector<GpuSourceEntry> DefaultGpuSources() {
  // NVML first: it sees NVIDIA devices that DRM fdinfo cannot describe.
  // KFD after DRM fdinfo, whose amdgpu clients it completes.
  return {
      NvmlSourceEntry(),
      {"drm-fdinfo", CreateDrmFdinfoSource},
      {"kfd", CreateKfdSource},
  };
}

}  // namespace gpuproc
