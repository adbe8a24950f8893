// The crash test extension: each function text fails one way, so the host's crash guard can be
// tried on every kind of fault. Anything else is echoed back.
//
// Function texts (both call forms):
//   segv        reads through a null pointer           nullwrite  writes to address 0x10
//   abort       calls abort()                          assert     fails an assertion
//   throw       throws std::runtime_error("boom")      throwint   throws an int
//   throwdeep   throws std::out_of_range("deep") three calls deep
//   catch N     throws and catches an exception N times inside the library: "caught N"
//   divzero     integer division by zero               illegal    executes an illegal instruction
//   recurse     recurses without end                   hidden     faults in a non-exported function
//   inlined     faults in a function inlined into another
//   throwat     three calls deep, std::string::at (in the C++ runtime) throws std::out_of_range
//   throwcaught throws and catches an exception inside the extension: "caught"
//   thread      a thread of its own faults 50 ms later; the call returns "started"
//   threads N   N threads of its own fault at the same moment; "started"
//   threadrecurse  a thread of its own recurses without end; "started"
//   threadsmash a thread of its own overwrites its return address with 0x10, then faults; "started"
//   handlerfaults installs a fault handler that faults itself, then faults (Windows: a vectored
//               exception handler that writes to address 0x90 whenever an exception reaches it)
//   filterfaults (Windows) sets a top-level exception filter that writes to address 0x90 whenever
//               a fault reaches it, then faults
//   handleraborts (POSIX) installs a fault handler that calls abort(), then faults
//   handlerhangs (POSIX) installs a fault handler that never returns, then faults
//   handlerrecurses (POSIX) installs a fault handler that recurses without end, then faults
//               (each of the four handlers runs with every signal blocked)
//   printfault  a thread of its own faults while it holds the C runtime's stdout lock
//   mask        (POSIX) "SIGSEGV blocked" or "SIGSEGV deliverable" for the calling thread
//   blocked     (POSIX) the signals blocked on the calling thread: "blocked: none" or their
//               numbers, "blocked: 1 15"
//   callbackkill (POSIX) a thread of its own calls the host callback over and over and is sent
//               SIGSEGV (pthread_kill) meanwhile; "started"
//   callbackkillcaller (POSIX) the same for the calling thread, which then never returns
//   exit        calls exit(3)                          loop       never returns
//   spin MS     busy-waits MS milliseconds, then returns "spun"
//   callback    calls the host callback, then faults
//   ownhandler  installs its own fault handler, faults on purpose, handles it: "handled"
//   keephandler (POSIX) installs a fault handler that stays and mends the fault (makes a
//               read-only page writable), then writes to that page: "mended"
//   returnhandler (POSIX) installs a handler that just returns, then writes to address 0x70
//   defaultoverrun (POSIX) sets SIGSEGV back to its default, then writes past the buffer
//   mend        (POSIX) writes to a read-only page, relying on a mending handler installed before
//   latethread  a thread of its own runs the library's code 300 ms later; returns "started"
//   raise       (Windows) raises the MSVC C++ exception code 0xE06D7363; (POSIX) raise(SIGSEGV),
//               the signal sent to the calling thread
//   kill        (POSIX) kill(getpid(), SIGSEGV): the signal sent to the process
//   raisesegv, raisefpe (Windows) raise(SIGSEGV), raise(SIGFPE) through the C runtime
//   handledsegv (Windows) raise(SIGSEGV) with a handler of its own set: "handled"
//   badcallback calls the host's callback with a data pointer that points nowhere
//   contextfault   the context function (CRASHY_CONTEXT) faults before the next call
//   requestfault   asks the host for the context (RVExtensionRequestContext), which faults
//   setfilter   (Windows) sets a top-level exception filter of its own, which stays and mends
//               the fault it then causes: "handled"
// Variant switches: CRASHY_IN_VERSION, CRASHY_IN_REGISTER (the entry point faults),
// CRASHY_IN_STARTUP, CRASHY_IN_CLEANUP (the library's start-up or clean-up code faults),
// CRASHY_AROUND_HOST (start-up code installs the mending handler through the C library's own
// sigaction, around the one the host exports), CRASHY_CONTEXT (the "sigext" build: its own
// version text, and it exports RVExtensionContext), CRASHY_STARTUP_HANG, CRASHY_CLEANUP_HANG
// (start-up or clean-up code that never ends).
#undef NDEBUG  // the assertion must stay in every build type
#include <atomic>
#include <cassert>
#include <chrono>
#include <csetjmp>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <sys/mman.h>
#include <unistd.h>
#endif

#ifndef EXTENSION_CALL
#define EXTENSION_CALL
#endif
#ifndef EXTENSION_EXPORT
#define EXTENSION_EXPORT
#endif
#ifndef CRASHY_CONTEXT
#define CRASHY_CONTEXT 0
#endif

typedef std::int32_t (*HostCallback)(const char* name, const char* function, const char* data);
typedef void(EXTENSION_CALL* RequestContextFunction)();

namespace {

HostCallback hostCallback = nullptr;
volatile int zero = 0;
int* volatile nullPointer = nullptr;
volatile bool faultInContext = false;  // the context function faults at its next call
int* volatile contextFaultAddress = reinterpret_cast<int*>(std::uintptr_t{0x28});

#if CRASHY_STARTUP_HANG || CRASHY_CLEANUP_HANG
// Waits for ever in the system (a sleep), as start-up code stuck on a lock or a socket would.
[[noreturn]] void hang() {
  for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
}
#endif
#if CRASHY_STARTUP_HANG
struct HangsAtStartUp {
  HangsAtStartUp() { hang(); }
} hangsAtStartUp;
#endif
#if CRASHY_CLEANUP_HANG
struct HangsAtCleanUp {
  ~HangsAtCleanUp() { hang(); }
} hangsAtCleanUp;
#endif

// The host's RVExtensionRequestContext, looked up in the host program itself.
RequestContextFunction hostRequestContext() {
#ifdef _WIN32
  HMODULE host = GetModuleHandleW(nullptr);
  FARPROC address =
      GetProcAddress(host, sizeof(void*) == 4 ? "_RVExtensionRequestContext@0" : "RVExtensionRequestContext");
  return reinterpret_cast<RequestContextFunction>(reinterpret_cast<void*>(address));
#else
  return reinterpret_cast<RequestContextFunction>(dlsym(RTLD_DEFAULT, "RVExtensionRequestContext"));
#endif
}

__attribute__((noinline)) int readNull() { return *nullPointer; }

__attribute__((noinline)) void writeAt(std::uintptr_t address) {
  volatile std::uintptr_t target = address;  // no compiler may see through it and warn
  *reinterpret_cast<volatile int*>(target) = 1;
}

// Three calls deep, the innermost throws.
__attribute__((noinline)) void throwInnermost() { throw std::out_of_range("deep"); }
__attribute__((noinline)) void throwMiddle() {
  throwInnermost();
  zero = zero + 0;  // no tail call
}
__attribute__((noinline)) void throwOutermost() {
  throwMiddle();
  zero = zero + 0;
}

__attribute__((noinline)) std::string throwAndCatch(int times) {
  int caught = 0;
  for (int i = 0; i < times; ++i) {
    try {
      throwInnermost();
    } catch (const std::out_of_range&) {
      ++caught;
    }
  }
  return "caught " + std::to_string(caught);
}

// Not exported, so no symbol is visible for its frame.
__attribute__((noinline)) void hiddenFault() { writeAt(0x20); }

// Inlined into inlinedFault: a report shows both, at the same offset.
__attribute__((always_inline)) inline void storeThrough(volatile int* target) { *target = 7; }

__attribute__((noinline)) void inlinedFault() { storeThrough(reinterpret_cast<volatile int*>(nullPointer)); }

__attribute__((noinline)) char throwDeep3(const std::string& text) { return text.at(text.size() + 4); }
__attribute__((noinline)) char throwDeep2(const std::string& text) { return throwDeep3(text) + 1; }
__attribute__((noinline)) char throwDeep1(const std::string& text) { return throwDeep2(text) + 1; }

__attribute__((noinline)) std::string throwAndCatch() {
  try {
    throwDeep1("caught");
  } catch (const std::out_of_range&) {
    return "caught";
  }
  return "not thrown";
}

__attribute__((noinline)) int recurse(int depth) {
  volatile char frame[256];
  frame[0] = static_cast<char>(depth);
  if (zero != 0) return depth;  // never true: the recursion runs until the stack is gone
  return recurse(depth + 1) + frame[0];
}

// Overwrites its own return address with one where nothing is mapped, then faults: a walk of
// the stack reads there.
__attribute__((noinline)) void smashReturnAndFault() {
  auto** frame = static_cast<void**>(__builtin_frame_address(0));
  frame[1] = reinterpret_cast<void*>(std::uintptr_t{0x10});
  writeAt(0x68);
}

// A thread that is still running when its library is unloaded.
std::atomic<bool> lateWorkStarted{false};
__attribute__((noinline)) void lateWork() {
  lateWorkStarted.store(true);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  zero = zero + 0;
}

#ifndef _WIN32
alignas(65536) char mendedPage[65536];

void mendingHandler(int, siginfo_t* info, void*) {
  auto page = reinterpret_cast<std::uintptr_t>(info->si_addr) & ~std::uintptr_t{4095};
  mprotect(reinterpret_cast<void*>(page), 4096, PROT_READ | PROT_WRITE);
}

void returningHandler(int) {}

__attribute__((noinline)) std::string writeReadOnlyPage() {
  mprotect(mendedPage, 4096, PROT_READ);
  writeAt(reinterpret_cast<std::uintptr_t>(mendedPage) + 8);
  return "mended";
}

#if CRASHY_AROUND_HOST
__attribute__((constructor)) void installAroundHost() {
  using Sigaction = int (*)(int, const struct sigaction*, struct sigaction*);
  void* libc = dlopen("libc.so.6", RTLD_LAZY | RTLD_NOLOAD);
  auto own = reinterpret_cast<Sigaction>(libc != nullptr ? dlsym(libc, "sigaction") : nullptr);
  struct sigaction action = {};
  sigemptyset(&action.sa_mask);
  action.sa_sigaction = mendingHandler;
  action.sa_flags = SA_SIGINFO;
  if (own != nullptr) own(SIGSEGV, &action, nullptr);
}
#endif

__attribute__((noinline)) std::string installAndFault(bool mend) {
  struct sigaction action = {};
  sigemptyset(&action.sa_mask);
  if (mend) {
    action.sa_sigaction = mendingHandler;
    action.sa_flags = SA_SIGINFO;
  } else {
    action.sa_handler = returningHandler;
  }
  sigaction(SIGSEGV, &action, nullptr);
  if (!mend) writeAt(0x70);
  return writeReadOnlyPage();
}

// A handler that faults itself, one that ends in abort(), and one that never returns.
void faultingHandler(int) { writeAt(0x90); }
void abortingHandler(int) { std::abort(); }
void hangingHandler(int) {
  for (;;) zero = zero;
}
void recursingHandler(int) { recurse(0); }

// Installs `handler` with every signal blocked while it runs, as crash reporters do, and faults.
__attribute__((noinline)) std::string installAndFaultWith(void (*handler)(int)) {
  struct sigaction action = {};
  sigfillset(&action.sa_mask);
  action.sa_handler = handler;
  sigaction(SIGSEGV, &action, nullptr);
  writeAt(0x80);
  return "survived";
}

// A thread that calls the host callback without end is sent SIGSEGV while it does, most likely
// while the host prints the callback's line: the calling thread or one of the library's own.
std::string sendWhileInCallback(bool ownThread) {
  static std::atomic<bool> calling;
  calling = false;
  auto callForEver = [] {
    for (;;) {
      hostCallback("crashy", "tick", "x");
      calling = true;
    }
  };
  if (ownThread) {
    std::thread caller(callForEver);
    pthread_t target = caller.native_handle();
    caller.detach();
    while (!calling.load()) std::this_thread::yield();
    pthread_kill(target, SIGSEGV);
    return "started";
  }
  pthread_t target = pthread_self();
  std::thread([target] {
    while (!calling.load()) std::this_thread::yield();
    pthread_kill(target, SIGSEGV);
  }).detach();
  callForEver();
  return "never";
}

// Whether SIGSEGV is blocked on the calling thread.
std::string segvMask() {
  sigset_t current;
  pthread_sigmask(SIG_BLOCK, nullptr, &current);
  return sigismember(&current, SIGSEGV) ? "SIGSEGV blocked" : "SIGSEGV deliverable";
}

std::string blockedSignals() {
  sigset_t current;
  pthread_sigmask(SIG_BLOCK, nullptr, &current);
  std::string text = "blocked:";
  for (int signal = 1; signal < NSIG; ++signal) {
    if (sigismember(&current, signal) == 1) {
      text += ' ';
      text += std::to_string(signal);
    }
  }
  return text == "blocked:" ? "blocked: none" : text;
}

sigjmp_buf ownHandlerJump;
void ownHandler(int) { siglongjmp(ownHandlerJump, 1); }

// A language runtime's way: a handler of its own that recovers from a fault it expects.
__attribute__((noinline)) std::string faultAndHandle() {
  struct sigaction action = {};
  struct sigaction previous = {};
  action.sa_handler = ownHandler;
  sigemptyset(&action.sa_mask);
  sigaction(SIGSEGV, &action, &previous);
  std::string result = "unhandled";
  if (sigsetjmp(ownHandlerJump, 1) == 0) {
    readNull();
  } else {
    result = "handled";
  }
  sigaction(SIGSEGV, &previous, nullptr);
  return result;
}
#else
#ifndef _WIN64
// An exception handler that passes every exception on (ExceptionContinueSearch).
extern "C" int __cdecl passExceptionOn(void*, void*, void*, void*) { return 1; }

// Faults with a handler record of its own on the thread's chain, as code built with MSVC's
// exception handling has: the record stays behind in stack the host's landing abandons.
std::string faultUnderHandlerRecord() {
  struct HandlerRecord {
    HandlerRecord* next;
    void* handler;
  };
  HandlerRecord record = {nullptr, reinterpret_cast<void*>(&passExceptionOn)};
  asm volatile("movl %%fs:0, %0" : "=r"(record.next));
  asm volatile("movl %0, %%fs:0" : : "r"(&record) : "memory");
  writeAt(0x60);
  asm volatile("movl %0, %%fs:0" : : "r"(record.next) : "memory");
  return "not reached";
}
#endif

LONG CALLBACK ownFilter(EXCEPTION_POINTERS* pointers) {
  if (pointers->ExceptionRecord->ExceptionCode != EXCEPTION_ACCESS_VIOLATION) {
    return EXCEPTION_CONTINUE_SEARCH;
  }
  // Resume after the faulting load: point the pointer at a real integer and retry.
  static int target = 0;
#ifdef _WIN64
  pointers->ContextRecord->Rax = reinterpret_cast<DWORD64>(&target);
#else
  pointers->ContextRecord->Eax = reinterpret_cast<DWORD>(&target);
#endif
  return EXCEPTION_CONTINUE_EXECUTION;
}

// A crash reporter's handler with a fault of its own: every exception that reaches it, the one
// it raises itself included, makes it write to address 0x90.
LONG CALLBACK faultingHandler(EXCEPTION_POINTERS*) {
  writeAt(0x90);
  return EXCEPTION_CONTINUE_SEARCH;
}

__attribute__((noinline)) std::string installAndFaultWith(bool topLevel) {
  if (topLevel) {
    SetUnhandledExceptionFilter(faultingHandler);
  } else {
    AddVectoredExceptionHandler(1, faultingHandler);
  }
  writeAt(0x80);
  return "survived";
}

__attribute__((noinline)) std::string faultAndHandle(bool topLevel = false) {
  void* handler = nullptr;
  if (topLevel) {
    SetUnhandledExceptionFilter(ownFilter);
  } else {
    handler = AddVectoredExceptionHandler(1, ownFilter);
  }
  int* volatile pointer = nullptr;
  int value = 0;
  asm volatile("mov (%1), %0" : "=r"(value) : "a"(pointer));
  if (handler != nullptr) RemoveVectoredExceptionHandler(handler);
  return value == 0 ? "handled" : "unhandled";
}

volatile int raisedSignal = 0;

// raise(SIGSEGV) with a handler of the extension's own in the C runtime: it runs, and the call
// goes on.
__attribute__((noinline)) std::string raiseHandled() {
  raisedSignal = 0;
  void (*previous)(int) = std::signal(SIGSEGV, [](int sig) { raisedSignal = sig; });
  std::raise(SIGSEGV);
  std::signal(SIGSEGV, previous);
  return raisedSignal == SIGSEGV ? "handled" : "unhandled";
}
#endif

__attribute__((noinline)) std::string run(const char* function) {
  std::string text = function != nullptr ? function : "";
  if (text == "segv") return std::to_string(readNull());
  if (text == "nullwrite") writeAt(0x10);
  if (text == "abort") std::abort();
  if (text == "assert") assert(text == "never");
  if (text == "throw") throw std::runtime_error("boom");
  if (text == "throwint") throw 42;
  if (text == "throwdeep") throwOutermost();
  if (text.rfind("catch ", 0) == 0) return throwAndCatch(std::atoi(text.c_str() + 6));
  if (text == "divzero") return std::to_string(100 / zero);
  if (text == "illegal") __builtin_trap();
  if (text == "recurse") return std::to_string(recurse(0));
  if (text == "hidden") hiddenFault();
  if (text == "inlined") inlinedFault();
  if (text == "throwat") return std::string(1, throwDeep1(text));
  if (text == "throwcaught") return throwAndCatch();
  if (text == "exit") std::exit(3);
  if (text == "loop") {
    for (;;) zero = zero;
  }
  if (text.rfind("spin ", 0) == 0) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::atoi(text.c_str() + 5));
    while (std::chrono::steady_clock::now() < until) {
    }
    return "spun";
  }
  if (text == "thread") {
    std::thread([] {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      writeAt(0x30);
    }).detach();
    return "started";
  }
  if (text.rfind("threads ", 0) == 0) {  // N threads fault at the same moment
    static std::atomic<bool> go{false};
    go.store(false);
    for (int i = std::atoi(text.c_str() + 8); i > 0; --i) {
      std::thread([] {
        while (!go.load()) std::this_thread::yield();
        writeAt(0x40);
      }).detach();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    go.store(true);
    return "started";
  }
  if (text == "threadsmash") {
    std::thread(smashReturnAndFault).detach();
    return "started";
  }
  if (text == "threadrecurse") {
    std::thread([] {
      // Long enough for the main thread to be in its next call, however loaded the machine.
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      recurse(0);
    }).detach();
    return "started";
  }
  if (text == "callback") {
    if (hostCallback != nullptr) hostCallback("crashy", "before", "fault");
    readNull();
  }
  if (text == "ownhandler") return faultAndHandle();
  if (text == "badcallback" && hostCallback != nullptr) {
    hostCallback("crashy", "bad", reinterpret_cast<const char*>(std::uintptr_t{0x18}));
  }
  if (text == "contextfault") faultInContext = true;
  if (text == "requestfault") {
    faultInContext = true;
    if (RequestContextFunction request = hostRequestContext()) request();
    faultInContext = false;
    return "no context";
  }
  if (text == "latethread") {
    std::thread(lateWork).detach();
    while (!lateWorkStarted.load()) std::this_thread::yield();
    return "started";
  }
  if (text == "printfault") {  // a thread faults while it holds the C runtime's stdout
    std::thread([] {
      // Long enough for the main thread to be in its next call, however loaded the machine.
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
#ifdef _WIN32
      _lock_file(stdout);
#else
      flockfile(stdout);
#endif
      std::fputs("half a line", stdout);
      writeAt(0x50);
    }).detach();
    return "started";
  }
#ifndef _WIN32
  if (text == "handlerfaults") return installAndFaultWith(faultingHandler);
  if (text == "handleraborts") return installAndFaultWith(abortingHandler);
  if (text == "handlerhangs") return installAndFaultWith(hangingHandler);
  if (text == "handlerrecurses") return installAndFaultWith(recursingHandler);
  if (text == "mask") return segvMask();
  if (text == "blocked") return blockedSignals();
  if (text == "callbackkill" || text == "callbackkillcaller")
    return sendWhileInCallback(text == "callbackkill");
  if (text == "keephandler") return installAndFault(true);
  if (text == "returnhandler") return installAndFault(false);
  if (text == "mend") return writeReadOnlyPage();
  if (text == "raise") std::raise(SIGSEGV);
  if (text == "kill") ::kill(::getpid(), SIGSEGV);
#endif
#if defined(_WIN32) && !defined(_WIN64)
  if (text == "sehfault") return faultUnderHandlerRecord();
#endif
#ifdef _WIN32
  if (text == "raise") RaiseException(0xE06D7363, EXCEPTION_NONCONTINUABLE, 0, nullptr);
  if (text == "raisesegv") std::raise(SIGSEGV);
  if (text == "raisefpe") std::raise(SIGFPE);
  if (text == "handledsegv") return raiseHandled();
  if (text == "setfilter") return faultAndHandle(true);
  if (text == "handlerfaults") return installAndFaultWith(false);
  if (text == "filterfaults") return installAndFaultWith(true);
#endif
  return text;
}

void writeText(char* output, std::int32_t outputSize, const std::string& text) {
  std::size_t length = text.size() < static_cast<std::size_t>(outputSize - 1) ? text.size() : outputSize - 1;
  std::memcpy(output, text.data(), length);
  output[length] = '\0';
}

#if CRASHY_IN_STARTUP
__attribute__((constructor)) void faultAtStartUp() { writeAt(0x40); }
#endif
#if CRASHY_IN_CLEANUP
__attribute__((destructor)) void faultAtCleanUp() { writeAt(0x50); }
#endif

}  // namespace

extern "C" {

EXTENSION_EXPORT void EXTENSION_CALL RVExtensionVersion(char* output, std::int32_t outputSize) {
#if CRASHY_IN_VERSION
  readNull();
#endif
  writeText(output, outputSize, CRASHY_CONTEXT ? "sigext 1.0" : "crashy 1.0");
}

EXTENSION_EXPORT void EXTENSION_CALL RVExtension(char* output, std::int32_t outputSize,
                                                 const char* function) {
#ifndef _WIN32
  if (function != nullptr && std::strcmp(function, "defaultoverrun") == 0) {
    signal(SIGSEGV, SIG_DFL);
    std::memset(output, 'x', 12000);
    return;
  }
#endif
  writeText(output, outputSize, run(function));
}

EXTENSION_EXPORT std::int32_t EXTENSION_CALL RVExtensionArgs(char* output, std::int32_t outputSize,
                                                             const char* function, const char**,
                                                             std::int32_t) {
  writeText(output, outputSize, run(function));
  return 0;
}

EXTENSION_EXPORT void EXTENSION_CALL RVExtensionRegisterCallback(HostCallback callback) {
#if CRASHY_IN_REGISTER
  writeAt(0x60);
#endif
  hostCallback = callback;
}

#if CRASHY_CONTEXT
EXTENSION_EXPORT void EXTENSION_CALL RVExtensionContext(const char**, std::uint32_t) {
  if (faultInContext) {
    faultInContext = false;
    *contextFaultAddress = 1;
  }
}
#endif

}  // extern "C"
