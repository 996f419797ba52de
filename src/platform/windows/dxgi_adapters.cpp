#include <windows.h>
// windows.h first: dxgi.h relies on its types.
#include <dxgi.h>

#include <cstdio>
#include <cwchar>

#include "platform/windows/dxgi_adapters.h"
#include "process/process_name.h"

namespace gpuproc {
namespace {

// Releases a COM object on every way out.
template <typename Interface>
class ComOwner {
 public:
  ComOwner() = default;
  ~ComOwner() {
    if (object_ != nullptr) object_->Release();
  }
  ComOwner(const ComOwner&) = delete;
  ComOwner& operator=(const ComOwner&) = delete;
  Interface** out() { return &object_; }
  Interface* operator->() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  Interface* object_ = nullptr;
};

// A description without its NUL, and never read past its array.
std::u16string_view DescriptionText(const DXGI_ADAPTER_DESC1& description) {
  const std::size_t length =
      wcsnlen(description.Description, sizeof description.Description / sizeof(WCHAR));
  return {reinterpret_cast<const char16_t*>(description.Description), length};
}

}  // namespace

std::u16string LuidInstancePrefix(long highPart, unsigned long lowPart) {
  char text[32];
  std::snprintf(text, sizeof text, "luid_0x%08lX_0x%08lX", static_cast<unsigned long>(highPart),
                lowPart);
  return std::u16string(text, text + std::char_traits<char>::length(text));
}

std::vector<AdapterDescription> ListDxgiAdapters(Platform& platform) {
  std::vector<AdapterDescription> adapters;
  ComOwner<IDXGIFactory1> factory;
  if (FAILED(
          ::CreateDXGIFactory1(__uuidof(IDXGIFactory1), reinterpret_cast<void**>(factory.out()))) ||
      !factory) {
    return adapters;
  }
  // A machine has a handful of adapters; the bound only guards against a
  // driver that never says DXGI_ERROR_NOT_FOUND.
  constexpr UINT kMaxAdapters = 64;
  for (UINT index = 0; index < kMaxAdapters; ++index) {
    ComOwner<IDXGIAdapter1> adapter;
    if (factory->EnumAdapters1(index, adapter.out()) != S_OK || !adapter) break;
    DXGI_ADAPTER_DESC1 description{};
    if (FAILED(adapter->GetDesc1(&description))) continue;
    adapters.push_back(
        {LuidInstancePrefix(description.AdapterLuid.HighPart, description.AdapterLuid.LowPart),
         WideToUtf8(platform, DescriptionText(description)),
         static_cast<double>(description.DedicatedVideoMemory)});
  }
  return adapters;
}

}  // namespace gpuproc
