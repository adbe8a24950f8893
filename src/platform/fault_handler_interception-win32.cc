// The fault handlers libraries install on Windows, kept behind the host's: a top-level
// exception filter a library sets in place of the host's is taken out again after each call
// and offered the main thread's faults first during a call; the host's filter stays in front.
#include "platform/fault_handler_interception.h"

#include <windows.h>

#include <cstdint>

#include "platform/crash_guard.h"

namespace platform {

namespace {

LPTOP_LEVEL_EXCEPTION_FILTER hostFilter = nullptr;
LPTOP_LEVEL_EXCEPTION_FILTER previousFilter = nullptr;  // what was there before the host's
// A top-level filter a library set in place of the host's: offered a fault first during a call.
LPTOP_LEVEL_EXCEPTION_FILTER libraryFilter = nullptr;
std::uintptr_t retryingPc = 0;  // where the library's filter let the main thread go on

}  // namespace

bool putHostFaultHandlerInFront(AnyFunction handler) {
  hostFilter = reinterpret_cast<LPTOP_LEVEL_EXCEPTION_FILTER>(handler);
  previousFilter = SetUnhandledExceptionFilter(hostFilter);
  return true;
}

bool offerFaultToLibrary(int, void* info, void*) {
  if (libraryFilter == nullptr) return false;
  auto* pointers = static_cast<EXCEPTION_POINTERS*>(info);
#ifdef _WIN64
  std::uintptr_t pc = pointers->ContextRecord->Rip;
#else
  std::uintptr_t pc = pointers->ContextRecord->Eip;
#endif
  bool repeated = retryingPc == pc;
  retryingPc = 0;
  if (repeated || libraryFilter(pointers) != EXCEPTION_CONTINUE_EXECUTION) return false;
  retryingPc = pc;  // the same instruction faulting again right away is a crash
  return true;
}

bool finishLibraryRetry(int, void*, void*) { return false; }  // the filter sees a retry itself

void unblockFaultSignals() {}

void forgetLibraryRetry() { retryingPc = 0; }

long passFaultBehindHost(int, void* info, void*) {
  LPTOP_LEVEL_EXCEPTION_FILTER behind = libraryFilter != nullptr ? libraryFilter : previousFilter;
  return behind != nullptr ? behind(static_cast<EXCEPTION_POINTERS*>(info)) : EXCEPTION_CONTINUE_SEARCH;
}

// Asked after every call, whatever `askSystem` says: setting the filter is no system call.
bool libraryFaultHandlersInstalled(bool) {
  if (hostFilter == nullptr) return false;
  // A library that set its own top-level filter: the host's goes back in front, passing what
  // it does not take to the library's.
  LPTOP_LEVEL_EXCEPTION_FILTER current = SetUnhandledExceptionFilter(hostFilter);
  if (current == hostFilter || current == nullptr) return false;
  libraryFilter = current;
  return true;
}

void forgetLibraryFaultHandlers(const void* address) {
  if (libraryFilter == nullptr) return;
  if (moduleBaseOf(reinterpret_cast<const void*>(libraryFilter)) == moduleBaseOf(address)) {
    libraryFilter = nullptr;  // its code is about to go
  }
}

}  // namespace platform
