// The crash guard on Windows: the top-level (unhandled-exception) filter, which runs only after
// the extension's own handlers declined, redirects the faulting main thread to a landing point
// that jumps back to the guarded call without unwinding; frames come from walking the stack and
// names from each module's export table.
//
// Faults on the extension's own threads reach the same filter: they are reported there, on
// the faulting thread, which then never runs again. exit() and ExitProcess called by an
// extension are seen through its import table, which the host points at its own versions; an
// extension with a C runtime of its own linked in calls ExitProcess from it, but a runtime that
// ends the process another way (NtTerminateProcess) is not seen. Ctrl-C abandons a call by
// suspending the main thread and redirecting it to the landing point; a thread waiting in the
// system runs on there only when the wait ends.
#include "platform/crash_guard.h"

#include <windows.h>
#include <tlhelp32.h>

#include <malloc.h>
#include <signal.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <vector>

#include "platform/fault_handler_interception.h"
#include "platform/platform.h"
#include "platform/unloaded_libraries.h"

namespace platform {

namespace {

constexpr int kMaxRawFrames = 64;
constexpr DWORD kMsvcCppException = 0xE06D7363;

// A fault as the filter sees it; made a RawFault on the landing path.
struct CapturedFault {
  DWORD code = 0;
  ULONG_PTR access = 0;  // 0 read, 1 write, 8 execute
  ULONG_PTR address = 0;
  bool hasAddress = false;
  bool aborted = false;    // abort() through the C runtime's SIGABRT
  bool abandoned = false;  // Ctrl-C abandoned the call
  std::uintptr_t frames[kMaxRawFrames] = {};
  int frameCount = 0;
};

struct MainGuard {
  void* jump[5];
  volatile LONG active = 0;
  CapturedFault fault;
};

MainGuard mainGuard;
DWORD mainThreadId = 0;
HANDLE mainThreadHandle = nullptr;

void (*exitReporter)(int) = nullptr;
void (*threadFaultReporter)(const CrashRecord&, std::uint64_t) = nullptr;

// Ctrl-C during a call: asked and not yet landed (the main thread may wait in the system), or
// asked while the main thread ran host code the extension called, to be done when it returns.
volatile LONG abandonRequested = 0;
volatile LONG abandonDeferred = 0;
thread_local int hostCodeDepth = 0;
volatile LONG mainInHostCode = 0;

// Libraries one of whose threads faulted and was parked.
std::mutex threadFaultMutex;
std::vector<HMODULE> faultedLibraries;

std::string moduleFileName(HMODULE module);
HMODULE moduleOf(std::uintptr_t address);

// A fault at an address an unloaded library held.
bool blameUnloadedLibraryAt(std::uintptr_t pc, DWORD threadId, RawFault* fault) {
  UnloadedLibrary library;
  if (!findUnloadedLibrary(pc, moduleOf(pc) != nullptr, threadId, &library)) return false;
  blameUnloadedLibrary(library, pc, fault);
  return true;
}

// The landing point runs on a stack of its own: after a stack overflow the thread's own
// stack has no room left.
alignas(16) unsigned char landingStack[64 * 1024];

// Walks the stack from `context` (which it changes), innermost first.
void walkFrames(CONTEXT context, CapturedFault* fault) {
  fault->frameCount = 0;
#ifdef _WIN64
  for (int i = 0; i < kMaxRawFrames && context.Rip != 0; ++i) {
    fault->frames[fault->frameCount++] = static_cast<std::uintptr_t>(context.Rip);
    DWORD64 imageBase = 0;
    PRUNTIME_FUNCTION function = RtlLookupFunctionEntry(context.Rip, &imageBase, nullptr);
    if (function == nullptr) {
      // A leaf function: the return address is on top of the stack.
      context.Rip = *reinterpret_cast<DWORD64*>(context.Rsp);
      context.Rsp += 8;
      continue;
    }
    void* handlerData = nullptr;
    DWORD64 establisher = 0;
    RtlVirtualUnwind(UNW_FLAG_NHANDLER, imageBase, context.Rip, function, &context, &handlerData,
                     &establisher, nullptr);
  }
#else
  // Frame-pointer chain; code built without frame pointers ends it early.
  fault->frames[fault->frameCount++] = context.Eip;
  auto* frame = reinterpret_cast<DWORD*>(context.Ebp);
  MEMORY_BASIC_INFORMATION stack;
  if (VirtualQuery(frame, &stack, sizeof stack) == 0) return;
  auto low = reinterpret_cast<std::uintptr_t>(stack.BaseAddress);
  std::uintptr_t high = low + stack.RegionSize;
  while (fault->frameCount < kMaxRawFrames) {
    auto at = reinterpret_cast<std::uintptr_t>(frame);
    if (at < low || at + 8 > high || (at & 3) != 0) break;
    DWORD returnAddress = frame[1];
    if (returnAddress == 0) break;
    fault->frames[fault->frameCount++] = returnAddress;
    auto* next = reinterpret_cast<DWORD*>(frame[0]);
    if (next <= frame) break;
    frame = next;
  }
#endif
}

// The faulting thread's context, kept for the landing point: the handlers copy it and no more,
// since after a stack overflow they run on the last few hundred bytes of the stack.
CONTEXT faultContext;

// Runs on the landing stack, so the extension's frames below the guarded call are still intact
// to be walked.
[[noreturn]] void landing() {
  walkFrames(faultContext, &mainGuard.fault);
  __builtin_longjmp(mainGuard.jump, 1);
}

// Sends the faulting main thread to the landing point, on the landing stack.
void redirectToLanding(CONTEXT* context) {
  auto top = reinterpret_cast<std::uintptr_t>(landingStack + sizeof landingStack) & ~std::uintptr_t{15};
#ifdef _WIN64
  context->Rsp = top - 8;  // as if `landing` had been called
  context->Rip = reinterpret_cast<DWORD64>(&landing);
#else
  context->Esp = top - 4;
  context->Eip = reinterpret_cast<DWORD>(&landing);
#endif
}

void resolveFault(const CapturedFault& captured, HMODULE scope, DWORD threadId, CrashRecord* crash);

void recordException(const EXCEPTION_RECORD* record, CapturedFault* fault) {
  fault->code = record->ExceptionCode;
  fault->aborted = false;
  fault->abandoned = false;
  fault->hasAddress = record->ExceptionCode == EXCEPTION_ACCESS_VIOLATION && record->NumberParameters >= 2;
  if (fault->hasAddress) {
    fault->access = record->ExceptionInformation[0];
    fault->address = record->ExceptionInformation[1];
  }
}

// A fault on a thread other than the main one, in an extension's code: reported from the
// faulting thread, which is then parked for good. Answers false for a fault of the host's own.
bool reportThreadFault(EXCEPTION_POINTERS* pointers) {
  if (threadFaultReporter == nullptr ||
      pointers->ExceptionRecord->ExceptionCode == EXCEPTION_STACK_OVERFLOW) {
    return false;  // after a stack overflow there is no room to report from this thread
  }
  static CapturedFault faults[4];  // a thread's own record is too big for a thread's stack margin
  static std::atomic<int> next{0};
  CapturedFault& fault = faults[next.fetch_add(1) & 3];
  recordException(pointers->ExceptionRecord, &fault);
  walkFrames(*pointers->ContextRecord, &fault);
  HMODULE host = GetModuleHandleW(nullptr);
  HMODULE library = nullptr;
  for (int i = 0; i < fault.frameCount && library == nullptr; ++i) {
    HMODULE module = moduleOf(fault.frames[i]);
    if (module != nullptr && module != host && module != GetModuleHandleW(L"ntdll.dll") &&
        module != GetModuleHandleW(L"kernel32.dll") && module != GetModuleHandleW(L"kernelbase.dll") &&
        module != GetModuleHandleW(L"msvcrt.dll") && module != GetModuleHandleW(L"ucrtbase.dll")) {
      library = module;
    }
  }
  CrashRecord crash;
  if (fault.frameCount != 0 && blameUnloadedLibraryAt(fault.frames[0], GetCurrentThreadId(), &crash.fault)) {
    threadFaultReporter(crash, GetCurrentThreadId());
    for (;;) Sleep(INFINITE);
  }
  if (library == nullptr) return false;
  resolveFault(fault, library, GetCurrentThreadId(), &crash);
  {
    std::lock_guard<std::mutex> lock(threadFaultMutex);
    faultedLibraries.push_back(library);
  }
  threadFaultReporter(crash, GetCurrentThreadId());
  for (;;) Sleep(INFINITE);
}

LONG WINAPI onUnhandledException(EXCEPTION_POINTERS* pointers) {
  if (GetCurrentThreadId() != mainThreadId && reportThreadFault(pointers)) {
    return EXCEPTION_CONTINUE_EXECUTION;  // never reached: the thread is parked
  }
  if (mainGuard.active && GetCurrentThreadId() == mainThreadId && offerFaultToLibrary(0, pointers, nullptr)) {
    return EXCEPTION_CONTINUE_EXECUTION;
  }
  if (mainGuard.active && GetCurrentThreadId() == mainThreadId) {
    EXCEPTION_RECORD* record = pointers->ExceptionRecord;
    // An MSVC C++ throw is not continuable; resuming at the landing point is still sound,
    // since nothing of the extension's code runs again.
    record->ExceptionFlags &= ~static_cast<DWORD>(EXCEPTION_NONCONTINUABLE);
    recordException(record, &mainGuard.fault);
    faultContext = *pointers->ContextRecord;
    mainGuard.active = 0;
    redirectToLanding(pointers->ContextRecord);
    return EXCEPTION_CONTINUE_EXECUTION;
  }
  return passFaultBehindHost(0, pointers, nullptr);
}

// A stack overflow leaves too little stack for the extension's handlers or the top-level
// filter to run: it is taken at once, as the last vectored handler.
LONG CALLBACK onStackOverflow(EXCEPTION_POINTERS* pointers) {
  if (pointers->ExceptionRecord->ExceptionCode != EXCEPTION_STACK_OVERFLOW) {
    return EXCEPTION_CONTINUE_SEARCH;
  }
  return onUnhandledException(pointers);
}

// abort() in the C runtime the extension shares with the host raises SIGABRT.
void onAbort(int) {
  if (mainGuard.active && GetCurrentThreadId() == mainThreadId) {
    RtlCaptureContext(&faultContext);
    mainGuard.fault.code = 0;
    mainGuard.fault.aborted = true;
    mainGuard.fault.abandoned = false;
    mainGuard.fault.hasAddress = false;
    mainGuard.active = 0;
    landing();
  }
  signal(SIGABRT, SIG_DFL);
  raise(SIGABRT);
}

void installFaultHandlers() {
  static const bool installed = [] {
    mainThreadId = GetCurrentThreadId();
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &mainThreadHandle,
                    THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT | THREAD_SET_CONTEXT, FALSE, 0);
    putHostFaultHandlerInFront(reinterpret_cast<AnyFunction>(&onUnhandledException));
    AddVectoredExceptionHandler(0, onStackOverflow);
    signal(SIGABRT, onAbort);
    // Leave room for the filter to run after a stack overflow.
    ULONG reserve = 64 * 1024;
    SetThreadStackGuarantee(&reserve);
    return true;
  }();
  (void)installed;
}

FaultKind kindOf(DWORD code) {
  switch (code) {
    case EXCEPTION_ACCESS_VIOLATION:
    case EXCEPTION_STACK_OVERFLOW:
      return FaultKind::InvalidAccess;
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
    case EXCEPTION_FLT_DIVIDE_BY_ZERO:
      return FaultKind::DivisionByZero;
    case EXCEPTION_ILLEGAL_INSTRUCTION:
      return FaultKind::IllegalInstruction;
    case EXCEPTION_BREAKPOINT:
      return FaultKind::Breakpoint;
    case kMsvcCppException:
      return FaultKind::ForeignException;
    default:
      return FaultKind::Other;
  }
}

HMODULE moduleOf(std::uintptr_t address) {
  HMODULE module = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(address), &module);
  return module;
}

// The nearest export at or below `rva` in the module's export table.
void nearestExport(HMODULE module, std::uintptr_t rva, RawFrame* frame) {
  auto* base = reinterpret_cast<const unsigned char*>(module);
  auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  if (directory.VirtualAddress == 0) return;
  auto* exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + directory.VirtualAddress);
  auto* functions = reinterpret_cast<const DWORD*>(base + exports->AddressOfFunctions);
  auto* names = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
  auto* ordinals = reinterpret_cast<const WORD*>(base + exports->AddressOfNameOrdinals);
  DWORD best = 0;
  const char* bestName = nullptr;
  for (DWORD i = 0; i < exports->NumberOfNames; ++i) {
    DWORD functionRva = functions[ordinals[i]];
    if (functionRva <= rva && functionRva >= best) {
      best = functionRva;
      bestName = reinterpret_cast<const char*>(base + names[i]);
    }
  }
  if (bestName != nullptr) {
    frame->symbol = bestName;
    frame->symbolAddress = reinterpret_cast<std::uintptr_t>(module) + best;
  }
}

// The module's file name without its folder, in UTF-8; empty when unknown.
std::string moduleFileName(HMODULE module) {
  wchar_t path[MAX_PATH];
  DWORD length = GetModuleFileNameW(module, path, MAX_PATH);
  if (length == 0) return {};
  const wchar_t* name = path;
  for (DWORD c = 0; c < length; ++c) {
    if (path[c] == L'\\' || path[c] == L'/') name = path + c + 1;
  }
  char utf8[MAX_PATH * 3];
  int bytes = WideCharToMultiByte(CP_UTF8, 0, name, -1, utf8, sizeof utf8, nullptr, nullptr);
  return bytes > 0 ? utf8 : "?";
}

void resolveFault(const CapturedFault& captured, HMODULE scope, DWORD threadId, CrashRecord* crash) {
  RawFault& fault = crash->fault;
  fault = RawFault();
  bool exception = !captured.aborted && !captured.abandoned;
  fault.kind = captured.aborted     ? FaultKind::Abort
               : captured.abandoned ? FaultKind::Abandoned
                                    : kindOf(captured.code);
  fault.exceptionCode = exception ? captured.code : 0;
  fault.stackOverflow = exception && captured.code == EXCEPTION_STACK_OVERFLOW;
  fault.hasAddress = exception && captured.hasAddress;
  if (fault.hasAddress) {
    fault.access = captured.access == 1   ? FaultAccess::Write
                   : captured.access == 8 ? FaultAccess::Execute
                                          : FaultAccess::Read;
    fault.address = captured.address;
  }
  fault.instruction = captured.frameCount != 0 ? captured.frames[0] : 0;
  fault.threadId = threadId;
  fault.scopeModule = reinterpret_cast<std::uintptr_t>(scope);
  HMODULE host = GetModuleHandleW(nullptr);
  fault.frames.resize(captured.frameCount);
  for (int i = 0; i < captured.frameCount; ++i) {
    RawFrame& frame = fault.frames[i];
    // Caller frames hold return addresses; the call itself is one byte before.
    frame.address = i == 0 ? captured.frames[i] : captured.frames[i] - 1;
    HMODULE module = moduleOf(frame.address);
    if (module == nullptr) continue;
    frame.moduleFile = moduleFileName(module);
    if (frame.moduleFile.empty()) continue;
    frame.moduleBase = reinterpret_cast<std::uintptr_t>(module);
    frame.hostOrRuntime = module == host;
    nearestExport(module, frame.address - frame.moduleBase, &frame);
  }
  crash->exitStatus = captured.aborted ? 3 : static_cast<int>(captured.code);
  crash->abandoned = captured.abandoned;
}

}  // namespace

std::uintptr_t moduleBaseOf(const void* address) {
  return reinterpret_cast<std::uintptr_t>(moduleOf(reinterpret_cast<std::uintptr_t>(address)));
}

bool runGuarded(GuardedBody body, void* context, CrashScope scope, CrashRecord* crash) {
  installFaultHandlers();
  if (__builtin_setjmp(mainGuard.jump) != 0) {
    if (mainGuard.fault.code == EXCEPTION_STACK_OVERFLOW) _resetstkoflw();
    abandonRequested = 0;
    hostCodeDepth = 0;  // host code the extension called (the callback) that faulted never left
    mainInHostCode = 0;
    HMODULE scopeModule =
        scope.address != nullptr ? moduleOf(reinterpret_cast<std::uintptr_t>(scope.address)) : nullptr;
    resolveFault(mainGuard.fault, scopeModule, mainThreadId, crash);
    return false;
  }
  abandonDeferred = 0;
  forgetLibraryRetry();
  return callWhileActive(body, context, &mainGuard.active, crash);
}

void setExitDuringCallReporter(void (*reporter)(int)) { exitReporter = reporter; }

void setThreadFaultReporter(void (*reporter)(const CrashRecord&, std::uint64_t)) {
  threadFaultReporter = reporter;
}

int threadsRunningIn(const void*) { return 0; }

bool threadFaultedInLibrary(const void* address) {
  std::lock_guard<std::mutex> lock(threadFaultMutex);
  if (faultedLibraries.empty()) return false;
  HMODULE module = moduleOf(reinterpret_cast<std::uintptr_t>(address));
  for (HMODULE faulted : faultedLibraries) {
    if (faulted == module) return true;
  }
  return false;
}

void forgetThreadFaults(const void* address) {
  HMODULE module = moduleOf(reinterpret_cast<std::uintptr_t>(address));
  std::lock_guard<std::mutex> lock(threadFaultMutex);
  std::erase(faultedLibraries, module);
}

// Sends the main thread, suspended inside the guarded call, to the landing point.
bool abandonGuardedCall(int, void*, void*) {
  if (!mainGuard.active || !inputIsTerminal() || mainThreadHandle == nullptr) return false;
  if (mainInHostCode) {
    abandonDeferred = 1;
    return true;
  }
  if (SuspendThread(mainThreadHandle) == static_cast<DWORD>(-1)) return false;
  CONTEXT context = {};
  context.ContextFlags = CONTEXT_FULL;
  bool redirected = false;
  if (mainGuard.active && !mainInHostCode && GetThreadContext(mainThreadHandle, &context)) {
    faultContext = context;
    mainGuard.fault = CapturedFault();
    mainGuard.fault.abandoned = true;
    mainGuard.active = 0;
    abandonRequested = 1;
    redirectToLanding(&context);
    redirected = SetThreadContext(mainThreadHandle, &context) != 0;
  }
  ResumeThread(mainThreadHandle);
  return redirected;
}

bool abandonPending() { return abandonRequested != 0 || (abandonDeferred != 0 && mainGuard.active); }

void enterHostCode() {
  if (++hostCodeDepth == 1 && GetCurrentThreadId() == mainThreadId) mainInHostCode = 1;
}

void leaveHostCode() {
  if (--hostCodeDepth != 0 || GetCurrentThreadId() != mainThreadId) return;
  mainInHostCode = 0;
  if (abandonDeferred && mainGuard.active) {
    // Asked while the host's code ran: the main thread leaves the call from here.
    abandonDeferred = 0;
    RtlCaptureContext(&faultContext);
    mainGuard.fault = CapturedFault();
    mainGuard.fault.abandoned = true;
    mainGuard.active = 0;
    landing();
  }
}

// --- exit() and ExitProcess called by an extension -----------------------------------------

using ExitFunction = void(__cdecl*)(int);
using ExitProcessFunction = void(WINAPI*)(UINT);
ExitFunction realExit = nullptr;
ExitFunction realQuickExit = nullptr;  // _exit
ExitProcessFunction realExitProcess = nullptr;

void reportExit(int status) {
  if (mainGuard.active && exitReporter != nullptr) exitReporter(status);
}

void __cdecl exitHook(int status) {
  reportExit(status);
  realExit(status);
}

void __cdecl quickExitHook(int status) {
  reportExit(status);
  realQuickExit(status);
}

void WINAPI exitProcessHook(UINT status) {
  reportExit(static_cast<int>(status));
  realExitProcess(status);
}

// Points one import slot at `hook`, keeping the function it held in `*real` (the first one seen;
// a slot that holds another function, from a second C runtime, is left as it is).
template <class Function>
void hookImport(ULONG_PTR* slot, Function hook, Function* real) {
  auto held = reinterpret_cast<Function>(*slot);
  if (*real == nullptr) *real = held;
  if (*real != held) return;
  DWORD previous = 0;
  if (!VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &previous)) return;
  *slot = reinterpret_cast<ULONG_PTR>(hook);
  VirtualProtect(slot, sizeof *slot, previous, &previous);
}

void watchExitCalls(const void* libraryAddress) {
  HMODULE module = moduleOf(reinterpret_cast<std::uintptr_t>(libraryAddress));
  if (module == nullptr) return;
  auto* base = reinterpret_cast<unsigned char*>(module);
  auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (directory.VirtualAddress == 0) return;
  for (auto* import = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress);
       import->Name != 0; ++import) {
    if (import->OriginalFirstThunk == 0) continue;  // no names to go by
    auto* names = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + import->OriginalFirstThunk);
    auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + import->FirstThunk);
    for (; names->u1.AddressOfData != 0; ++names, ++slots) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      auto* byName = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
      const char* name = reinterpret_cast<const char*>(byName->Name);
      ULONG_PTR* slot = reinterpret_cast<ULONG_PTR*>(&slots->u1.Function);
      if (std::strcmp(name, "exit") == 0) {
        hookImport(slot, &exitHook, &realExit);
      } else if (std::strcmp(name, "_exit") == 0) {
        hookImport(slot, &quickExitHook, &realQuickExit);
      } else if (std::strcmp(name, "ExitProcess") == 0) {
        hookImport(slot, &exitProcessHook, &realExitProcess);
      }
    }
  }
}

void rememberUnloadedLibrary(const void* address, const std::string& name) {
  HMODULE module = moduleOf(reinterpret_cast<std::uintptr_t>(address));
  if (module == nullptr) return;
  auto* base = reinterpret_cast<const unsigned char*>(module);
  auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
      base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
  UnloadedLibrary library;
  library.begin = reinterpret_cast<std::uintptr_t>(base);
  library.end = library.begin + nt->OptionalHeader.SizeOfImage;
  library.name = name;
  library.file = moduleFileName(module);
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot != INVALID_HANDLE_VALUE) {
    THREADENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
      if (entry.th32OwnerProcessID == GetCurrentProcessId()) library.threads.push_back(entry.th32ThreadID);
    }
    CloseHandle(snapshot);
  }
  recordUnloadedLibrary(std::move(library));
}

void endProcessNow(int status) {
  TerminateProcess(GetCurrentProcess(), static_cast<UINT>(status));
  std::abort();
}

void recordThrowSite(const void*) {}

void addThrowSite(const void*, RawFault*) {}

}  // namespace platform
