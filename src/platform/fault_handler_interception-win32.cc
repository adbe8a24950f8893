// The fault handlers libraries install on Windows, kept behind the host's: a top-level
// exception filter a library sets in place of the host's is taken out again after each call
// (or never set, where the library's import of SetUnhandledExceptionFilter leads to the host's)
// and offered the main thread's faults first during a call; the host's filter stays in front.
// The vectored handlers a library adds through its imports are kept in a list of the host's and
// called from the host's own vectored handler, after it declined the exception.
#include "platform/fault_handler_interception.h"

#include <windows.h>

#include <cstdint>
#include <cstring>
#include <mutex>

#include "platform/crash_guard.h"
#include "platform/import_slot-win32.h"

namespace platform {

namespace {

LPTOP_LEVEL_EXCEPTION_FILTER hostFilter = nullptr;
LPTOP_LEVEL_EXCEPTION_FILTER previousFilter = nullptr;  // what was there before the host's
// A top-level filter a library set in place of the host's: offered a fault first during a call.
LPTOP_LEVEL_EXCEPTION_FILTER libraryFilter = nullptr;
std::uintptr_t retryingPc = 0;  // where the library's filter let the main thread go on

// A library's handler running on this thread for the host: what it raises is its own fault.
thread_local int libraryHandlerDepth = 0;

struct InLibraryHandler {
  InLibraryHandler() { ++libraryHandlerDepth; }
  ~InLibraryHandler() { --libraryHandlerDepth; }
  InLibraryHandler(const InLibraryHandler&) = delete;
  InLibraryHandler& operator=(const InLibraryHandler&) = delete;
};

// The vectored handlers libraries added, in calling order; a handle given to a library is the
// address of its entry. Past kMaxLibraryHandlers the system's own list takes them.
constexpr int kMaxLibraryHandlers = 32;
struct LibraryHandler {
  PVECTORED_EXCEPTION_HANDLER handler = nullptr;
  bool inFront = false;  // added to be called first, before the host's
  bool told = false;     // libraryFaultHandlersInstalled answered for it
};
std::mutex libraryHandlersMutex;
LibraryHandler* libraryHandlers[kMaxLibraryHandlers] = {};
int libraryHandlerCount = 0;
// The library's top-level filter libraryFaultHandlersInstalled last answered for.
LPTOP_LEVEL_EXCEPTION_FILTER toldFilter = nullptr;

using SetFilterFunction = LPTOP_LEVEL_EXCEPTION_FILTER(WINAPI*)(LPTOP_LEVEL_EXCEPTION_FILTER);
using AddHandlerFunction = PVOID(WINAPI*)(ULONG, PVECTORED_EXCEPTION_HANDLER);
using RemoveHandlerFunction = ULONG(WINAPI*)(PVOID);
SetFilterFunction realSetFilter = nullptr;
AddHandlerFunction realAddHandler = nullptr;
RemoveHandlerFunction realRemoveHandler = nullptr;

LPTOP_LEVEL_EXCEPTION_FILTER WINAPI setFilterHook(LPTOP_LEVEL_EXCEPTION_FILTER filter) {
  if (hostFilter == nullptr) return realSetFilter(filter);
  LPTOP_LEVEL_EXCEPTION_FILTER before = libraryFilter != nullptr ? libraryFilter : previousFilter;
  libraryFilter = filter;
  return before;  // what the library would find behind it without the host
}

PVOID WINAPI addHandlerHook(ULONG first, PVECTORED_EXCEPTION_HANDLER handler) {
  std::lock_guard<std::mutex> lock(libraryHandlersMutex);
  if (handler == nullptr || libraryHandlerCount == kMaxLibraryHandlers) return realAddHandler(first, handler);
  auto* entry = new LibraryHandler{handler, first != 0, false};
  int at = first != 0 ? 0 : libraryHandlerCount;
  for (int i = libraryHandlerCount; i > at; --i) libraryHandlers[i] = libraryHandlers[i - 1];
  libraryHandlers[at] = entry;
  ++libraryHandlerCount;
  return entry;
}

// Takes the entry at `at` out of the list; the caller holds the lock.
void dropLibraryHandler(int at) {
  delete libraryHandlers[at];
  for (int i = at; i + 1 < libraryHandlerCount; ++i) libraryHandlers[i] = libraryHandlers[i + 1];
  libraryHandlers[--libraryHandlerCount] = nullptr;
}

ULONG WINAPI removeHandlerHook(PVOID handle) {
  {
    std::lock_guard<std::mutex> lock(libraryHandlersMutex);
    for (int i = 0; i < libraryHandlerCount; ++i) {
      if (libraryHandlers[i] != handle) continue;
      dropLibraryHandler(i);
      return 1;
    }
  }
  return realRemoveHandler(handle);  // one the system's list took
}

}  // namespace

void interceptFaultHandlerImport(const char* name, std::uintptr_t* slot) {
  if (std::strcmp(name, "SetUnhandledExceptionFilter") == 0) {
    redirectImportSlot(slot, &setFilterHook, &realSetFilter);
  } else if (std::strcmp(name, "AddVectoredExceptionHandler") == 0) {
    redirectImportSlot(slot, &addHandlerHook, &realAddHandler);
  } else if (std::strcmp(name, "RemoveVectoredExceptionHandler") == 0) {
    redirectImportSlot(slot, &removeHandlerHook, &realRemoveHandler);
  }
}

long offerExceptionToLibraryHandlers(void* info) {
  PVECTORED_EXCEPTION_HANDLER handlers[kMaxLibraryHandlers];
  int count = 0;
  {
    std::lock_guard<std::mutex> lock(libraryHandlersMutex);
    for (; count < libraryHandlerCount; ++count) handlers[count] = libraryHandlers[count]->handler;
  }
  InLibraryHandler running;
  for (int i = 0; i < count; ++i) {
    LONG verdict = handlers[i](static_cast<EXCEPTION_POINTERS*>(info));
    if (verdict != EXCEPTION_CONTINUE_SEARCH) return verdict;
  }
  return EXCEPTION_CONTINUE_SEARCH;
}

bool inLibraryFaultHandler() { return libraryHandlerDepth != 0; }

void leftLibraryFaultHandler() { libraryHandlerDepth = 0; }

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
  if (repeated) return false;
  InLibraryHandler running;
  if (libraryFilter(pointers) != EXCEPTION_CONTINUE_EXECUTION) return false;
  retryingPc = pc;  // the same instruction faulting again right away is a crash
  return true;
}

bool finishLibraryRetry(int, void*, void*) { return false; }  // the filter sees a retry itself

void unblockFaultSignals() {}

void forgetLibraryRetry() { retryingPc = 0; }

long passFaultBehindHost(int, void* info, void*) {
  LPTOP_LEVEL_EXCEPTION_FILTER behind = libraryFilter != nullptr ? libraryFilter : previousFilter;
  if (behind == nullptr) return EXCEPTION_CONTINUE_SEARCH;
  InLibraryHandler running;
  return behind(static_cast<EXCEPTION_POINTERS*>(info));
}

// Asked after every call, whatever `askSystem` says: setting the filter is no system call.
bool libraryFaultHandlersInstalled(bool) {
  if (hostFilter == nullptr) return false;
  // A vectored handler a library asked to have called first, or a filter set through its
  // imports, that is still there: a library that took its own away again replaced nothing.
  bool throughImports = false;
  if (__atomic_load_n(&libraryHandlerCount, __ATOMIC_RELAXED) != 0) {
    std::lock_guard<std::mutex> lock(libraryHandlersMutex);
    for (int i = 0; i < libraryHandlerCount; ++i) {
      if (!libraryHandlers[i]->inFront || libraryHandlers[i]->told) continue;
      libraryHandlers[i]->told = true;
      throughImports = true;
    }
  }
  if (libraryFilter != nullptr && libraryFilter != toldFilter) throughImports = true;
  toldFilter = libraryFilter;
  // A library that set its own top-level filter: the host's goes back in front, passing what
  // it does not take to the library's.
  LPTOP_LEVEL_EXCEPTION_FILTER current = SetUnhandledExceptionFilter(hostFilter);
  if (current == hostFilter || current == nullptr) return throughImports;
  libraryFilter = current;
  toldFilter = current;
  return true;
}

void forgetLibraryFaultHandlers(const void* address) {
  const std::uintptr_t module = moduleBaseOf(address);
  {
    std::lock_guard<std::mutex> lock(libraryHandlersMutex);
    for (int i = libraryHandlerCount - 1; i >= 0; --i) {
      if (moduleBaseOf(reinterpret_cast<const void*>(libraryHandlers[i]->handler)) == module)
        dropLibraryHandler(i);
    }
  }
  if (libraryFilter == nullptr) return;
  if (moduleBaseOf(reinterpret_cast<const void*>(libraryFilter)) == module) {
    libraryFilter = nullptr;  // its code is about to go
  }
}

}  // namespace platform
