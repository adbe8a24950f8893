// The C++ runtime's __cxa_atexit as the executable exports it, in front of the C library's: it
// notes the handle of each library that registers an exit handler (a static object's destructor,
// or an atexit function, which the C library registers through it), so that the handlers of one
// library can be run ahead of its unload by the C++ ABI's __cxa_finalize. Costs a look through
// a short table per registration otherwise.
#include "platform/exit_handlers.h"

#include <dlfcn.h>

#include <atomic>

#include "platform/fault_handler_interception.h"

// Sanitizer runtimes intercept __cxa_atexit themselves: their builds keep it, and leave the
// handlers to the unload.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define INVOKEMODULE_SANITIZER_ATEXIT 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define INVOKEMODULE_SANITIZER_ATEXIT 1
#endif
#endif

extern "C" void __cxa_finalize(void* dsoHandle);

#ifndef INVOKEMODULE_SANITIZER_ATEXIT
namespace {

// The handles that registered a handler, each once; past the last slot, a library's handlers
// are left to its unload.
constexpr int kHandles = 256;
std::atomic<void*> handles[kHandles];

void noteHandle(void* handle) {
  if (handle == nullptr) return;  // the executable's own: never unloaded
  for (auto& slot : handles) {
    void* found = nullptr;
    if (slot.compare_exchange_strong(found, handle) || found == handle) return;
  }
}

}  // namespace
#endif

namespace platform {

#ifndef INVOKEMODULE_SANITIZER_ATEXIT

bool libraryExitHandlersRunAhead() { return true; }

void runLibraryExitHandlers(const void* address) {
  const std::uintptr_t base = moduleBaseOf(address);
  if (base == 0) return;
  for (auto& slot : handles) {
    void* handle = slot.load();
    if (handle == nullptr) break;
    // A library's handle lies in its own data, and stays noted after it is unloaded: only the
    // module mapped there now counts.
    if (moduleBaseOf(handle) == base) __cxa_finalize(handle);
  }
}

#else

bool libraryExitHandlersRunAhead() { return false; }
void runLibraryExitHandlers(const void*) {}

#endif

}  // namespace platform

#ifndef INVOKEMODULE_SANITIZER_ATEXIT

extern "C" int __cxa_atexit(void (*function)(void*), void* argument, void* dsoHandle) noexcept {
  using AtExit = int (*)(void (*)(void*), void*, void*);
  static const auto runtimeAtExit = reinterpret_cast<AtExit>(dlsym(RTLD_NEXT, "__cxa_atexit"));
  noteHandle(dsoHandle);
  return runtimeAtExit(function, argument, dsoHandle);
}

#endif
