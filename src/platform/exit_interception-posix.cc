// The C runtime's exit() as the executable exports it, in front of the runtime's: in the search
// mode of --fuzz, an extension's exit() during a guarded call lands back in the guard instead of
// ending the search. Otherwise it is the runtime's exit(), at the cost of a flag test.
#include <dlfcn.h>

#include <cstdlib>

#include "platform/crash_guard.h"

extern "C" void exit(int status) noexcept {
  platform::landExitInGuardedCall(status, __builtin_return_address(0));
  static const auto runtimeExit = reinterpret_cast<void (*)(int)>(dlsym(RTLD_NEXT, "exit"));
  runtimeExit(status);
  __builtin_unreachable();
}
