#include "export/call_state.h"

#include <new>

#if defined(_WIN32)
#include <windows.h>
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

#if defined(_WIN32)
// Created and destroyed by DllMain only. A static object would be destroyed
// by the C runtime's exit handlers at process exit too, under a DLL that may
// still call us from its own DLL_PROCESS_DETACH; and a function-local static
// would take libstdc++'s guard mutex, whose semaphore is never closed.
alignas(CallState) unsigned char stateStorage[sizeof(CallState)];
CallState* state = nullptr;
#endif

}  // namespace

#if defined(_WIN32)
CallState& CallState::Instance() { return *state; }

void CallState::Create() { state = new (stateStorage) CallState(); }

void CallState::Destroy() {
  state->~CallState();
  state = nullptr;
}
#else
CallState& CallState::Instance() {
  static CallState state;
  return state;
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
