#include "export/call_state.h"

#include <atomic>
#include <new>

#if defined(_WIN32)
#include <windows.h>
#else
#include "platform/platform.h"
#endif

namespace gpuproc {
namespace {

std::uint64_t CurrentThreadId() {
#if defined(_WIN32)
  return ::GetCurrentThreadId();
#else
  return static_cast<std::uint64_t>(::pthread_self());
#endif
}

#if !defined(_WIN32)
extern "C" void ForgetExitingThread(void* state) { static_cast<CallState*>(state)->ForgetThread(); }
#endif

// Static storage that no exit handler touches: a static object would be
// destroyed by them, and a function-local static too (and on Windows would
// take libstdc++'s guard mutex, whose semaphore is never closed). On Windows
// DllMain creates and destroys it.
alignas(CallState) unsigned char stateStorage[sizeof(CallState)];
// Atomic: the fork handlers read it on the forking thread, which the C
// library orders after the first call's registration by a lock of its own
// that no thread checker sees.
std::atomic<CallState*> state{nullptr};

#if !defined(_WIN32)
// Set by an exit handler registered with the first call. At exit the
// handlers run before the libraries' destructors; at dlclose this one runs
// after ours (it belongs to the library's handlers, which its last
// destructor runs), so DestroyOnUnload sees it set only at exit. Registered
// by the first call rather than at load, so that a library linked into the
// program registers it after the C library's own finaliser, which then runs
// after it.
std::atomic<bool> processExiting{false};
extern "C" void MarkProcessExiting(void*) { processExiting.store(true); }
// What the C library's atexit does for a shared library, spelt out:
// ThreadSanitizer's own atexit forgets the library and would call the
// handler after an unload.
extern "C" int __cxa_atexit(void (*)(void*), void*, void*);
extern "C" void* __dso_handle;

// Held while the first call makes the state, and by the fork handlers
// across fork, so that a fork waits for the making to finish. A child
// forked half-way through it (as through a function-local static's guard)
// would wait forever in its own first call for a maker it does not have.
// Constant-initialised with a trivial destructor: nothing runs at exit.
PlainLock creationLock;

__attribute__((constructor)) void RegisterForkHandlersAtLoad() {
  CallState::RegisterForkHandlers();
}
__attribute__((destructor)) void DestroyStateOnUnload() { CallState::DestroyOnUnload(); }
#endif

}  // namespace

#if defined(_WIN32)
CallState& CallState::Instance() { return *state.load(); }

void CallState::Create() { state.store(new (stateStorage) CallState()); }

void CallState::Destroy() {
  state.load()->~CallState();
  state.store(nullptr);
}
#else
CallState& CallState::Instance() {
  if (CallState* made = state.load(std::memory_order_acquire)) return *made;
  const std::lock_guard<PlainLock> making(creationLock);
  if (state.load(std::memory_order_relaxed) == nullptr) {
    auto* made = new (stateStorage) CallState();
    __cxa_atexit(MarkProcessExiting, nullptr, &__dso_handle);
    state.store(made, std::memory_order_release);
  }
  return *state.load(std::memory_order_relaxed);
}

// At load, before any call can run: handlers registered by the first call
// would miss a fork made while it is still running, and registering them
// there would take the C library's fork-handler lock, which older C
// libraries hold while the handlers run, one of them waiting for that first
// call (below). glibc drops them when the library is unloaded.
void CallState::RegisterForkHandlers() {
  ::pthread_atfork(BeforeFork, AfterForkInParent, AfterForkInChild);
}

void CallState::DestroyOnUnload() {
  if (state == nullptr || processExiting.load()) return;
  state.load()->~CallState();
  state.store(nullptr);
  ReleaseSystemPlatform();
}

// The registry is held across fork so that the child's copy of the texts is
// whole. The call lock is not: a call holds it for its sampling window, and
// a host must be able to fork meanwhile.
void CallState::BeforeFork() {
  creationLock.lock();
  if (CallState* made = state.load()) made->registryLock_.lock();
}

void CallState::AfterForkInParent() {
  if (CallState* made = state.load()) made->registryLock_.unlock();
  creationLock.unlock();
}

void CallState::AfterForkInChild() {
  // Only the forking thread lives on in the child. It took the first two
  // locks for the fork, so it lets them go (a thread checker sees it do so);
  // the call lock another thread may hold stays held forever there, so it
  // is made anew, and the other threads' texts go.
  creationLock.unlock();
  CallState* made = state.load();
  if (made == nullptr) return;
  made->registryLock_.unlock();
  new (&made->callLock_) FairLock();
  std::erase_if(made->texts_,
                [self = CurrentThreadId()](const auto& entry) { return entry.first != self; });
  ResetSystemPlatformInForkChild();
}
#endif

CallState::CallState() {
#if !defined(_WIN32)
  exitKeyValid_ = ::pthread_key_create(&exitKey_, ForgetExitingThread) == 0;
#endif
}

CallState::~CallState() {
#if !defined(_WIN32)
  // After this no exiting thread calls into the unloaded library's code.
  if (exitKeyValid_) ::pthread_key_delete(exitKey_);
#endif
}

std::string& CallState::ThreadText() {
  const std::uint64_t thread = CurrentThreadId();
  const std::lock_guard<PlainLock> lock(registryLock_);
  std::unique_ptr<std::string>& text = texts_[thread];
  if (!text) {
    text = std::make_unique<std::string>();
#if !defined(_WIN32)
    if (exitKeyValid_) ::pthread_setspecific(exitKey_, this);
#endif
  }
  return *text;
}

void CallState::ForgetThread() {
  std::unique_ptr<std::string> text;
  {
    const std::lock_guard<PlainLock> lock(registryLock_);
    const auto found = texts_.find(CurrentThreadId());
    if (found == texts_.end()) return;
    text = std::move(found->second);
    texts_.erase(found);
  }
}

}  // namespace gpuproc
