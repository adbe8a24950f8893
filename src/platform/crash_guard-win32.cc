// The crash guard on Windows: the top-level (unhandled-exception) filter, which runs only after
// the extension's own handlers declined, redirects the faulting main thread to a landing point
// that jumps back to the guarded call without unwinding; frames come from walking the stack, and
// a frame is named after an export only where its function is known to begin at the export.
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
#include <unwind.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <vector>

#include "platform/dbghelp_stack_walk-win32.h"
#include "platform/fault_handler_interception.h"
#include "platform/import_slot-win32.h"
#include "platform/platform.h"
#include "platform/thread_counts.h"
#include "platform/unloaded_libraries.h"

namespace platform {

namespace {

constexpr int kMaxRawFrames = 64;
// A deeper stack (a runaway recursion) keeps its innermost kMaxRawFrames and its outermost
// kOuterRawFrames, and counts those between, up to kMaxCountedFrames in all. The outermost
// frames are enough to hold, besides the host's own frames below the guarded call (about fifteen
// under Wine), the last rounds of the recursion, whose count the report gets from them.
constexpr int kOuterRawFrames = 48;
constexpr std::size_t kMaxCountedFrames = 4 * 1024 * 1024;
constexpr DWORD kMsvcCppException = 0xE06D7363;
// What libgcc's SEH-based unwinder (win64 MinGW) raises for a C++ throw: "GCC " as a code, with
// the _Unwind_Exception as its first argument.
constexpr DWORD kGccCppException = 0x20474343;

// A fault as the filter sees it; made a RawFault on the landing path.
struct CapturedFault {
  DWORD code = 0;
  ULONG_PTR access = 0;  // 0 read, 1 write, 8 execute
  ULONG_PTR address = 0;
  bool hasAddress = false;
  bool aborted = false;    // abort() through the C runtime's SIGABRT
  bool abandoned = false;  // Ctrl-C abandoned the call
  bool exited = false;     // search mode: the extension called exit()
  int exitStatus = 0;
  int raisedSignal = 0;  // the fault signal the extension raised through its C runtime
  std::uintptr_t frames[kMaxRawFrames] = {};
  int frameCount = 0;
  std::uintptr_t outerFrames[kOuterRawFrames] = {};  // a ring: the latest past kMaxRawFrames
  std::size_t totalFrames = 0;                       // every frame the walk went through
};

struct MainGuard {
  void* jump[5];
  volatile LONG active = 0;
  // The guarded code is a library's start-up or clean-up code, run by the system's loader,
  // which catches the faults there itself (and carries on as if nothing happened).
  volatile LONG loaderCode = 0;
  // 32-bit: the head of the thread's exception-handler chain when the guarded call began.
  const void* hostHandlerRecord = nullptr;
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
// The call a deferred abandon is for (see abandonGuardedCallNow): null, whichever runs.
const std::atomic<std::uint64_t>* volatile deferredCall = nullptr;
volatile std::uint64_t deferredCallNumber = 0;

// The search mode (see setSearchMode).
volatile LONG searchMode = 0;
thread_local int hostCodeDepth = 0;
volatile LONG mainInHostCode = 0;

// Libraries one of whose threads faulted and was parked.
std::mutex threadFaultMutex;
std::vector<HMODULE> faultedLibraries;

// Faults of other threads, taken in the fault filter and reported one at a time by a thread of
// the host's own, where the frames can be named from debug information (never in the filter).
struct PendingThreadFault {
  CrashRecord crash;
  DWORD threadId = 0;
  HMODULE library = nullptr;  // quarantined once the fault is reported; null: none is to blame
};
std::vector<PendingThreadFault> pendingThreadFaults;  // guarded by threadFaultMutex
HANDLE threadFaultReady = nullptr;                    // counts the pending faults
std::atomic<int> threadFaultsUnreported{0};           // pending or being reported

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
alignas(16) unsigned char landingStack[1024 * 1024];  // DbgHelp's unwinder runs on it too

// The current thread's stack: its committed low end and its top. (GCC takes the segment-register
// read of NtCurrentTeb for an out-of-bounds array access.)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
NT_TIB* threadInformation() { return reinterpret_cast<NT_TIB*>(NtCurrentTeb()); }
#pragma GCC diagnostic pop

#ifdef _WIN64
// Whether the frame register `function` unwinds through, if it has one and has set it, points
// into the stack between the stack pointer and `high`: after an overwrite of the stack it may
// hold anything, and the unwinder would read the saved registers through it.
bool frameRegisterOnStack(DWORD64 imageBase, const RUNTIME_FUNCTION& function, const CONTEXT& context,
                          DWORD64 high) {
  if ((function.UnwindData & 1) != 0) return true;  // an entry that refers to another
  const auto* info = reinterpret_cast<const unsigned char*>(imageBase + function.UnwindData);
  constexpr unsigned kChainedInfo = 4;  // UNW_FLAG_CHAININFO
  const unsigned flags = info[0] >> 3;
  const unsigned frameRegister = info[3] & 0x0f;  // 0: none; else Rax's index onwards
  if (frameRegister == 0) return true;
  const bool inProlog =
      (flags & kChainedInfo) == 0 && context.Rip - (imageBase + function.BeginAddress) < info[1];
  if (inProlog) return true;  // not set yet: the unwinder does not use it
  const DWORD64 value = (&context.Rax)[frameRegister];
  return value >= context.Rsp && value < high;
}
#endif

// Walks the current thread's stack from `context` (which it changes), innermost first, giving
// each frame's address to `visit` until it answers false. The walk ends where the stack pointer
// would leave the thread's stack or stop rising. `thorough`: a walk after the host recovered,
// which on 32-bit Windows may take DbgHelp's unwinder, too slow for a fault filter, a throw's
// first chance or the thousands of frames of a stack overflow.
template <class Visit>
void walkStack(CONTEXT& context, bool thorough, Visit visit) {
  const NT_TIB* tib = threadInformation();
  auto high = reinterpret_cast<std::uintptr_t>(tib->StackBase);
#ifdef _WIN64
  (void)thorough;  // the unwind tables describe every function
  for (bool innermost = true; context.Rip != 0 && visit(static_cast<std::uintptr_t>(context.Rip));
       innermost = false) {
    DWORD64 previous = context.Rsp;
    DWORD64 imageBase = 0;
    PRUNTIME_FUNCTION function = RtlLookupFunctionEntry(context.Rip, &imageBase, nullptr);
    if (function == nullptr) {
      // A leaf function, or a call to an address in no module: the return address is on top
      // of the stack. A return address in no module is no code's but what an overwrite of the
      // stack left, with nothing to unwind above it.
      if ((!innermost && moduleOf(context.Rip) == nullptr) || context.Rsp + 8 > high) break;
      context.Rip = *reinterpret_cast<DWORD64*>(context.Rsp);
      context.Rsp += 8;
    } else {
      if (!frameRegisterOnStack(imageBase, *function, context, high)) break;
      void* handlerData = nullptr;
      DWORD64 establisher = 0;
      RtlVirtualUnwind(UNW_FLAG_NHANDLER, imageBase, context.Rip, function, &context, &handlerData,
                       &establisher, nullptr);
    }
    if (context.Rsp <= previous || context.Rsp >= high) break;
  }
#else
  // DbgHelp unwinds through code built without frame pointers; where it cannot be used, the
  // frame-pointer chain, which such code ends early.
  auto visitThrough = [](void* data, std::uintptr_t address) {
    return (*static_cast<Visit*>(data))(address);
  };
  CONTEXT start = context;
  if (thorough && walkStackWithDbgHelp(&context, visitThrough, &visit)) return;
  context = start;
  if (!visit(context.Eip)) return;
  auto* frame = reinterpret_cast<DWORD*>(context.Ebp);
  auto low = reinterpret_cast<std::uintptr_t>(tib->StackLimit);
  for (;;) {
    auto at = reinterpret_cast<std::uintptr_t>(frame);
    if (at < low || at + 8 > high || (at & 3) != 0) break;
    DWORD returnAddress = frame[1];
    if (returnAddress == 0 || !visit(returnAddress)) break;
    auto* next = reinterpret_cast<DWORD*>(frame[0]);
    if (next <= frame) break;
    frame = next;
  }
#endif
}

// Walks the whole stack into `fault`: the innermost frames, the outermost ones and the count.
// `thorough` as for walkStack.
void walkFrames(CONTEXT context, bool thorough, CapturedFault* fault) {
  fault->totalFrames = 0;
  walkStack(context, thorough, [fault](std::uintptr_t address) {
    std::size_t count = fault->totalFrames++;
    if (count < static_cast<std::size_t>(kMaxRawFrames)) {
      fault->frames[count] = address;
    } else {
      fault->outerFrames[(count - kMaxRawFrames) % kOuterRawFrames] = address;
    }
    return fault->totalFrames < kMaxCountedFrames;
  });
  fault->frameCount = static_cast<int>(std::min<std::size_t>(fault->totalFrames, kMaxRawFrames));
}

// The faulting thread's context, kept for the landing point: the handlers copy it and no more,
// since after a stack overflow they run on the last few hundred bytes of the stack.
CONTEXT faultContext;

// Runs on the landing stack, so the extension's frames below the guarded call are still intact
// to be walked.
[[noreturn]] void landing() {
  walkFrames(faultContext, mainGuard.fault.code != EXCEPTION_STACK_OVERFLOW, &mainGuard.fault);
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
  fault->exited = false;
  fault->hasAddress = record->ExceptionCode == EXCEPTION_ACCESS_VIOLATION && record->NumberParameters >= 2;
  if (fault->hasAddress) {
    fault->access = record->ExceptionInformation[0];
    fault->address = record->ExceptionInformation[1];
  }
}

// A fault on a thread other than the main one, in an extension's code: reported from the
// faulting thread, which is then parked for good. Answers false for a fault of the host's own.
bool reportThreadFault(EXCEPTION_POINTERS* pointers);

// Hands a thread's fault in `library` (null: none is to blame) to the reporter thread and parks
// the calling thread for good.
[[noreturn]] void reportAndParkThread(CrashRecord&& crash, HMODULE library);

// A thread's stack overflow, carried to a stack of its own (see reportThreadFault), where the
// fault is reported as any other; the thread stays parked there.
struct OverflowedThread {
  EXCEPTION_RECORD record;
  CONTEXT context;
};

[[noreturn]] void reportOverflowedThread(OverflowedThread* overflow) {
  EXCEPTION_POINTERS pointers = {&overflow->record, &overflow->context};
  reportThreadFault(&pointers);
  for (;;) Sleep(INFINITE);  // a fault of the host's own: nothing to report, parked all the same
}

bool reportThreadFault(EXCEPTION_POINTERS* pointers) {
  if (threadFaultReporter == nullptr) return false;
  if (pointers->ExceptionRecord->ExceptionCode == EXCEPTION_STACK_OVERFLOW &&
      reinterpret_cast<std::uintptr_t>(&pointers) -
              reinterpret_cast<std::uintptr_t>(threadInformation()->StackLimit) <
          64 * 1024) {
    // Too little stack is left to report from: the thread goes on at a function that reports
    // the fault from a stack of its own, with the record and the context copied to its top.
    constexpr std::size_t kOverflowStackSize = 256 * 1024;
    void* stack = VirtualAlloc(nullptr, kOverflowStackSize, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (stack == nullptr) return false;
    auto* overflow = reinterpret_cast<OverflowedThread*>(
        (reinterpret_cast<std::uintptr_t>(stack) + kOverflowStackSize - sizeof(OverflowedThread)) &
        ~std::uintptr_t{15});
    overflow->record = *pointers->ExceptionRecord;
    overflow->context = *pointers->ContextRecord;
    auto top = reinterpret_cast<std::uintptr_t>(overflow) - 64;
#ifdef _WIN64
    pointers->ContextRecord->Rcx = reinterpret_cast<DWORD64>(overflow);
    pointers->ContextRecord->Rsp = top - 8;  // as if called, with its argument in a register
    pointers->ContextRecord->Rip = reinterpret_cast<DWORD64>(&reportOverflowedThread);
#else
    reinterpret_cast<OverflowedThread**>(top)[0] = overflow;  // the argument, above the return slot
    pointers->ContextRecord->Esp = top - 4;
    pointers->ContextRecord->Eip = reinterpret_cast<DWORD>(&reportOverflowedThread);
#endif
    return true;
  }
  static CapturedFault faults[4];  // a thread's own record is too big for a thread's stack margin
  static std::atomic<int> next{0};
  CapturedFault& fault = faults[next.fetch_add(1) & 3];
  recordException(pointers->ExceptionRecord, &fault);
  // Inside the fault filter, where reading a library's debug information would hold up the
  // report (and, under Wine, lose its frames): the frame-pointer chain only.
  walkFrames(*pointers->ContextRecord, false, &fault);
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
    reportAndParkThread(std::move(crash), nullptr);
  }
  if (library == nullptr) return false;
  resolveFault(fault, library, GetCurrentThreadId(), &crash);
  reportAndParkThread(std::move(crash), library);
}

// Marks `library` as one whose thread faulted: its calls are refused from now on.
void quarantineLibrary(HMODULE library) {
  if (library == nullptr) return;
  std::lock_guard<std::mutex> lock(threadFaultMutex);
  faultedLibraries.push_back(library);
}

[[noreturn]] void reportAndParkThread(CrashRecord&& crash, HMODULE library) {
  stopCountingThisThread();  // parked for good: no longer running
  if (threadFaultReady != nullptr) {
    threadFaultsUnreported.fetch_add(1);
    {
      std::lock_guard<std::mutex> lock(threadFaultMutex);
      pendingThreadFaults.push_back(PendingThreadFault{std::move(crash), GetCurrentThreadId(), library});
    }
    ReleaseSemaphore(threadFaultReady, 1, nullptr);
  } else {  // no reporter thread could be started: reported from the filter, offsets only
    threadFaultReporter(crash, GetCurrentThreadId());
    quarantineLibrary(library);
  }
  for (;;) Sleep(INFINITE);
}

DWORD WINAPI reportThreadFaults(void*) {
  for (;;) {
    WaitForSingleObject(threadFaultReady, INFINITE);
    PendingThreadFault pending;
    {
      std::lock_guard<std::mutex> lock(threadFaultMutex);
      if (pendingThreadFaults.empty()) continue;
      pending = std::move(pendingThreadFaults.front());
      pendingThreadFaults.erase(pendingThreadFaults.begin());
    }
    // Reported before the library's calls are refused, so that no refusal comes before the
    // report of the fault it is for.
    if (threadFaultReporter != nullptr) threadFaultReporter(pending.crash, pending.threadId);
    quarantineLibrary(pending.library);
    threadFaultsUnreported.fetch_sub(1);
  }
}

LONG takeMainThreadFault(EXCEPTION_POINTERS* pointers);

LONG WINAPI onUnhandledException(EXCEPTION_POINTERS* pointers) {
  if (GetCurrentThreadId() != mainThreadId && reportThreadFault(pointers)) {
    return EXCEPTION_CONTINUE_EXECUTION;  // reached for a stack overflow only: it goes on to report
  }
  if (mainGuard.active && GetCurrentThreadId() == mainThreadId && offerFaultToLibrary(0, pointers, nullptr)) {
    return EXCEPTION_CONTINUE_EXECUTION;
  }
  if (mainGuard.active && GetCurrentThreadId() == mainThreadId) return takeMainThreadFault(pointers);
  return passFaultBehindHost(0, pointers, nullptr);
}

// The guarded call on the main thread faulted: it leaves at the landing point.
LONG takeMainThreadFault(EXCEPTION_POINTERS* pointers) {
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

// A stack overflow leaves too little stack for the extension's handlers or the top-level
// filter to run: it is taken at once, as the last vectored handler.
LONG CALLBACK onStackOverflow(EXCEPTION_POINTERS* pointers) {
  if (pointers->ExceptionRecord->ExceptionCode != EXCEPTION_STACK_OVERFLOW) {
    return EXCEPTION_CONTINUE_SEARCH;
  }
  return onUnhandledException(pointers);
}

// The frames of the latest C++ exception thrown while the main thread's guarded call ran, seen
// at its first chance (before any handler runs or anything is unwound) from the context of the
// throw; the walk ends at the host's own frames, the guarded call. An exception the extension
// catches itself costs this walk and prints nothing.
struct ThrowSite {
  const void* object = nullptr;  // the thrown object
  std::uintptr_t frames[kMaxRawFrames] = {};
  int frameCount = 0;
};
ThrowSite throwSite;
std::uintptr_t hostImageBegin = 0;
std::uintptr_t hostImageEnd = 0;

// The thrown object of an MSVC or a libgcc (SEH) C++ exception; null for any other exception.
const void* thrownObject(const EXCEPTION_RECORD* record) {
  if (record->ExceptionCode == kMsvcCppException && record->NumberParameters >= 2) {
    return reinterpret_cast<const void*>(record->ExceptionInformation[1]);
  }
  if (record->ExceptionCode == kGccCppException && record->NumberParameters >= 1) {
    // libstdc++ keeps the object right after the _Unwind_Exception that ends its header.
    return reinterpret_cast<const _Unwind_Exception*>(record->ExceptionInformation[0]) + 1;
  }
  return nullptr;
}

// A fault of the processor, which no library raises to catch it itself.
bool isProcessorFault(DWORD code) {
  switch (code) {
    case EXCEPTION_ACCESS_VIOLATION:
    case EXCEPTION_ILLEGAL_INSTRUCTION:
    case EXCEPTION_PRIV_INSTRUCTION:
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
    case EXCEPTION_IN_PAGE_ERROR:
    case EXCEPTION_DATATYPE_MISALIGNMENT:
      return true;
    default:
      return false;
  }
}

// Whether the system can look for the extension's own handlers of a fault at `context` without
// following what an overwrite of the stack left there (return addresses in no module, frame
// registers or handler records pointing anywhere): the walk up to the host's frames holds.
// Where it does not, the system's search would end the process (under Wine it faults in its own
// unwinder), so the fault is taken at its first chance; Windows itself would find no handler.
bool stackUnwindsToHost(const CONTEXT& faultContext) {
#ifdef _WIN64
  CONTEXT context = faultContext;
  bool reachedHost = false;
  walkStack(context, false, [&reachedHost](std::uintptr_t address) {
    reachedHost = address >= hostImageBegin && address < hostImageEnd;
    return !reachedHost;
  });
  return reachedHost;
#else
  // The chain of handler records from its head down to the one the guarded call began with:
  // each on the stack, rising, with a handler in a module; records below the fault's stack
  // pointer are the system's, made for the dispatch. Looked at only in the search, which makes
  // such overwrites on purpose: an ordinary call leaves the extension's own handlers their turn.
  if (!searchMode) return true;
  const NT_TIB* tib = threadInformation();
  const auto low = reinterpret_cast<std::uintptr_t>(tib->StackLimit);
  const auto high = reinterpret_cast<std::uintptr_t>(tib->StackBase);
  const auto faultStack = static_cast<std::uintptr_t>(faultContext.Esp);
  auto below = faultStack;
  for (const _EXCEPTION_REGISTRATION_RECORD* record = tib->ExceptionList;
       record != mainGuard.hostHandlerRecord; record = record->Next) {
    const auto at = reinterpret_cast<std::uintptr_t>(record);
    if (at < low || at + sizeof *record > high || (at & 3) != 0) return false;
    if (at < faultStack) continue;
    if (at < below || moduleOf(reinterpret_cast<std::uintptr_t>(record->Handler)) == nullptr) return false;
    below = at + sizeof *record;
  }
  return true;
#endif
}

// The host's vectored handler, in front of every other: the libraries' own vectored handlers
// are called from it, once it declined the exception.
LONG CALLBACK onFirstChanceException(EXCEPTION_POINTERS* pointers) {
  const bool mainThread = GetCurrentThreadId() == mainThreadId;
  const bool processorFault = isProcessorFault(pointers->ExceptionRecord->ExceptionCode);
  if (processorFault && inLibraryFaultHandler()) {
    // A library's own fault handler faulted: that fault is the library's crash. Left to the
    // system, it would reach the same handler again, and again, until the stack is gone.
    if (mainGuard.active && mainThread) return takeMainThreadFault(pointers);
    if (!mainThread && reportThreadFault(pointers)) return EXCEPTION_CONTINUE_EXECUTION;
    return EXCEPTION_CONTINUE_SEARCH;
  }
  if (mainGuard.active && mainThread) {
    // In start-up or clean-up code the loader's own handler would swallow the fault, and over a
    // stack an overwrite left the search for a handler would not end well: it is taken at its
    // first chance instead.
    if (processorFault && (mainGuard.loaderCode || !stackUnwindsToHost(*pointers->ContextRecord))) {
      return takeMainThreadFault(pointers);
    }
    if (const void* object = thrownObject(pointers->ExceptionRecord)) {
      CONTEXT context = *pointers->ContextRecord;
      throwSite.frameCount = 0;
      walkStack(context, false, [](std::uintptr_t address) {
        if (address >= hostImageBegin && address < hostImageEnd) return false;
        throwSite.frames[throwSite.frameCount++] = address;
        return throwSite.frameCount < kMaxRawFrames;
      });
      throwSite.object = object;
    }
  } else if (mainThread) {
    return EXCEPTION_CONTINUE_SEARCH;  // the host's own code, between calls
  }
  return offerExceptionToLibraryHandlers(pointers);
}

// abort() in the C runtime the extension shares with the host raises SIGABRT.
void onAbort(int) {
  if (mainGuard.active && GetCurrentThreadId() == mainThreadId) {
    RtlCaptureContext(&faultContext);
    mainGuard.fault.code = 0;
    mainGuard.fault.aborted = true;
    mainGuard.fault.abandoned = false;
    mainGuard.fault.exited = false;
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
    auto* host = reinterpret_cast<const unsigned char*>(GetModuleHandleW(nullptr));
    auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
        host + reinterpret_cast<const IMAGE_DOS_HEADER*>(host)->e_lfanew);
    hostImageBegin = reinterpret_cast<std::uintptr_t>(host);
    hostImageEnd = hostImageBegin + nt->OptionalHeader.SizeOfImage;
    AddVectoredExceptionHandler(1, onFirstChanceException);
    signal(SIGABRT, onAbort);
    threadFaultReady = CreateSemaphoreW(nullptr, 0, LONG_MAX, nullptr);
    if (threadFaultReady != nullptr) {
      HANDLE reporter = CreateThread(nullptr, 0, reportThreadFaults, nullptr, 0, nullptr);
      if (reporter != nullptr) {
        CloseHandle(reporter);
      } else {
        CloseHandle(threadFaultReady);
        threadFaultReady = nullptr;
      }
    }
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
  if (address == 0) return nullptr;  // the system takes a null address for the executable's
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(address), &module);
  return module;
}

#ifdef _WIN64
// The export whose code begins at `rva`, when there is one.
const char* exportAt(HMODULE module, DWORD rva) {
  auto* base = reinterpret_cast<const unsigned char*>(module);
  auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  if (directory.VirtualAddress == 0) return nullptr;
  auto* exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + directory.VirtualAddress);
  auto* functions = reinterpret_cast<const DWORD*>(base + exports->AddressOfFunctions);
  auto* names = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
  auto* ordinals = reinterpret_cast<const WORD*>(base + exports->AddressOfNameOrdinals);
  for (DWORD i = 0; i < exports->NumberOfNames; ++i) {
    if (functions[ordinals[i]] == rva) return reinterpret_cast<const char*>(base + names[i]);
  }
  return nullptr;
}
#endif

// Names the frame after the export that holds its address. Exports carry no sizes, so the
// nearest one below an address may be far from it (in code of a static runtime, say): an export
// is named only where the function holding the address is known to begin at it. On win64 that
// is the .pdata entry of the function (the first of a chain, for a function split in parts);
// the 32-bit image has no such table, and its frames are named only from debug information.
void containingExport(HMODULE module, RawFrame* frame) {
#ifdef _WIN64
  DWORD64 imageBase = 0;
  PRUNTIME_FUNCTION function = RtlLookupFunctionEntry(frame->address, &imageBase, nullptr);
  if (function == nullptr || imageBase != reinterpret_cast<DWORD64>(module)) return;
  // Unwind information: version and flags, prologue size, code count, frame register, codes;
  // a chained entry follows the codes (whose count is rounded up to an even number).
  constexpr unsigned char kChainInfo = 4;
  for (int hops = 0; hops < 32; ++hops) {
    const auto* unwind = reinterpret_cast<const unsigned char*>(imageBase + (function->UnwindData & ~3u));
    if (((unwind[0] >> 3) & kChainInfo) == 0) break;
    unsigned codes = (unwind[2] + 1u) & ~1u;
    function = reinterpret_cast<PRUNTIME_FUNCTION>(const_cast<unsigned char*>(unwind + 4 + 2 * codes));
  }
  if (const char* name = exportAt(module, function->BeginAddress)) {
    frame->symbol = name;
    frame->symbolAddress = static_cast<std::uintptr_t>(imageBase + function->BeginAddress);
  }
#else
  (void)module;
  (void)frame;
#endif
}

// The file the module was loaded from, in UTF-8; empty when unknown.
std::string modulePath(HMODULE module) {
  wchar_t path[MAX_PATH];
  DWORD length = GetModuleFileNameW(module, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return {};
  char utf8[MAX_PATH * 3];
  int bytes = WideCharToMultiByte(CP_UTF8, 0, path, static_cast<int>(length) + 1, utf8, sizeof utf8, nullptr,
                                  nullptr);
  return bytes > 0 ? utf8 : "";
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

// Fills `fault`'s frames from code addresses (the faulting instruction, the call instructions).
void resolveAddresses(const std::uintptr_t* addresses, std::size_t count, RawFault* fault) {
  HMODULE host = GetModuleHandleW(nullptr);
  fault->frames.resize(count);
  for (std::size_t i = 0; i < count; ++i) {
    RawFrame& frame = fault->frames[i];
    frame.address = addresses[i];
    HMODULE module = moduleOf(frame.address);
    if (module == nullptr) continue;
    frame.moduleFile = moduleFileName(module);
    if (frame.moduleFile.empty()) continue;
    frame.moduleBase = reinterpret_cast<std::uintptr_t>(module);
    frame.hostOrRuntime = module == host;
    frame.modulePath = modulePath(module);
    containingExport(module, &frame);
  }
}

void resolveFault(const CapturedFault& captured, HMODULE scope, DWORD threadId, CrashRecord* crash) {
  RawFault& fault = crash->fault;
  fault = RawFault();
  bool exception = !captured.aborted && !captured.abandoned && !captured.exited && captured.raisedSignal == 0;
  fault.kind = captured.aborted                   ? FaultKind::Abort
               : captured.abandoned               ? FaultKind::Abandoned
               : captured.exited                  ? FaultKind::Other
               : captured.raisedSignal == SIGSEGV ? FaultKind::InvalidAccess
               : captured.raisedSignal == SIGILL  ? FaultKind::IllegalInstruction
               : captured.raisedSignal == SIGFPE  ? FaultKind::Arithmetic
                                                  : kindOf(captured.code);
  if (captured.raisedSignal != 0) {  // as POSIX names a signal the process sent itself
    fault.signal = captured.raisedSignal;
    fault.sent = true;
    fault.senderPid = GetCurrentProcessId();
    fault.sentByThisProcess = true;
  }
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
  std::vector<std::uintptr_t> addresses;
  for (int i = 0; i < captured.frameCount; ++i) {
    // Caller frames hold return addresses; the call itself is one byte before.
    addresses.push_back(i == 0 ? captured.frames[i] : captured.frames[i] - 1);
  }
  if (captured.totalFrames > static_cast<std::size_t>(kMaxRawFrames)) {
    std::size_t past = captured.totalFrames - kMaxRawFrames;
    std::size_t kept = std::min<std::size_t>(past, kOuterRawFrames);
    fault.framesOmittedAt = addresses.size();
    fault.framesOmitted = past - kept;
    for (std::size_t i = past - kept; i < past; ++i)
      addresses.push_back(captured.outerFrames[i % kOuterRawFrames] - 1);
  }
  resolveAddresses(addresses.data(), addresses.size(), &fault);
  crash->exitStatus = captured.aborted ? 3 : static_cast<int>(captured.code);
  crash->abandoned = captured.abandoned;
  crash->exited = captured.exited;
  crash->exitCallStatus = captured.exitStatus;
}

}  // namespace

std::uintptr_t moduleBaseOf(const void* address) {
  return reinterpret_cast<std::uintptr_t>(moduleOf(reinterpret_cast<std::uintptr_t>(address)));
}

bool runGuarded(GuardedBody body, void* context, CrashScope scope, CrashRecord* crash) {
  installFaultHandlers();
  // 32-bit Windows chains a thread's exception handlers through records on its stack, headed in
  // its information block: the extension's records below this frame, left behind by a fault or
  // an abandon, lie in stack that the next call overwrites and the next exception would walk.
  NT_TIB* volatile tib = threadInformation();
  _EXCEPTION_REGISTRATION_RECORD* volatile handlerChain = tib->ExceptionList;
  mainGuard.hostHandlerRecord = handlerChain;
  if (__builtin_setjmp(mainGuard.jump) != 0) {
    tib->ExceptionList = handlerChain;
    if (mainGuard.fault.code == EXCEPTION_STACK_OVERFLOW) _resetstkoflw();
    abandonRequested = 0;
    hostCodeDepth = 0;  // host code the extension called (the callback) that faulted never left
    mainInHostCode = 0;
    leftLibraryFaultHandler();
    HMODULE scopeModule =
        scope.address != nullptr ? moduleOf(reinterpret_cast<std::uintptr_t>(scope.address)) : nullptr;
    resolveFault(mainGuard.fault, scopeModule, mainThreadId, crash);
    return false;
  }
  abandonDeferred = 0;
  forgetLibraryRetry();
  throwSite.object = nullptr;
  mainGuard.loaderCode = scope.address == nullptr;
  bool returned = callWhileActive(body, context, &mainGuard.active, crash);
  if (!returned) crash->fault.scopeModule = moduleBaseOf(scope.address);
  return returned;
}

void setExitDuringCallReporter(void (*reporter)(int)) { exitReporter = reporter; }

bool threadFaultsReportedOnHostThread() { return threadFaultReady != nullptr; }

void waitForThreadFaultReports(int milliseconds) {
  for (int waited = 0; threadFaultsUnreported.load() > 0 && waited < milliseconds; waited += 5) Sleep(5);
}

void setThreadFaultReporter(void (*reporter)(const CrashRecord&, std::uint64_t)) {
  threadFaultReporter = reporter;
}

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

namespace {

// Sends the main thread, suspended inside the guarded call, to the landing point; with `call`,
// only while that number still holds `expected`.
bool abandonMainThread(const std::atomic<std::uint64_t>* call, std::uint64_t expected) {
  if (!mainGuard.active || mainThreadHandle == nullptr) return false;
  if (mainInHostCode) {
    if (call != nullptr && call->load() != expected) return false;  // that call ended meanwhile
    deferredCall = call;
    deferredCallNumber = expected;
    abandonDeferred = 1;
    return true;
  }
  if (SuspendThread(mainThreadHandle) == static_cast<DWORD>(-1)) return false;
  CONTEXT context = {};
  context.ContextFlags = CONTEXT_FULL;
  bool redirected = false;
  if (mainGuard.active && !mainInHostCode && (call == nullptr || call->load() == expected) &&
      GetThreadContext(mainThreadHandle, &context)) {
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

}  // namespace

bool abandonGuardedCall(int, void*, void*) {
  return (inputIsTerminal() || searchMode) && abandonMainThread(nullptr, 0);
}

bool interruptReachesLoaderCode() { return false; }

bool abandonPending() { return abandonRequested != 0 || (abandonDeferred != 0 && mainGuard.active); }

void enterHostCode() {
  if (++hostCodeDepth == 1 && GetCurrentThreadId() == mainThreadId) mainInHostCode = 1;
}

void leaveHostCode() {
  if (--hostCodeDepth != 0 || GetCurrentThreadId() != mainThreadId) return;
  mainInHostCode = 0;
  if (abandonDeferred && mainGuard.active) {
    // Asked while the host's code ran: the main thread leaves the call from here, unless the
    // call it was asked for ended meanwhile and this is the next one.
    abandonDeferred = 0;
    const std::atomic<std::uint64_t>* call = deferredCall;
    if (call != nullptr && call->load() != deferredCallNumber) return;
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
  landExitInGuardedCall(status);
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

// --- raise() called by an extension ------------------------------------------------------------

using SignalHandler = void(__cdecl*)(int);
using RaiseFunction = int(__cdecl*)(int);
using SignalFunction = SignalHandler(__cdecl*)(int, SignalHandler);
RaiseFunction realRaise = nullptr;
SignalFunction runtimeSignal = nullptr;  // signal() of the C runtime realRaise belongs to

// A fault signal an extension raises during a call on the main thread, with no handler of its
// own for it: the C runtime's default action ends the process at once, without a word. It is
// the call's crash instead, named as a signal the process sent itself, as on POSIX.
int __cdecl raiseHook(int sig) {
  if ((sig == SIGSEGV || sig == SIGILL || sig == SIGFPE) && runtimeSignal != nullptr && mainGuard.active &&
      !mainInHostCode && GetCurrentThreadId() == mainThreadId) {
    SignalHandler handler = runtimeSignal(sig, SIG_DFL);
    runtimeSignal(sig, handler);
    if (handler == SIG_DFL) {
      RtlCaptureContext(&faultContext);
      mainGuard.fault = CapturedFault();
      mainGuard.fault.raisedSignal = sig;
      mainGuard.active = 0;
      landing();
    }
  }
  return realRaise(sig);
}

void setSearchMode(bool on) { searchMode = on ? 1 : 0; }

bool abandonGuardedCallNow(const std::atomic<std::uint64_t>* call, std::uint64_t expected) {
  return abandonMainThread(call, expected);
}

void landExitInGuardedCall(int status, const void*) {
  if (!searchMode || !mainGuard.active || mainInHostCode || GetCurrentThreadId() != mainThreadId) return;
  RtlCaptureContext(&faultContext);
  mainGuard.fault = CapturedFault();
  mainGuard.fault.exited = true;
  mainGuard.fault.exitStatus = status;
  mainGuard.active = 0;
  landing();
}

void watchExitCalls(const void* libraryAddress) {
  HMODULE module = moduleOf(reinterpret_cast<std::uintptr_t>(libraryAddress));
  if (module == nullptr) return;
  countThreadsOf(libraryAddress);
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
        redirectImportSlot(slot, &exitHook, &realExit);
      } else if (std::strcmp(name, "_exit") == 0) {
        redirectImportSlot(slot, &quickExitHook, &realQuickExit);
      } else if (std::strcmp(name, "ExitProcess") == 0) {
        redirectImportSlot(slot, &exitProcessHook, &realExitProcess);
      } else if (std::strcmp(name, "raise") == 0) {
        redirectImportSlot(slot, &raiseHook, &realRaise);
        HMODULE runtime = moduleOf(reinterpret_cast<std::uintptr_t>(realRaise));
        if (runtimeSignal == nullptr && runtime != nullptr) {
          runtimeSignal =
              reinterpret_cast<SignalFunction>(reinterpret_cast<void*>(GetProcAddress(runtime, "signal")));
        }
      }
      redirectThreadStart(name, reinterpret_cast<std::uintptr_t*>(slot));
      interceptFaultHandlerImport(name, reinterpret_cast<std::uintptr_t*>(slot));
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

// C++ throws are seen at their first chance instead (onFirstChanceException).
void recordThrowSite(const void*) {}

void addThrowSite(const void* object, RawFault* fault) {
  if (object == nullptr || throwSite.object != object) return;
  std::uintptr_t addresses[kMaxRawFrames];
  for (int i = 0; i < throwSite.frameCount; ++i) {
    // The first is where the exception was raised; the others hold return addresses.
    addresses[i] = i == 0 ? throwSite.frames[i] : throwSite.frames[i] - 1;
  }
  resolveAddresses(addresses, static_cast<std::size_t>(throwSite.frameCount), fault);
  throwSite.object = nullptr;
}

}  // namespace platform
