// The crash guard on POSIX systems: fault signal handlers on an alternate stack, a non-local
// jump back to the guarded call, frames from the unwinder and names from dladdr.
//
// The guard's fast path saves three words (__builtin_setjmp) and sets a flag; no signal mask
// is saved, so the landing path unblocks the fault signal itself.
//
// Libraries that install fault handlers of their own are kept behind the host's; see
// fault_handler_interception-posix.cc. What the handler captures is named in words above the
// platform layer (extensions/fault_description.h).
#include "platform/crash_guard.h"

#include <dirent.h>
#include <dlfcn.h>
#include <link.h>
#include <pthread.h>
#include <semaphore.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>
#include <unwind.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <exception>
#include <thread>

#include "platform/fault_handler_interception.h"
#include "platform/page_protection.h"
#include "platform/unloaded_libraries.h"

namespace platform {

namespace {

constexpr int kMaxRawFrames = 64;
// A deeper stack (a runaway recursion) keeps its innermost kMaxRawFrames and its outermost
// kOuterRawFrames, and counts those between, up to kMaxCountedFrames in all.
constexpr int kOuterRawFrames = 48;
constexpr std::size_t kMaxCountedFrames = 4 * 1024 * 1024;
constexpr std::size_t kAlternateStackSize = 256 * 1024;

// A fault as the handler sees it; made a RawFault after the handler is left.
struct CapturedFault {
  int signal = 0;
  int code = 0;
  std::uintptr_t address = 0;
  std::uintptr_t pc = 0;
  std::uintptr_t sp = 0;
  int access = 0;    // 0 unknown, 1 read, 2 write
  pid_t sender = 0;  // for a signal a process sent (kill, raise, pthread_kill): its id
  std::uintptr_t frames[kMaxRawFrames] = {};
  int frameCount = 0;
  std::uintptr_t outerFrames[kOuterRawFrames] = {};  // a ring: the latest past kMaxRawFrames
  std::size_t totalFrames = 0;                       // every frame the unwinder went through
};

struct MainGuard {
  void* jump[5];
  volatile sig_atomic_t active = 0;
  volatile sig_atomic_t abandoned = 0;
  volatile sig_atomic_t abandonPending = 0;  // asked while the main thread ran host code
  volatile sig_atomic_t exited = 0;          // search mode: landed from exit()
  int exitStatus = 0;
  CapturedFault fault;
};

// The search mode (see setSearchMode).
volatile sig_atomic_t searchMode = 0;

// The signal another host thread abandons a call with (abandonGuardedCallNow), and the call it
// means: the number that must still be the main thread's when the signal reaches it.
int threadAbandonSignal() { return SIGRTMIN + 2; }
std::atomic<const std::atomic<std::uint64_t>*> abandonCall{nullptr};
std::atomic<std::uint64_t> abandonExpected{0};

thread_local int hostCodeDepth = 0;

// A fault signal sent (kill, pthread_kill) while this thread ran host code the extension
// called: that code may hold the output lock or the allocator's, which the report needs, so
// the signal takes effect only when the host code returns to the extension (leaveHostCode).
thread_local int deferredSignal = 0;
thread_local siginfo_t deferredInfo;

MainGuard mainGuard;
pthread_t mainThread;
// The main thread's signal mask when the guard was installed, which it gets back whenever the
// guard lands: a handler left without returning (the library's, which may block every signal
// while it runs, or the host's) leaves its mask behind.
sigset_t hostSignalMask;

// Set in a process made by fork() (handlers run in the child). An extension that forks during
// a call makes a child whose main thread returns into the host: it must end there, not go on
// as a second session printing and freeing libraries the parent also prints and frees.
volatile sig_atomic_t forkedChild = 0;

void onForkInChild() { forkedChild = 1; }

void (*exitReporter)(int) = nullptr;
void (*threadFaultReporter)(const CrashRecord&, std::uint64_t) = nullptr;

// Faults of other threads: filled by the faulting thread, reported by the reporter thread,
// which frees the slot as soon as it has read it. A thread that finds every slot taken waits
// for one; every fault is reported, however many come at once.
constexpr int kThreadFaultSlots = 8;
struct ThreadFault {
  std::atomic<int> state{0};  // 0 free, 1 being filled, 2 ready
  CapturedFault fault;
  std::uint64_t threadId = 0;
};
ThreadFault threadFaults[kThreadFaultSlots];
sem_t threadFaultReady;
std::atomic<int> threadFaultsUnreported{0};  // taken and not yet reported

// The libraries a parked thread faulted in (their base addresses; 0: a free entry), which stay
// quarantined until they are freed. A library past the last entry is not quarantined, but
// its threads are reported and parked all the same.
constexpr int kParkedLibraries = 64;
std::atomic<std::uintptr_t> parkedLibraries[kParkedLibraries];
std::atomic<int> parkedLibraryCount{0};

void rememberParkedLibrary(std::uintptr_t base) {
  for (auto& entry : parkedLibraries) {
    if (entry.load() == base) return;
  }
  for (auto& entry : parkedLibraries) {
    std::uintptr_t expected = 0;
    if (entry.compare_exchange_strong(expected, base)) {
      parkedLibraryCount.fetch_add(1);
      return;
    }
  }
}

struct FrameCollector {
  std::uintptr_t* frames;
  std::uintptr_t* outerFrames;
  std::size_t count;
};

_Unwind_Reason_Code collectFrame(struct _Unwind_Context* context, void* data) {
  auto* collector = static_cast<FrameCollector*>(data);
  if (collector->count >= kMaxCountedFrames) return _URC_END_OF_STACK;
  std::uintptr_t address = _Unwind_GetIP(context);
  if (collector->count < kMaxRawFrames) {
    collector->frames[collector->count] = address;
  } else {
    collector->outerFrames[(collector->count - kMaxRawFrames) % kOuterRawFrames] = address;
  }
  ++collector->count;
  return _URC_NO_REASON;
}

// A thread's walk of its own stack in the fault handler, and where a fault during it lands
// (see recordFault). Per thread: several threads may fault and walk their stacks at once.
thread_local void* unwindJump[5];
thread_local volatile sig_atomic_t unwinding = 0;

// `context` is null for a signal that took effect later than it came: the registers it
// interrupted are gone, and the frames are those where it takes effect.

void recordFault(CapturedFault* fault, int signal, siginfo_t* info, void* context) {
  fault->signal = signal;
  fault->code = info->si_code;
  fault->address = reinterpret_cast<std::uintptr_t>(info->si_addr);
  fault->sender = info->si_code <= 0 ? info->si_pid : 0;  // si_addr holds nothing then
  fault->access = 0;
  fault->pc = 0;
  fault->sp = 0;
  auto* ucontext = static_cast<ucontext_t*>(context);
  if (ucontext != nullptr) {
#if defined(__x86_64__)
    fault->pc = static_cast<std::uintptr_t>(ucontext->uc_mcontext.gregs[REG_RIP]);
    fault->sp = static_cast<std::uintptr_t>(ucontext->uc_mcontext.gregs[REG_RSP]);
    if (signal == SIGSEGV) fault->access = (ucontext->uc_mcontext.gregs[REG_ERR] & 2) ? 2 : 1;
#elif defined(__i386__)
    fault->pc = static_cast<std::uintptr_t>(ucontext->uc_mcontext.gregs[REG_EIP]);
    fault->sp = static_cast<std::uintptr_t>(ucontext->uc_mcontext.gregs[REG_ESP]);
    if (signal == SIGSEGV) fault->access = (ucontext->uc_mcontext.gregs[REG_ERR] & 2) ? 2 : 1;
#elif defined(__aarch64__)
    fault->pc = static_cast<std::uintptr_t>(ucontext->uc_mcontext.pc);
    fault->sp = static_cast<std::uintptr_t>(ucontext->uc_mcontext.sp);
#endif
  }
  fault->frameCount = 0;
  // Code that is gone (a library unloaded under a running thread): the unwinder would read the
  // instructions at the PC and fault inside this handler.
  if (signal == SIGSEGV && fault->pc != 0 && fault->address == fault->pc) return;
  FrameCollector collector{fault->frames, fault->outerFrames, 0};
  if (__builtin_setjmp(unwindJump) == 0) {
    // A stack the extension overwrote, or one through a library unloaded since, can send the
    // unwinder to read where nothing is mapped (it reads the code at a return address it finds
    // no unwind data for): that fault comes back here, and the frames found until then are kept.
    sigset_t faults;
    sigemptyset(&faults);
    sigaddset(&faults, SIGSEGV);
    sigaddset(&faults, SIGBUS);
    unwinding = 1;
    pthread_sigmask(SIG_UNBLOCK, &faults, nullptr);
    _Unwind_Backtrace(collectFrame, &collector);
  }
  unwinding = 0;
  fault->frameCount = static_cast<int>(std::min<std::size_t>(collector.count, kMaxRawFrames));
  fault->totalFrames = collector.count;
}

std::uint64_t currentThreadId() { return static_cast<std::uint64_t>(::syscall(SYS_gettid)); }

[[noreturn]] void parkThread() {
  sigset_t all;
  sigfillset(&all);
  for (;;) sigsuspend(&all);
}

// Fills a free slot for the reporter thread and parks the calling thread for good. `pc`
// overrides the recorded instruction where the signal took effect later than it came.
[[noreturn]] void reportAndParkThread(int signal, siginfo_t* info, void* context, std::uintptr_t pc) {
  for (;;) {
    for (ThreadFault& slot : threadFaults) {
      int expected = 0;
      if (!slot.state.compare_exchange_strong(expected, 1)) continue;
      recordFault(&slot.fault, signal, info, context);
      if (pc != 0) slot.fault.pc = pc;
      slot.threadId = currentThreadId();
      threadFaultsUnreported.fetch_add(1);
      slot.state.store(2);
      stopCountingThisThread();
      sem_post(&threadFaultReady);
      parkThread();
    }
    // Every slot holds a fault not read yet: the reporter frees one soon.
    struct timespec pause = {0, 1000000};
    nanosleep(&pause, nullptr);
  }
}

void onFault(int signal, siginfo_t* info, void* context) {
  if (unwinding) __builtin_longjmp(unwindJump, 1);
  int savedErrno = errno;
  if (finishLibraryRetry(signal, info, context) ||
      ((signal == SIGSEGV || signal == SIGBUS) &&
       admitTrappedWrite(reinterpret_cast<std::uintptr_t>(info->si_addr))) ||
      offerFaultToLibrary(signal, info, context)) {
    errno = savedErrno;
    return;  // the write is repeated and now succeeds, or the library's handler dealt with it
  }
  const bool onMainThread = pthread_equal(pthread_self(), mainThread);
  const bool guarded = onMainThread ? mainGuard.active != 0 : threadFaultReporter != nullptr;
  // abort() raises again when its signal returns, so SIGABRT is never put off.
  if (guarded && hostCodeDepth > 0 && info->si_code <= 0 && signal != SIGABRT) {
    if (deferredSignal == 0) {
      deferredSignal = signal;
      deferredInfo = *info;
    }
    errno = savedErrno;
    return;
  }
  if (onMainThread) {
    if (mainGuard.active) {
      recordFault(&mainGuard.fault, signal, info, context);
      mainGuard.active = 0;
      __builtin_longjmp(mainGuard.jump, 1);
    }
  } else if (threadFaultReporter != nullptr) {
    reportAndParkThread(signal, info, context, 0);
  }
  passFaultBehindHost(signal, info, context);
  errno = savedErrno;
}

// --- Turning a captured fault into a raw one -------------------------------------------------

bool looksLikeStackOverflow(const CapturedFault& fault) {
  if (fault.signal != SIGSEGV || fault.sp == 0 || fault.address == fault.pc) return false;
  std::uintptr_t distance = fault.address > fault.sp ? fault.address - fault.sp : fault.sp - fault.address;
  return distance < 64 * 1024;
}

FaultKind kindOf(const CapturedFault& fault) {
  switch (fault.signal) {
    case SIGSEGV:
      return FaultKind::InvalidAccess;
    case SIGBUS:
      return FaultKind::BusError;
    case SIGILL:
      return FaultKind::IllegalInstruction;
    case SIGFPE:
      return fault.code == FPE_INTDIV || fault.code == FPE_FLTDIV ? FaultKind::DivisionByZero
                                                                  : FaultKind::Arithmetic;
    case SIGABRT:
      return FaultKind::Abort;
    case SIGTRAP:
      return FaultKind::Breakpoint;
    case SIGINT:
      return FaultKind::Abandoned;
    default:
      return FaultKind::Other;
  }
}

// The frames of the latest exception thrown while the main thread's guarded call ran, as the
// throw function saw them (its own frame first).
struct ThrowSite {
  const void* object = nullptr;
  std::uintptr_t frames[kMaxRawFrames] = {};
  int frameCount = 0;
};
ThrowSite throwSite;

void resolveAddresses(const std::uintptr_t* addresses, int count, RawFault* fault);

void resolveFrames(const CapturedFault& captured, RawFault* fault) {
  // The unwinder starts inside the handler; the faulting frame is the one at the signal's PC.
  int first = 0;
  for (int i = 0; i < captured.frameCount; ++i) {
    if (captured.frames[i] == captured.pc) {
      first = i;
      break;
    }
  }
  std::uintptr_t addresses[kMaxRawFrames + kOuterRawFrames];
  int count = 0;
  fault->framesOmittedAt = 0;
  fault->framesOmitted = 0;
  if (captured.pc != 0 && (captured.frameCount == 0 || captured.frames[first] != captured.pc)) {
    addresses[count++] = captured.pc;  // the unwinder could not reach it: the PC alone
  } else {
    for (int i = first; i < captured.frameCount; ++i) {
      // Caller frames hold return addresses; the call itself is one byte before.
      addresses[count++] = i == first ? captured.frames[i] : captured.frames[i] - 1;
    }
    if (captured.totalFrames > static_cast<std::size_t>(kMaxRawFrames)) {
      std::size_t past = captured.totalFrames - kMaxRawFrames;
      std::size_t kept = std::min<std::size_t>(past, kOuterRawFrames);
      fault->framesOmittedAt = static_cast<std::size_t>(count);
      fault->framesOmitted = past - kept;
      for (std::size_t i = past - kept; i < past; ++i)
        addresses[count++] = captured.outerFrames[i % kOuterRawFrames] - 1;
    }
  }
  resolveAddresses(addresses, count, fault);
}

void resolveAddresses(const std::uintptr_t* addresses, int count, RawFault* fault) {
  fault->frames.resize(count);
  for (int i = 0; i < count; ++i) {
    RawFrame& frame = fault->frames[i];
    frame = RawFrame();
    frame.address = addresses[i];
    Dl_info info;
    if (dladdr(reinterpret_cast<void*>(addresses[i]), &info) == 0 || info.dli_fname == nullptr) continue;
    frame.moduleBase = reinterpret_cast<std::uintptr_t>(info.dli_fbase);
    const char* slash = std::strrchr(info.dli_fname, '/');
    frame.moduleFile = slash != nullptr ? slash + 1 : info.dli_fname;
    frame.modulePath = info.dli_fname;
    frame.hostOrRuntime = isHostOrRuntimeModule(frame.moduleBase, info.dli_fname);
    if (info.dli_sname != nullptr && info.dli_saddr != nullptr) {
      frame.symbol = info.dli_sname;
      frame.symbolAddress = reinterpret_cast<std::uintptr_t>(info.dli_saddr);
    }
  }
}

void resolveFault(const CapturedFault& captured, std::uintptr_t scopeBase, std::uint64_t threadId,
                  CrashRecord* crash) {
  RawFault& fault = crash->fault;
  fault.kind = kindOf(captured);
  fault.access = captured.access == 2   ? FaultAccess::Write
                 : captured.access == 1 ? FaultAccess::Read
                                        : FaultAccess::Unknown;
  fault.hasAddress = captured.signal == SIGSEGV || captured.signal == SIGBUS;
  fault.address = captured.address;
  fault.instruction = captured.pc;
  fault.signal = captured.signal;
  fault.exceptionCode = 0;
  fault.sent = captured.code <= 0;  // si_addr holds nothing then
  fault.senderPid = captured.sender;
  fault.sentByThisProcess = captured.sender == getpid();
  fault.stackOverflow = !fault.sent && looksLikeStackOverflow(captured);
  fault.threadId = threadId;
  fault.scopeModule = scopeBase;
  fault.exceptionType.clear();
  fault.exceptionMessage.clear();
  fault.hasExceptionMessage = false;
  fault.libraryName.clear();
  resolveFrames(captured, &fault);
  crash->exitStatus = 128 + captured.signal;
  crash->abandoned = false;
}

// A thread fault at an address an unloaded library held: its code (the PC), or its data (the
// address read, such as the thread's start routine's table).
bool blameUnloadedLibraryAt(const CapturedFault& fault, std::uint64_t threadId, RawFault* raw) {
  UnloadedLibrary library;
  auto heldByUnloaded = [&](std::uintptr_t address) {
    Dl_info info;
    return address != 0 && findUnloadedLibrary(address, dladdr(reinterpret_cast<void*>(address), &info) != 0,
                                               threadId, &library);
  };
  bool inCode = heldByUnloaded(fault.pc);
  if (!inCode && !heldByUnloaded(fault.address)) return false;
  blameUnloadedLibrary(library, inCode ? fault.pc : 0, raw);
  return true;
}

// Reports the faults of other threads, one at a time, on a thread of the host's own.
void reportThreadFaults() {
  for (;;) {
    while (sem_wait(&threadFaultReady) != 0) {
    }
    for (ThreadFault& slot : threadFaults) {
      if (slot.state.load() != 2) continue;
      CrashRecord crash;
      const std::uint64_t threadId = slot.threadId;
      resolveFault(slot.fault, 0, threadId, &crash);
      if (blameUnloadedLibraryAt(slot.fault, threadId, &crash.fault)) {
        // Nothing loaded is to blame (the thread stays parked).
        slot.state.store(0);
        if (threadFaultReporter != nullptr) threadFaultReporter(crash, threadId);
        threadFaultsUnreported.fetch_sub(1);
        continue;
      }
      if (std::any_of(crash.fault.frames.begin(), crash.fault.frames.end(),
                      [](const RawFrame& frame) { return frame.moduleBase != 0 && !frame.hostOrRuntime; })) {
        Dl_info info;
        std::uintptr_t libraryBase = 0;
        std::uintptr_t pc = slot.fault.pc;
        if (dladdr(reinterpret_cast<void*>(pc), &info) != 0) {
          libraryBase = reinterpret_cast<std::uintptr_t>(info.dli_fbase);
        }
        // The innermost frame in an extension names the library, wherever the PC is.
        for (int i = 0; i < slot.fault.frameCount && libraryBase != 0; ++i) {
          if (dladdr(reinterpret_cast<void*>(slot.fault.frames[i]), &info) == 0) continue;
          auto base = reinterpret_cast<std::uintptr_t>(info.dli_fbase);
          if (!isHostOrRuntimeModule(base, info.dli_fname)) {
            libraryBase = base;
            break;
          }
        }
        if (libraryBase != 0) rememberParkedLibrary(libraryBase);
      }
      slot.state.store(0);  // read: free for the next fault
      if (threadFaultReporter != nullptr) threadFaultReporter(crash, threadId);
      threadFaultsUnreported.fetch_sub(1);
    }
  }
}

void onExit(int status, void*) {
  if (forkedChild) {  // the extension's child ends: its own output goes, nothing of the host's
    std::fflush(nullptr);
    _exit(status);
  }
  if (mainGuard.active && exitReporter != nullptr) exitReporter(status);
}

bool installFaultHandlers() {
  static const bool installed = [] {
    mainThread = pthread_self();
    pthread_sigmask(SIG_BLOCK, nullptr, &hostSignalMask);
    // The alternate stack lets the handler run after a stack overflow.
    void* stack = mapGuardedStack(kAlternateStackSize);
    if (stack != nullptr) {
      stack_t alternate = {};
      alternate.ss_sp = stack;
      alternate.ss_size = kAlternateStackSize;
      sigaltstack(&alternate, nullptr);
    }
    sem_init(&threadFaultReady, 0, 0);
    std::thread(reportThreadFaults).detach();
    on_exit(onExit, nullptr);
    pthread_atfork(nullptr, nullptr, onForkInChild);
    return putHostFaultHandlerInFront(reinterpret_cast<AnyFunction>(&onFault));
  }();
  return installed;
}

}  // namespace

std::uintptr_t moduleBaseOf(const void* address) {
  Dl_info info;
  if (address == nullptr || dladdr(address, &info) == 0) return 0;
  return reinterpret_cast<std::uintptr_t>(info.dli_fbase);
}

// The load addresses of the host and of the runtime libraries every program shares.
bool isHostOrRuntimeModule(std::uintptr_t base, const char* file) {
  static const std::uintptr_t bases[] = {
      moduleBaseOf(reinterpret_cast<const void*>(&onFault)),
      moduleBaseOf(reinterpret_cast<const void*>(&::abort)),
      moduleBaseOf(reinterpret_cast<const void*>(&_Unwind_Backtrace)),
      moduleBaseOf(reinterpret_cast<const void*>(&std::terminate)),
  };
  for (std::uintptr_t known : bases) {
    if (known != 0 && known == base) return true;
  }
  return file != nullptr && std::strstr(file, "/ld-linux") != nullptr;
}

bool installWriteFaultHandler() { return installFaultHandlers(); }

bool runGuarded(GuardedBody body, void* context, CrashScope scope, CrashRecord* crash) {
  installFaultHandlers();
  if (__builtin_setjmp(mainGuard.jump) != 0) {
    if (forkedChild) _exit(128 + mainGuard.fault.signal);
    // Landed from the handler: the signal is still blocked, since no mask was saved, and so
    // may others be, that a library's handler left without returning had blocked. The host
    // takes control back with its own mask, every fault signal deliverable.
    pthread_sigmask(SIG_SETMASK, &hostSignalMask, nullptr);
    unblockFaultSignals();
    resolveFault(mainGuard.fault, moduleBaseOf(scope.address), currentThreadId(), crash);
    crash->abandoned = mainGuard.abandoned != 0;
    mainGuard.abandoned = 0;
    crash->exited = mainGuard.exited != 0;
    crash->exitCallStatus = mainGuard.exitStatus;
    mainGuard.exited = 0;
    hostCodeDepth = 0;  // host code the extension called (the callback) that faulted never left
    deferredSignal = 0;
    return false;
  }
  mainGuard.abandonPending = 0;
  throwSite.object = nullptr;
  bool returned = callWhileActive(body, context, &mainGuard.active, crash);
  if (forkedChild) _exit(0);  // a child the extension made during the call ends quietly
  if (!returned) crash->fault.scopeModule = moduleBaseOf(scope.address);
  return returned;
}

void recordThrowSite(const void* object) {
  if (!mainGuard.active || !pthread_equal(pthread_self(), mainThread)) return;
  FrameCollector collector{throwSite.frames, nullptr, 0};
  // Only the innermost frames: the collector stops before it needs the ring.
  _Unwind_Backtrace(
      [](struct _Unwind_Context* context, void* data) {
        auto* frames = static_cast<FrameCollector*>(data);
        if (frames->count >= static_cast<std::size_t>(kMaxRawFrames)) return _URC_END_OF_STACK;
        frames->frames[frames->count++] = _Unwind_GetIP(context);
        return _URC_NO_REASON;
      },
      &collector);
  throwSite.frameCount = static_cast<int>(collector.count);
  throwSite.object = object;
}

void addThrowSite(const void* object, RawFault* fault) {
  if (object == nullptr || throwSite.object != object) return;
  std::uintptr_t addresses[kMaxRawFrames];
  // Return addresses: the call that threw is one byte before each.
  for (int i = 0; i < throwSite.frameCount; ++i) addresses[i] = throwSite.frames[i] - 1;
  resolveAddresses(addresses, throwSite.frameCount, fault);
  throwSite.object = nullptr;
}

void setExitDuringCallReporter(void (*reporter)(int status)) { exitReporter = reporter; }

bool threadFaultsReportedOnHostThread() { return true; }

void waitForThreadFaultReports(int milliseconds) {
  for (int waited = 0; threadFaultsUnreported.load() > 0 && waited < milliseconds; waited += 5) {
    struct timespec pause = {0, 5000000};
    nanosleep(&pause, nullptr);
  }
}

void setThreadFaultReporter(void (*reporter)(const CrashRecord&, std::uint64_t)) {
  threadFaultReporter = reporter;
}

bool threadFaultedInLibrary(const void* address) {
  if (parkedLibraryCount.load(std::memory_order_relaxed) == 0) return false;
  std::uintptr_t base = moduleBaseOf(address);
  if (base == 0) return false;
  for (auto& entry : parkedLibraries) {
    if (entry.load() == base) return true;
  }
  return false;
}

void forgetThreadFaults(const void* address) {
  if (parkedLibraryCount.load(std::memory_order_relaxed) == 0) return;
  std::uintptr_t base = moduleBaseOf(address);
  for (auto& entry : parkedLibraries) {
    std::uintptr_t expected = base;
    if (base != 0 && entry.compare_exchange_strong(expected, 0)) parkedLibraryCount.fetch_sub(1);
  }
}

bool abandonGuardedCall(int signal, void* signalInfo, void* context) {
  if (!mainGuard.active || !isatty(STDIN_FILENO)) return false;
  if (!pthread_equal(pthread_self(), mainThread)) {
    pthread_kill(mainThread, signal);  // the main thread leaves the extension's code itself
    return true;
  }
  if (hostCodeDepth > 0) {
    mainGuard.abandonPending = 1;
    return true;
  }
  recordFault(&mainGuard.fault, signal, static_cast<siginfo_t*>(signalInfo), context);
  mainGuard.abandoned = 1;
  mainGuard.active = 0;
  __builtin_longjmp(mainGuard.jump, 1);
}

bool interruptReachesLoaderCode() { return true; }

bool abandonPending() { return mainGuard.abandonPending != 0 && mainGuard.active; }

void watchExitCalls(const void*) {}  // on_exit sees every exit() in the process

void enterHostCode() { ++hostCodeDepth; }

__attribute__((noinline)) void leaveHostCode() {
  if (--hostCodeDepth != 0) return;
  const bool onMainThread = pthread_equal(pthread_self(), mainThread);
  if (deferredSignal != 0) {
    // A fault signal sent while the host code ran takes effect now, back at the extension's
    // call into the host, with no host lock held.
    const int signal = deferredSignal;
    deferredSignal = 0;
    const auto returnAddress = reinterpret_cast<std::uintptr_t>(__builtin_return_address(0));
    if (!onMainThread) reportAndParkThread(signal, &deferredInfo, nullptr, returnAddress);
    if (mainGuard.active) {
      recordFault(&mainGuard.fault, signal, &deferredInfo, nullptr);
      mainGuard.fault.pc = returnAddress;
      mainGuard.active = 0;
      __builtin_longjmp(mainGuard.jump, 1);
    }
  }
  // Only the main thread's guard can be abandoned; other threads never read its state.
  if (onMainThread && mainGuard.abandonPending && mainGuard.active) {
    mainGuard.abandonPending = 0;
    pthread_kill(mainThread, SIGINT);
  }
}

void endProcessNow(int status) { _exit(status); }

namespace {

// The watching thread's signal reaches the main thread inside the call it means.
void onThreadAbandon(int, siginfo_t* info, void* context) {
  if (!mainGuard.active || hostCodeDepth > 0 || !pthread_equal(pthread_self(), mainThread)) return;
  const std::atomic<std::uint64_t>* call = abandonCall.load();
  if (call == nullptr || call->load() != abandonExpected.load()) return;  // that call has ended
  // Recorded as Ctrl-C's abandon is: where the host must end, it ends as after an interrupt.
  recordFault(&mainGuard.fault, SIGINT, info, context);
  mainGuard.abandoned = 1;
  mainGuard.active = 0;
  __builtin_longjmp(mainGuard.jump, 1);
}

}  // namespace

void setSearchMode(bool on) {
  installFaultHandlers();
  searchMode = on ? 1 : 0;
}

bool abandonGuardedCallNow(const std::atomic<std::uint64_t>* call, std::uint64_t expected) {
  if (!mainGuard.active) return false;
  // The handler is put in place on first use only: a session that never abandons a call this
  // way leaves the signal to the extensions.
  static const bool installed = [] {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_sigaction = onThreadAbandon;
    sigemptyset(&action.sa_mask);
    // Not blocked while it runs: the handler leaves by a jump that restores no mask.
    action.sa_flags = SA_SIGINFO | SA_NODEFER | SA_RESTART;
    return sigaction(threadAbandonSignal(), &action, nullptr) == 0;
  }();
  if (!installed) return false;
  abandonExpected.store(expected);
  abandonCall.store(call);
  pthread_kill(mainThread, threadAbandonSignal());
  return true;
}

void landExitInGuardedCall(int status, const void* caller) {
  if (!searchMode || !mainGuard.active || forkedChild || hostCodeDepth > 0 ||
      !pthread_equal(pthread_self(), mainThread)) {
    return;
  }
  mainGuard.active = 0;
  CapturedFault& fault = mainGuard.fault;
  fault = CapturedFault();
  fault.code = 1;  // not sent: no process signalled anything
  // The call into exit, one byte before the return address: where the extension called it.
  fault.pc = reinterpret_cast<std::uintptr_t>(caller) - 1;
  fault.frames[0] = fault.pc;
  fault.frameCount = 1;
  fault.totalFrames = 1;
  mainGuard.exitStatus = status;
  mainGuard.exited = 1;
  __builtin_longjmp(mainGuard.jump, 1);
}

void rememberUnloadedLibrary(const void* address, const std::string& name) {
  struct Search {
    std::uintptr_t base;
    UnloadedLibrary library;
  } search{moduleBaseOf(address), {}};
  if (search.base == 0) return;
  dl_iterate_phdr(
      [](dl_phdr_info* info, std::size_t, void* data) {
        auto* search = static_cast<Search*>(data);
        std::uintptr_t begin = UINTPTR_MAX;
        std::uintptr_t end = 0;
        for (int i = 0; i < info->dlpi_phnum; ++i) {
          const ElfW(Phdr)& header = info->dlpi_phdr[i];
          if (header.p_type != PT_LOAD) continue;
          begin = std::min<std::uintptr_t>(begin, info->dlpi_addr + header.p_vaddr);
          end = std::max<std::uintptr_t>(end, info->dlpi_addr + header.p_vaddr + header.p_memsz);
        }
        if (begin != search->base || info->dlpi_name == nullptr) return 0;
        search->library.begin = begin;
        search->library.end = end;
        const char* slash = std::strrchr(info->dlpi_name, '/');
        search->library.file = slash != nullptr ? slash + 1 : info->dlpi_name;
        return 1;
      },
      &search);
  if (search.library.end == 0) return;
  search.library.name = name;
  if (DIR* tasks = ::opendir("/proc/self/task")) {
    while (dirent* task = ::readdir(tasks)) {
      if (task->d_name[0] != '.') search.library.threads.push_back(std::strtoull(task->d_name, nullptr, 10));
    }
    ::closedir(tasks);
  }
  recordUnloadedLibrary(std::move(search.library));
}

}  // namespace platform
