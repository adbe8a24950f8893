// The crash guard: runs a call into an extension so that a fault in it, or a C++ exception
// escaping it, comes back to the host as a raw fault instead of ending the process.
//
// Implementations live in crash_guard-posix.cc and crash_guard-win32.cc, the libraries' own
// fault handlers in fault_handler_interception-*.cc, the part both share in crash_guard.cc.
// Guarded calls are made on the main thread only; faults on other threads are reported through
// the handler set with setThreadFaultReporter. The words for a fault and the frames a report
// shows are chosen above this layer, in extensions/fault_description.h.
#ifndef INVOKEMODULE_PLATFORM_CRASH_GUARD_H_
#define INVOKEMODULE_PLATFORM_CRASH_GUARD_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// What kind of fault ended a guarded call, whatever the system calls it.
enum class FaultKind {
  InvalidAccess,  // a read, write or jump to memory the process may not touch
  BusError,       // an access the memory cannot serve (a mapped file cut short, ...)
  IllegalInstruction,
  DivisionByZero,
  Arithmetic,  // another arithmetic fault
  Abort,       // abort()
  Breakpoint,
  ForeignException,  // a C++ exception of another C++ runtime that nothing caught
  CppException,      // a C++ exception of the host's runtime escaping the call
  Abandoned,         // the user abandoned a hung call (no fault)
  UnloadedLibrary,   // a thread ran on in, or read from, a library after it was unloaded
  Other,
};

enum class FaultAccess { Unknown, Read, Write, Execute };

// One frame of the faulting thread's stack, with the module that holds it.
struct RawFrame {
  std::uintptr_t address = 0;     // the faulting instruction (innermost) or a call instruction
  std::uintptr_t moduleBase = 0;  // 0: in no module the system can name
  std::string moduleFile;         // the module's file name, without its directory
  bool hostOrRuntime = false;     // the host's executable, or a runtime every program shares
  std::string symbol;             // the nearest symbol the module makes visible; may be empty
  std::uintptr_t symbolAddress = 0;
  std::string modulePath;  // the file the module was loaded from, as the system has it
};

// A fault as the platform captured it: facts only, no words. Filled after the fault handler
// has been left, so it may own memory.
struct RawFault {
  FaultKind kind = FaultKind::Other;
  FaultAccess access = FaultAccess::Unknown;
  bool hasAddress = false;          // `address` is known
  std::uintptr_t address = 0;       // the memory accessed
  std::uintptr_t instruction = 0;   // the faulting instruction; 0 when unknown
  int signal = 0;                   // POSIX: the signal; 0 where faults are exceptions
  std::uint32_t exceptionCode = 0;  // Windows: the exception's code; 0 on POSIX
  bool sent = false;                // a signal a process sent; no instruction caused it
  std::int64_t senderPid = 0;
  bool sentByThisProcess = false;
  bool stackOverflow = false;      // the stack ran into its guard page (POSIX: an access
                                   // within 64 KiB of the stack pointer)
  std::uint64_t threadId = 0;      // the system's id of the faulting thread; 0 when unknown
  std::uintptr_t scopeModule = 0;  // the module of CrashScope; 0: none given
  std::vector<RawFrame> frames;    // innermost first; callers' frames at their call instruction
  // A stack deeper than the frames kept (a runaway recursion): `framesOmitted` frames between
  // frames[framesOmittedAt - 1] and frames[framesOmittedAt] were counted but not kept.
  std::size_t framesOmittedAt = 0;
  std::size_t framesOmitted = 0;
  std::string exceptionType;     // CppException: the type's mangled name; may be empty
  std::string exceptionMessage;  // CppException: what() of a std::exception
  bool hasExceptionMessage = false;
  std::string libraryName;  // UnloadedLibrary: the extension's name
};

// What went wrong in a guarded call; a report names it (see extensions/fault_description.h).
struct CrashRecord {
  RawFault fault;
  int exitStatus = 1;      // the status to end with where the process cannot go on
  bool abandoned = false;  // the user abandoned a hung call (no fault)
  bool exited = false;     // search mode: the extension called exit() (no fault)
  int exitCallStatus = 0;  // the status it gave exit()
};

// Which library's frames a report shows: the one containing `address`; when null, every
// library other than the host and the system's runtime libraries (the guarded code is then a
// library's start-up or clean-up code).
struct CrashScope {
  const void* address = nullptr;
};

using GuardedBody = void (*)(void* context);

// Runs `body(context)` on the main thread. Answers true when it returned normally; false when
// it faulted, threw, or was abandoned, with `crash` filled in. Installs the fault handlers on
// first use.
bool runGuarded(GuardedBody body, void* context, CrashScope scope, CrashRecord* crash);

// Lambda form of runGuarded.
template <class Body>
bool runGuarded(Body& body, CrashScope scope, CrashRecord* crash) {
  return runGuarded([](void* context) { (*static_cast<Body*>(context))(); }, &body, scope, crash);
}

// Called when a process-ending exit() is made while a guarded call runs, with its status,
// before anything of the host is torn down. The reporter may end the process itself (an
// exit() of its own goes on with the exit handlers not run yet).
void setExitDuringCallReporter(void (*reporter)(int status));

// Called on a host thread of its own with a fault on a thread that is not the main thread (on
// the faulting thread itself where no such thread could be started). The faulting thread never
// runs again. `threadId` is the system's id.
void setThreadFaultReporter(void (*reporter)(const CrashRecord& crash, std::uint64_t threadId));

// Whether that reporter runs on a thread of the host's own, where reading debug information is
// safe; false where no such thread could be started and it runs inside the fault filter.
bool threadFaultsReportedOnHostThread();

// Waits until every fault of another thread taken so far has been reported, at most
// `milliseconds`: naming its frames takes a moment, and the session must not end before it.
void waitForThreadFaultReports(int milliseconds);

// Whether a thread running code of the library containing `address` faulted (and was parked).
bool threadFaultedInLibrary(const void* address);

// How many threads the library containing `address` started are running now (POSIX: those
// started through pthread_create; Windows: those started through its CreateThread and
// _beginthreadex imports, or starting in its code).
int threadsRunningIn(const void* address);

// Forgets the thread faults in the library containing `address` (its parked threads stay
// parked), once the library is no longer in use.
void forgetThreadFaults(const void* address);

// Whether a library installed fault handlers of its own since the last question (they run
// behind the host's, which stay in front for the host's guard zones and pass other faults on).
// Costs a flag test; with `askSystem`, also asks the system for the handlers in place (a
// system call per fault signal), to see a library that went around the host, and puts the
// host's back in front.
bool libraryFaultHandlersInstalled(bool askSystem);

// Drops the fault handlers of the library containing `address` from behind the host's, before
// the library is unloaded.
void forgetLibraryFaultHandlers(const void* address);

// Keeps the address range of the library containing `address`, about to be unloaded, with the
// extension's `name`: a thread of it that faults there afterwards is reported as one that was
// still running after the library was freed.
void rememberUnloadedLibrary(const void* address, const std::string& name);

// For the platform's interrupt handler, with the handler's arguments (signal number, signal
// information and context on POSIX): when input is a terminal and the main thread is inside a
// guarded call, abandons that call (it returns false with `abandoned` set and the frames where
// it was) and answers true. While the main thread runs host code the extension called (see
// enterHostCode), the abandon waits until that code returns.
bool abandonGuardedCall(int signal, void* signalInfo, void* context);

// Whether Ctrl-C can abandon a library's start-up or clean-up code: not on Windows, which runs
// the console's Ctrl-C on a new thread, and a thread cannot start while the loader's lock is
// held, as it is all through that code.
bool interruptReachesLoaderCode();

// Whether an abandon asked for has not taken effect yet: the main thread waits in the system
// (Windows runs a redirected thread on only when its wait ends), or runs host code the
// extension called. A second interrupt then ends the host.
bool abandonPending();

// Makes exit() and its kin, called by the library containing `address` while a guarded call
// runs, reported (see setExitDuringCallReporter) where the platform needs more than its C
// runtime's exit handlers for that: Windows, through the library's import table.
void watchExitCalls(const void* address);

// Brackets host code that an extension calls (the callback), on whatever thread it runs.
void enterHostCode();
void leaveHostCode();

// For the platform halves: raises `*active` (which the fault handlers test), calls the body,
// lowers it, and turns a C++ exception escaping the body into `crash`.
template <class Flag>
bool callWhileActive(GuardedBody body, void* context, volatile Flag* active, CrashRecord* crash);

// Inside a catch block: fills `crash` with the exception's type and what() text, and the frames
// where it was thrown when they were recorded.
void captureCurrentException(CrashRecord* crash);

// POSIX, for the C++ runtime's throw function the executable interposes: while a guarded call
// runs on the main thread, records the stack where `object` is being thrown. Windows: unused.
void recordThrowSite(const void* object);

// Fills `fault`'s frames from the recorded throw of `object`, when it was the latest recorded
// in this guarded call (each platform half).
void addThrowSite(const void* object, RawFault* fault);

// The search mode of --fuzz. While it is on, exit() called by an extension on the main thread
// inside a guarded call comes back to the guard as a failed call with `exited` set, instead of
// ending the process.
void setSearchMode(bool on);

// From a thread other than the main thread: abandons the guarded call the main thread runs, as
// an interrupt at a terminal does, whatever the input is, if `*call` (a number the main thread
// changes at the start and the end of each call) still holds `expected` when the main thread is
// stopped in it: a call that ended meanwhile, and the next one, are left alone. Answers whether
// it asked for it (a call running host code the extension called is left until that returns;
// ask again).
bool abandonGuardedCallNow(const std::atomic<std::uint64_t>* call, std::uint64_t expected);

// For the exit functions the executable interposes (POSIX) or hooks (Windows): in search mode,
// inside a guarded call on the main thread, does not return but lands in the guard. `caller`:
// the return address into the code that called exit, when the platform walks no stack for it.
void landExitInGuardedCall(int status, const void* caller = nullptr);

// Where callBelowGap lands when the call returns, and what it returned (main thread only).
extern void* gapReturnJump[5];
extern std::int32_t gapReturnCode;

// Calls `call()` (an extension's entry point, answering its int32 result) below `gapBytes` of
// stack left unused, and comes back with the caller's registers as they were, whatever the
// callee did to the stack it saved them on: an argument copied far past a buffer on the stack
// lands in the gap instead of the host's frames. Right after the call only globals are
// touched, and the jump back reloads every register the caller relies on from its frame.
template <class Call>
__attribute__((noinline)) std::int32_t callBelowGap(std::size_t gapBytes, Call& call) {
  if (__builtin_setjmp(gapReturnJump) == 0) {
    void* gap = __builtin_alloca(gapBytes);
    asm volatile("" : : "r"(gap) : "memory");  // kept: the gap is the point
    gapReturnCode = call();
    __builtin_longjmp(gapReturnJump, 1);
  }
  return gapReturnCode;
}

// Flushes nothing and ends the process at once with `status`.
[[noreturn]] void endProcessNow(int status);

}  // namespace platform

#endif  // INVOKEMODULE_PLATFORM_CRASH_GUARD_H_
