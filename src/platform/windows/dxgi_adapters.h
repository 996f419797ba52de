// The GPUs DXGI lists: each adapter's LUID (the luid_0x<HI>_0x<LO> of its
// counter instances), its description and its dedicated memory size.
#pragma once

#include <vector>

#include "platform/platform.h"

namespace gpuproc {

// CreateDXGIFactory1, then IDXGIFactory1::EnumAdapters1 and
// IDXGIAdapter1::GetDesc1 for each adapter until DXGI_ERROR_NOT_FOUND; every
// object is released before it returns. Empty when DXGI cannot be created.
// Names are UTF-8 through `platform`'s conversion.
std::vector<AdapterDescription> ListDxgiAdapters(Platform& platform);

// "luid_0x%08X_0x%08X" of a LUID's high and low parts, as the counter
// instance names spell it.
std::u16string LuidInstancePrefix(long highPart, unsigned long lowPart);

}  // namespace gpuproc
