// The C++ runtime's throw function as the executable exports it, in front of the runtime's: an
// exception an extension throws while a guarded call runs has its throw site recorded, so that
// a report of it escaping the call shows where it was thrown. Costs a flag test otherwise.
#include <dlfcn.h>

#include <cxxabi.h>

#include <typeinfo>

#include "platform/crash_guard.h"

// Sanitizer runtimes intercept the throw function themselves (to clean up the stack's shadow
// memory): their builds keep it, and report escaping exceptions without their throw site.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define INVOKEMODULE_SANITIZER_THROW 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define INVOKEMODULE_SANITIZER_THROW 1
#endif
#endif

#ifndef INVOKEMODULE_SANITIZER_THROW

namespace {

using ThrowFunction = void (*)(void*, std::type_info*, void (*)(void*));

ThrowFunction runtimeThrow() {
  static const auto function = reinterpret_cast<ThrowFunction>(dlsym(RTLD_NEXT, "__cxa_throw"));
  return function;
}

}  // namespace

extern "C" void __cxa_throw(void* object, std::type_info* type, void (*destructor)(void*)) {
  platform::recordThrowSite(object);
  runtimeThrow()(object, type, destructor);
  __builtin_unreachable();
}

#endif  // INVOKEMODULE_SANITIZER_THROW
