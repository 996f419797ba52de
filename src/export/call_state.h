// What lives across calls of the exported functions: the lock that lets one
// call run at a time, and each calling thread's result text.
//
// Hosts call from thread pools (C#, Java, Python with the GIL released) and
// cannot see a "one call at a time" rule; every exported entry point runs its
// body through CallState::Run, so the library serialises them itself, in the
// order the callers arrived.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "export/fair_lock.h"

#if !defined(_WIN32)
#include <pthread.h>
#endif

namespace gpuproc {

class CallState {
 public:
  // The library's one instance, destroyed only when the library is unloaded,
  // never at process exit: a host's thread may still be inside a call while
  // the process exits, and nothing that call uses may go from under it. On
  // Windows DllMain creates and destroys it. Elsewhere it is created by the
  // first call, and a child forked while another thread was inside a call
  // (holding the call lock, say) gets fresh locks and platform state, as
  // that thread does not exist in the child.
  static CallState& Instance();
#if defined(_WIN32)
  static void Create();
  static void Destroy();
#else
  // Runs when the library is unloaded; does nothing at process exit.
  static void DestroyOnUnload();
  // Runs when the library is loaded.
  static void RegisterForkHandlers();
#endif

  // Runs `body(text)` under the call lock, with the calling thread's own
  // result text, and returns what the body returns. The text stays valid
  // until the same thread's next call or until the library is unloaded.
  template <typename Body>
  const char* Run(Body&& body) {
    std::string& text = ThreadText();
    const std::lock_guard<FairLock> lock(callLock_);
    return body(text);
  }

  // Drops the calling thread's text: the thread is exiting. Takes only the
  // registry lock, never the call lock (on Windows it runs under the loader
  // lock, which a call may be waiting for while it holds the call lock).
  void ForgetThread();

  CallState(const CallState&) = delete;
  CallState& operator=(const CallState&) = delete;

 private:
  CallState();
  ~CallState();

  std::string& ThreadText();
#if !defined(_WIN32)
  static void BeforeFork();
  static void AfterForkInParent();
  static void AfterForkInChild();
#endif

  FairLock callLock_;
  PlainLock registryLock_;
  // Keyed by the native thread id; the strings live on the heap so that a
  // text keeps its address while other threads' entries come and go. A map
  // rather than thread-local storage: a TLS index per load is what a host
  // that loads and unloads the DLL runs out of, and on Linux a thread_local
  // with a destructor keeps the library mapped after dlclose (below).
  std::map<std::uint64_t, std::unique_ptr<std::string>> texts_;
#if !defined(_WIN32)
  // Its destructor drops an exiting thread's text. A thread_local string
  // would do the same, but glibc then keeps the library mapped after dlclose
  // until every thread that called it has exited.
  pthread_key_t exitKey_{};
  bool exitKeyValid_ = false;
#endif
};

}  // namespace gpuproc
