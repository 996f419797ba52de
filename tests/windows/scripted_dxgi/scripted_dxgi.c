/* A dxgi.dll that serves a scripted machine's adapters, for running the real
 * gpuproc.dll under Wine (WINEDLLOVERRIDES=dxgi=n) or on Windows, loaded from
 * the folder of the host.
 *
 * CreateDXGIFactory1 hands out a factory whose IDXGIFactory1::EnumAdapters1
 * hands out adapters whose IDXGIAdapter1::GetDesc1 describes them, with the
 * vtables of <dxgi.h>; every other method answers E_NOTIMPL. Objects are
 * reference counted as COM counts them.
 *
 * The adapters come from the scripted pdh.dll's scenario, the environment
 * variable GPUPROC_PDH_SCENARIO, read when the DLL is loaded: of its items
 * separated by ";", those of the form
 *   dxgi=<LUID high>:<LUID low>=<DedicatedVideoMemory>,<Description>
 * with numbers in C notation (0x for hex), in EnumAdapters1 order. ScriptedDxgiLiveObjects, an
 * export of its own, counts the objects not yet released, and tells a host that this DLL is the one
 * loaded. */
#define COBJMACROS
#define CINTERFACE
#include <windows.h>
/* windows.h first: dxgi.h relies on its types. */
#include <dxgi.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#define MAX_ADAPTERS 8

static DXGI_ADAPTER_DESC1 adapters[MAX_ADAPTERS];
static UINT adapterCount;
static LONG liveObjects;

/* IID_IDXGIFactory1, IID_IDXGIAdapter1 and their bases, spelled out so that
 * nothing needs dxguid. */
static const GUID kIUnknown = {0x00000000, 0x0000, 0x0000, {0xc0, 0, 0, 0, 0, 0, 0, 0x46}};
static const GUID kFactory1 = {
    0x770aae78, 0xf26f, 0x4dba, {0xa8, 0x29, 0x25, 0x3c, 0x83, 0xd1, 0xb3, 0x87}};
static const GUID kAdapter1 = {
    0x29038f61, 0x3839, 0x4626, {0x91, 0xfd, 0x08, 0x68, 0x79, 0x01, 0x1a, 0x05}};

typedef struct {
  IDXGIFactory1 iface;
  LONG references;
} Factory;

typedef struct {
  IDXGIAdapter1 iface;
  LONG references;
  UINT index;
} Adapter;

static HRESULT STDMETHODCALLTYPE NotImplemented(void) { return E_NOTIMPL; }

static ULONG STDMETHODCALLTYPE FactoryAddRef(IDXGIFactory1* self) {
  return (ULONG)InterlockedIncrement(&((Factory*)self)->references);
}

static ULONG STDMETHODCALLTYPE FactoryRelease(IDXGIFactory1* self) {
  const LONG left = InterlockedDecrement(&((Factory*)self)->references);
  if (left == 0) {
    free(self);
    InterlockedDecrement(&liveObjects);
  }
  return (ULONG)left;
}

static HRESULT STDMETHODCALLTYPE FactoryQueryInterface(IDXGIFactory1* self, REFIID iid,
                                                       void** object) {
  if (object == NULL) return E_POINTER;
  *object = NULL;
  if (!IsEqualGUID(iid, &kFactory1) && !IsEqualGUID(iid, &kIUnknown)) return E_NOINTERFACE;
  FactoryAddRef(self);
  *object = self;
  return S_OK;
}

static ULONG STDMETHODCALLTYPE AdapterAddRef(IDXGIAdapter1* self) {
  return (ULONG)InterlockedIncrement(&((Adapter*)self)->references);
}

static ULONG STDMETHODCALLTYPE AdapterRelease(IDXGIAdapter1* self) {
  const LONG left = InterlockedDecrement(&((Adapter*)self)->references);
  if (left == 0) {
    free(self);
    InterlockedDecrement(&liveObjects);
  }
  return (ULONG)left;
}

static HRESULT STDMETHODCALLTYPE AdapterQueryInterface(IDXGIAdapter1* self, REFIID iid,
                                                       void** object) {
  if (object == NULL) return E_POINTER;
  *object = NULL;
  if (!IsEqualGUID(iid, &kAdapter1) && !IsEqualGUID(iid, &kIUnknown)) return E_NOINTERFACE;
  AdapterAddRef(self);
  *object = self;
  return S_OK;
}

static HRESULT STDMETHODCALLTYPE AdapterGetDesc1(IDXGIAdapter1* self, DXGI_ADAPTER_DESC1* desc) {
  if (desc == NULL) return E_INVALIDARG;
  *desc = adapters[((Adapter*)self)->index];
  return S_OK;
}

static IDXGIAdapter1Vtbl adapterVtbl;
static IDXGIFactory1Vtbl factoryVtbl;

static HRESULT STDMETHODCALLTYPE FactoryEnumAdapters1(IDXGIFactory1* self, UINT index,
                                                      IDXGIAdapter1** result) {
  (void)self;
  if (result == NULL) return E_INVALIDARG;
  *result = NULL;
  if (index >= adapterCount) return DXGI_ERROR_NOT_FOUND;
  Adapter* adapter = calloc(1, sizeof(Adapter));
  if (adapter == NULL) return E_OUTOFMEMORY;
  adapter->iface.lpVtbl = &adapterVtbl;
  adapter->references = 1;
  adapter->index = index;
  InterlockedIncrement(&liveObjects);
  *result = &adapter->iface;
  return S_OK;
}

/* Every slot answers E_NOTIMPL until the methods this DLL implements are set. */
static void FillVtable(void* vtable, size_t size) {
  typedef HRESULT(STDMETHODCALLTYPE * Method)(void);
  Method* slots = (Method*)vtable;
  for (size_t slot = 0; slot < size / sizeof(Method); ++slot) slots[slot] = NotImplemented;
}

static void SetUpVtables(void) {
  FillVtable(&factoryVtbl, sizeof factoryVtbl);
  factoryVtbl.QueryInterface = FactoryQueryInterface;
  factoryVtbl.AddRef = FactoryAddRef;
  factoryVtbl.Release = FactoryRelease;
  factoryVtbl.EnumAdapters1 = FactoryEnumAdapters1;
  FillVtable(&adapterVtbl, sizeof adapterVtbl);
  adapterVtbl.QueryInterface = AdapterQueryInterface;
  adapterVtbl.AddRef = AdapterAddRef;
  adapterVtbl.Release = AdapterRelease;
  adapterVtbl.GetDesc1 = AdapterGetDesc1;
}

static void ParseItem(wchar_t* item) {
  wchar_t* end = NULL;
  DXGI_ADAPTER_DESC1 desc;
  memset(&desc, 0, sizeof desc);
  desc.AdapterLuid.HighPart = (LONG)wcstoul(item, &end, 0);
  if (*end != L':') return;
  desc.AdapterLuid.LowPart = (DWORD)wcstoul(end + 1, &end, 0);
  if (*end != L'=') return;
  desc.DedicatedVideoMemory = (SIZE_T)_wcstoui64(end + 1, &end, 0);
  if (*end != L',') return;
  wcsncpy(desc.Description, end + 1, sizeof desc.Description / sizeof(WCHAR) - 1);
  if (adapterCount < MAX_ADAPTERS) adapters[adapterCount++] = desc;
}

static void LoadScenario(void) {
  static wchar_t text[32768];
  const DWORD length = GetEnvironmentVariableW(L"GPUPROC_PDH_SCENARIO", text, 32768);
  if (length == 0 || length >= 32768) return;
  for (wchar_t* item = text; item != NULL;) {
    wchar_t* next = wcschr(item, L';');
    if (next != NULL) *next++ = L'\0';
    if (wcsncmp(item, L"dxgi=", 5) == 0) ParseItem(item + 5);
    item = next;
  }
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)instance;
  (void)reserved;
  if (reason == DLL_PROCESS_ATTACH) {
    SetUpVtables();
    LoadScenario();
  }
  return TRUE;
}

HRESULT WINAPI CreateDXGIFactory1(REFIID iid, void** result) {
  if (result == NULL) return E_INVALIDARG;
  *result = NULL;
  if (!IsEqualGUID(iid, &kFactory1)) return E_NOINTERFACE;
  Factory* factory = calloc(1, sizeof(Factory));
  if (factory == NULL) return E_OUTOFMEMORY;
  factory->iface.lpVtbl = &factoryVtbl;
  factory->references = 1;
  InterlockedIncrement(&liveObjects);
  *result = &factory->iface;
  return S_OK;
}

int WINAPI ScriptedDxgiLiveObjects(void) {
  return (int)InterlockedCompareExchange(&liveObjects, 0, 0);
}
