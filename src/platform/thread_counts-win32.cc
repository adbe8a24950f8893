// The threads each extension started, counted on Windows, so that freeing an extension can tell
// how many of its threads still run.
//
// A thread counts for an extension when the extension started it through an import the host
// redirects (CreateThread, _beginthreadex: the C runtimes' and winpthreads' thread starts go
// through one of these), or when its start address lies in the extension. A TLS callback of
// the executable sees every thread start and end: it counts a thread by its start address, and
// ends the count of every counted thread however it ends (also ExitThread, _endthreadex).
#include <windows.h>
#include <winternl.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <new>

#include "platform/crash_guard.h"
#include "platform/fault_handler_interception.h"
#include "platform/import_slot-win32.h"
#include "platform/thread_counts.h"

namespace {

// The live threads each extension started, by the extension's base address (0: a free
// entry). An extension past the last entry goes uncounted.
constexpr int kCountedLibraries = 64;
struct LibraryThreads {
  std::atomic<std::uintptr_t> base{0};
  std::atomic<int> running{0};
};
LibraryThreads libraryThreads[kCountedLibraries];

LibraryThreads* countFor(std::uintptr_t base, bool add) {
  for (LibraryThreads& entry : libraryThreads) {
    if (entry.base.load() == base) return &entry;
  }
  if (!add) return nullptr;
  for (LibraryThreads& entry : libraryThreads) {
    std::uintptr_t expected = 0;
    if (entry.base.compare_exchange_strong(expected, base) || expected == base) return &entry;
  }
  return nullptr;
}

// The count the calling thread is in (a LibraryThreads*), from its start to its end.
DWORD countSlot = TlsAlloc();

void countThisThread(LibraryThreads* count) {
  if (countSlot == TLS_OUT_OF_INDEXES || count == nullptr) return;
  TlsSetValue(countSlot, count);
}

void endCountOfThisThread() {
  if (countSlot == TLS_OUT_OF_INDEXES) return;
  auto* count = static_cast<LibraryThreads*>(TlsGetValue(countSlot));
  if (count == nullptr) return;
  count->running.fetch_sub(1);
  TlsSetValue(countSlot, nullptr);
}

// Where the thread began, as the system has it.
std::uintptr_t startAddressOfThisThread() {
  using QueryFunction = LONG(NTAPI*)(HANDLE, int, PVOID, ULONG, PULONG);
  static const auto query = reinterpret_cast<QueryFunction>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationThread")));
  constexpr int kWin32StartAddress = 9;  // ThreadQuerySetWin32StartAddress
  void* start = nullptr;
  if (query == nullptr || query(GetCurrentThread(), kWin32StartAddress, &start, sizeof start, nullptr) != 0) {
    return 0;
  }
  return reinterpret_cast<std::uintptr_t>(start);
}

void NTAPI onThreadEvent(PVOID, DWORD reason, PVOID) {
  if (reason == DLL_THREAD_ATTACH) {
    std::uintptr_t base = platform::moduleBaseOf(reinterpret_cast<const void*>(startAddressOfThisThread()));
    if (LibraryThreads* count = base != 0 ? countFor(base, false) : nullptr) {
      count->running.fetch_add(1);
      countThisThread(count);
    }
  } else if (reason == DLL_THREAD_DETACH) {
    endCountOfThisThread();
  }
}

// A thread start redirected from an extension's import: the real start and its argument, and
// the count it is in from its creation on.
struct Launch {
  LPTHREAD_START_ROUTINE start;
  unsigned(__stdcall* runtimeStart)(void*);
  void* argument;
  LibraryThreads* count;
};

Launch* newLaunch(void* returnAddress) {
  std::uintptr_t base = platform::moduleBaseOf(returnAddress);
  auto* launch = new (std::nothrow) Launch{nullptr, nullptr, nullptr, countFor(base, true)};
  // Counted from now, so that an extension freed right after it started a thread sees it.
  if (launch != nullptr && launch->count != nullptr) launch->count->running.fetch_add(1);
  return launch;
}

void dropLaunch(Launch* launch) {
  if (launch->count != nullptr) launch->count->running.fetch_sub(1);
  delete launch;
}

DWORD WINAPI startCounted(LPVOID context) {
  const Launch launch = *static_cast<Launch*>(context);
  delete static_cast<Launch*>(context);
  countThisThread(launch.count);
  return launch.start(launch.argument);
}

unsigned __stdcall startCountedRuntime(void* context) {
  const Launch launch = *static_cast<Launch*>(context);
  delete static_cast<Launch*>(context);
  countThisThread(launch.count);
  return launch.runtimeStart(launch.argument);
}

using CreateThreadFunction = HANDLE(WINAPI*)(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID,
                                             DWORD, LPDWORD);
using BeginThreadFunction = std::uintptr_t(__cdecl*)(void*, unsigned, unsigned(__stdcall*)(void*), void*,
                                                     unsigned, unsigned*);
CreateThreadFunction realCreateThread = nullptr;
BeginThreadFunction realBeginThread = nullptr;

HANDLE WINAPI createThreadHook(LPSECURITY_ATTRIBUTES security, SIZE_T stack, LPTHREAD_START_ROUTINE start,
                               LPVOID argument, DWORD flags, LPDWORD id) {
  Launch* launch = newLaunch(__builtin_return_address(0));
  if (launch == nullptr) return realCreateThread(security, stack, start, argument, flags, id);
  launch->start = start;
  launch->argument = argument;
  HANDLE thread = realCreateThread(security, stack, startCounted, launch, flags, id);
  if (thread == nullptr) dropLaunch(launch);
  return thread;
}

std::uintptr_t __cdecl beginThreadHook(void* security, unsigned stack, unsigned(__stdcall* start)(void*),
                                       void* argument, unsigned flags, unsigned* id) {
  Launch* launch = newLaunch(__builtin_return_address(0));
  if (launch == nullptr) return realBeginThread(security, stack, start, argument, flags, id);
  launch->runtimeStart = start;
  launch->argument = argument;
  std::uintptr_t thread = realBeginThread(security, stack, startCountedRuntime, launch, flags, id);
  if (thread == 0) dropLaunch(launch);
  return thread;
}

}  // namespace

// The executable's TLS callback: the linker puts every pointer in .CRT$XL? between the C
// runtime's markers into the image's TLS directory.
extern "C" {
__attribute__((section(".CRT$XLT"), used)) const PIMAGE_TLS_CALLBACK invokemoduleThreadEvents = onThreadEvent;
}

namespace platform {

void countThreadsOf(const void* address) {
  std::uintptr_t base = moduleBaseOf(address);
  if (base != 0) countFor(base, true);
}

void redirectThreadStart(const char* name, std::uintptr_t* slot) {
  if (std::strcmp(name, "CreateThread") == 0) redirectImportSlot(slot, &createThreadHook, &realCreateThread);
  if (std::strcmp(name, "_beginthreadex") == 0) redirectImportSlot(slot, &beginThreadHook, &realBeginThread);
}

void stopCountingThisThread() { endCountOfThisThread(); }

int threadsRunningIn(const void* address) {
  std::uintptr_t base = moduleBaseOf(address);
  if (base == 0) return 0;
  LibraryThreads* count = countFor(base, false);
  return count != nullptr ? count->running.load() : 0;
}

}  // namespace platform
