// Windows: the threads each extension started, for the crash guard's platform half. The public
// part is threadsRunningIn (crash_guard.h). Implemented in thread_counts-win32.cc.
#ifndef INVOKEMODULE_PLATFORM_THREAD_COUNTS_H_
#define INVOKEMODULE_PLATFORM_THREAD_COUNTS_H_

#include <cstdint>

namespace platform {

// From now on, threads that start in the extension holding `address` count for it.
void countThreadsOf(const void* address);

// When `name` is a thread start the host counts (CreateThread, _beginthreadex), points the
// extension's import `slot` for it at the host's, which counts the thread for the caller.
void redirectThreadStart(const char* name, std::uintptr_t* slot);

}  // namespace platform

#endif  // INVOKEMODULE_PLATFORM_THREAD_COUNTS_H_
