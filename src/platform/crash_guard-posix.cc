// The crash guard on POSIX systems: fault signal handlers on an alternate stack, a non-local
// jump back to the guarded call, frames from the unwinder and names from dladdr.
//
// The guard's fast path saves three words (__builtin_setjmp) and sets a flag; no signal mask
// is saved, so the landing path unblocks the fault signal itself.
#include "platform/crash_guard.h"

#include <dlfcn.h>
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
#include <cstring>
#include <exception>
#include <thread>

#include "platform/page_protection.h"

namespace platform {

namespace {

constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGTRAP};
constexpr int kMaxRawFrames = 64;
constexpr std::size_t kAlternateStackSize = 256 * 1024;

// A fault as the handler sees it; turned into words after the handler is left.
struct RawFault {
  int signal = 0;
  int code = 0;
  std::uintptr_t address = 0;
  std::uintptr_t pc = 0;
  std::uintptr_t sp = 0;
  int access = 0;  // 0 unknown, 1 read, 2 write
  std::uintptr_t frames[kMaxRawFrames] = {};
  int frameCount = 0;
};

struct MainGuard {
  void* jump[5];
  volatile sig_atomic_t active = 0;
  volatile sig_atomic_t abandoned = 0;
  volatile sig_atomic_t abandonPending = 0;  // asked while the main thread ran host code
  RawFault fault;
};

thread_local int hostCodeDepth = 0;

MainGuard mainGuard;
pthread_t mainThread;
struct sigaction previousActions[NSIG];

// Set in a process made by fork() (handlers run in the child). An extension that forks during
// a call makes a child whose main thread returns into the host: it must end there, not go on
// as a second session printing and freeing libraries the parent also prints and frees.
volatile sig_atomic_t forkedChild = 0;

void onForkInChild() { forkedChild = 1; }

void (*exitReporter)(int) = nullptr;
void (*threadFaultReporter)(const CrashRecord&, std::uint64_t) = nullptr;

// Faults of other threads: filled by the faulting thread, reported by the reporter thread.
constexpr int kThreadFaultSlots = 8;
struct ThreadFault {
  std::atomic<int> state{0};  // 0 free, 1 being filled, 2 ready, 3 reported
  RawFault fault;
  std::uint64_t threadId = 0;
  std::uintptr_t libraryBase = 0;
};
ThreadFault threadFaults[kThreadFaultSlots];
std::atomic<int> threadFaultCount{0};
sem_t threadFaultReady;

struct FrameCollector {
  std::uintptr_t* frames;
  int count;
};

_Unwind_Reason_Code collectFrame(struct _Unwind_Context* context, void* data) {
  auto* collector = static_cast<FrameCollector*>(data);
  if (collector->count >= kMaxRawFrames) return _URC_END_OF_STACK;
  collector->frames[collector->count++] = _Unwind_GetIP(context);
  return _URC_NO_REASON;
}

void recordFault(RawFault* fault, int signal, siginfo_t* info, void* context) {
  fault->signal = signal;
  fault->code = info->si_code;
  fault->address = reinterpret_cast<std::uintptr_t>(info->si_addr);
  fault->access = 0;
  fault->pc = 0;
  fault->sp = 0;
  auto* ucontext = static_cast<ucontext_t*>(context);
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
#else
  (void)ucontext;
#endif
  FrameCollector collector{fault->frames, 0};
  _Unwind_Backtrace(collectFrame, &collector);
  fault->frameCount = collector.count;
}

std::uint64_t currentThreadId() { return static_cast<std::uint64_t>(::syscall(SYS_gettid)); }

// A host fault, or one no guard covers: the handler that was there before ours, or the
// signal's default action.
void forwardFault(int signal, siginfo_t* info, void* context) {
  struct sigaction& previous = previousActions[signal];
  if ((previous.sa_flags & SA_SIGINFO) != 0 && previous.sa_sigaction != nullptr) {
    previous.sa_sigaction(signal, info, context);
    return;
  }
  if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN &&
      previous.sa_handler != nullptr) {
    previous.sa_handler(signal);
    return;
  }
  // Default action: put it back; a faulting instruction runs again and the fault takes its
  // ordinary course; a sent signal is sent again.
  struct sigaction fallback = {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  sigaction(signal, &fallback, nullptr);
  if (info->si_code <= 0 || signal == SIGTRAP || signal == SIGABRT) raise(signal);
}

[[noreturn]] void parkThread() {
  sigset_t all;
  sigfillset(&all);
  for (;;) sigsuspend(&all);
}

void onFault(int signal, siginfo_t* info, void* context) {
  int savedErrno = errno;
  if ((signal == SIGSEGV || signal == SIGBUS) &&
      admitTrappedWrite(reinterpret_cast<std::uintptr_t>(info->si_addr))) {
    errno = savedErrno;
    return;  // the write is repeated and now succeeds
  }
  if (pthread_equal(pthread_self(), mainThread)) {
    if (mainGuard.active) {
      recordFault(&mainGuard.fault, signal, info, context);
      mainGuard.active = 0;
      __builtin_longjmp(mainGuard.jump, 1);
    }
  } else if (threadFaultReporter != nullptr) {
    for (ThreadFault& slot : threadFaults) {
      int expected = 0;
      if (!slot.state.compare_exchange_strong(expected, 1)) continue;
      recordFault(&slot.fault, signal, info, context);
      slot.threadId = currentThreadId();
      slot.libraryBase = 0;
      slot.state.store(2);
      threadFaultCount.fetch_add(1);
      sem_post(&threadFaultReady);
      parkThread();
    }
  }
  forwardFault(signal, info, context);
  errno = savedErrno;
}

// --- Turning a raw fault into words --------------------------------------------------------

void appendHex(std::string& text, std::uintptr_t value) {
  char digits[2 + 2 * sizeof value + 1];
  std::snprintf(digits, sizeof digits, "0x%llx", static_cast<unsigned long long>(value));
  text += digits;
}

bool looksLikeStackOverflow(const RawFault& fault) {
  if (fault.signal != SIGSEGV || fault.sp == 0) return false;
  std::uintptr_t distance =
      fault.address > fault.sp ? fault.address - fault.sp : fault.sp - fault.address;
  return distance < 64 * 1024;
}

std::string describeSignal(const RawFault& fault) {
  std::string what;
  switch (fault.signal) {
    case SIGSEGV:
      if (looksLikeStackOverflow(fault)) return "stack overflow";
      what = "segmentation fault (SIGSEGV)";
      what += fault.access == 2 ? " writing address " : fault.access == 1 ? " reading address "
                                                                          : " at address ";
      appendHex(what, fault.address);
      return what;
    case SIGBUS:
      what = "bus error (SIGBUS) at address ";
      appendHex(what, fault.address);
      return what;
    case SIGILL:
      return "illegal instruction (SIGILL)";
    case SIGFPE:
      return fault.code == FPE_INTDIV || fault.code == FPE_FLTDIV ? "division by zero (SIGFPE)"
                                                                   : "arithmetic error (SIGFPE)";
    case SIGABRT:
      return "abort (SIGABRT)";
    case SIGTRAP:
      return "breakpoint trap (SIGTRAP)";
    default:
      return "signal " + std::to_string(fault.signal);
  }
}

// The load addresses of the host and of the runtime libraries every program shares.
bool isHostOrRuntime(std::uintptr_t base, const char* file) {
  static const std::uintptr_t bases[] = {
      [] {
        Dl_info info;
        return dladdr(reinterpret_cast<void*>(&onFault), &info) != 0
                   ? reinterpret_cast<std::uintptr_t>(info.dli_fbase)
                   : 0;
      }(),
      [] {
        Dl_info info;
        return dladdr(reinterpret_cast<void*>(&::abort), &info) != 0
                   ? reinterpret_cast<std::uintptr_t>(info.dli_fbase)
                   : 0;
      }(),
      [] {
        Dl_info info;
        return dladdr(reinterpret_cast<void*>(&_Unwind_Backtrace), &info) != 0
                   ? reinterpret_cast<std::uintptr_t>(info.dli_fbase)
                   : 0;
      }(),
      [] {
        Dl_info info;
        return dladdr(reinterpret_cast<void*>(&std::terminate), &info) != 0
                   ? reinterpret_cast<std::uintptr_t>(info.dli_fbase)
                   : 0;
      }(),
  };
  for (std::uintptr_t known : bases) {
    if (known != 0 && known == base) return true;
  }
  return file != nullptr && std::strstr(file, "/ld-linux") != nullptr;
}

std::uintptr_t libraryBaseOf(const void* address) {
  Dl_info info;
  if (address == nullptr || dladdr(address, &info) == 0) return 0;
  return reinterpret_cast<std::uintptr_t>(info.dli_fbase);
}

void describeFrames(const RawFault& fault, std::uintptr_t scopeBase, CrashRecord* crash) {
  // The unwinder starts inside the handler; the faulting frame is the one at the signal's PC.
  int first = 0;
  for (int i = 0; i < fault.frameCount; ++i) {
    if (fault.frames[i] == fault.pc) {
      first = i;
      break;
    }
  }
  std::uintptr_t addresses[kMaxRawFrames];
  int count = 0;
  if (fault.pc != 0 && (fault.frameCount == 0 || fault.frames[first] != fault.pc)) {
    addresses[count++] = fault.pc;  // the unwinder could not reach it: the PC alone
  } else {
    for (int i = first; i < fault.frameCount; ++i) {
      // Caller frames hold return addresses; the call itself is one byte before.
      addresses[count++] = i == first ? fault.frames[i] : fault.frames[i] - 1;
    }
  }
  for (int i = 0; i < count && static_cast<int>(crash->frames.size()) < kMaxCrashFrames; ++i) {
    Dl_info info;
    if (dladdr(reinterpret_cast<void*>(addresses[i]), &info) == 0 || info.dli_fname == nullptr) {
      continue;
    }
    auto base = reinterpret_cast<std::uintptr_t>(info.dli_fbase);
    if (scopeBase != 0 ? base != scopeBase : isHostOrRuntime(base, info.dli_fname)) continue;
    CrashFrame frame;
    const char* slash = std::strrchr(info.dli_fname, '/');
    frame.file = slash != nullptr ? slash + 1 : info.dli_fname;
    frame.fileOffset = addresses[i] - base;
    if (info.dli_sname != nullptr && info.dli_saddr != nullptr) {
      frame.symbol = info.dli_sname;
      frame.symbolOffset = addresses[i] - reinterpret_cast<std::uintptr_t>(info.dli_saddr);
    }
    crash->frames.push_back(std::move(frame));
  }
}

void describeFault(const RawFault& fault, std::uintptr_t scopeBase, CrashRecord* crash) {
  crash->what = fault.signal == SIGINT ? "" : describeSignal(fault);
  crash->frames.clear();
  crash->exitStatus = 128 + fault.signal;
  crash->abandoned = false;
  describeFrames(fault, scopeBase, crash);
}

// Reports the faults of other threads, one at a time, on a thread of the host's own.
void reportThreadFaults() {
  for (;;) {
    while (sem_wait(&threadFaultReady) != 0) {
    }
    for (ThreadFault& slot : threadFaults) {
      if (slot.state.load() != 2) continue;
      CrashRecord crash;
      describeFault(slot.fault, 0, &crash);
      if (!crash.frames.empty()) {
        Dl_info info;
        slot.libraryBase = 0;
        std::uintptr_t pc = slot.fault.pc;
        if (dladdr(reinterpret_cast<void*>(pc), &info) != 0) {
          slot.libraryBase = reinterpret_cast<std::uintptr_t>(info.dli_fbase);
        }
        // The innermost frame in an extension names the library, wherever the PC is.
        for (int i = 0; i < slot.fault.frameCount && slot.libraryBase != 0; ++i) {
          if (dladdr(reinterpret_cast<void*>(slot.fault.frames[i]), &info) == 0) continue;
          auto base = reinterpret_cast<std::uintptr_t>(info.dli_fbase);
          if (!isHostOrRuntime(base, info.dli_fname)) {
            slot.libraryBase = base;
            break;
          }
        }
      }
      slot.state.store(3);
      if (threadFaultReporter != nullptr) threadFaultReporter(crash, slot.threadId);
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
    // The alternate stack lets the handler run after a stack overflow.
    void* stack = mmap(nullptr, kAlternateStackSize, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (stack != MAP_FAILED) {
      stack_t alternate = {};
      alternate.ss_sp = stack;
      alternate.ss_size = kAlternateStackSize;
      sigaltstack(&alternate, nullptr);
    }
    sem_init(&threadFaultReady, 0, 0);
    std::thread(reportThreadFaults).detach();
    on_exit(onExit, nullptr);
    pthread_atfork(nullptr, nullptr, onForkInChild);
    struct sigaction action = {};
    action.sa_sigaction = onFault;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    bool ok = true;
    for (int signal : kFaultSignals) {
      ok = sigaction(signal, &action, &previousActions[signal]) == 0 && ok;
    }
    return ok;
  }();
  return installed;
}

}  // namespace

bool installWriteFaultHandler() { return installFaultHandlers(); }

bool runGuarded(GuardedBody body, void* context, CrashScope scope, CrashRecord* crash) {
  installFaultHandlers();
  if (__builtin_setjmp(mainGuard.jump) != 0) {
    if (forkedChild) _exit(128 + mainGuard.fault.signal);
    // Landed from the handler: the signal is still blocked, since no mask was saved.
    sigset_t unblock;
    sigemptyset(&unblock);
    sigaddset(&unblock, mainGuard.fault.signal);
    pthread_sigmask(SIG_UNBLOCK, &unblock, nullptr);
    describeFault(mainGuard.fault, libraryBaseOf(scope.address), crash);
    crash->abandoned = mainGuard.abandoned != 0;
    mainGuard.abandoned = 0;
    return false;
  }
  mainGuard.abandonPending = 0;
  bool returned = callWhileActive(body, context, &mainGuard.active, crash);
  if (forkedChild) _exit(0);  // a child the extension made during the call ends quietly
  return returned;
}

void setExitDuringCallReporter(void (*reporter)(int status)) { exitReporter = reporter; }

void setThreadFaultReporter(void (*reporter)(const CrashRecord&, std::uint64_t)) {
  threadFaultReporter = reporter;
}

bool threadFaultedInLibrary(const void* address) {
  if (threadFaultCount.load(std::memory_order_relaxed) == 0) return false;
  std::uintptr_t base = libraryBaseOf(address);
  for (ThreadFault& slot : threadFaults) {
    if (slot.state.load() == 3 && slot.libraryBase != 0 && slot.libraryBase == base) return true;
  }
  return false;
}

void forgetThreadFaults(const void* address) {
  if (threadFaultCount.load(std::memory_order_relaxed) == 0) return;
  std::uintptr_t base = libraryBaseOf(address);
  for (ThreadFault& slot : threadFaults) {
    if (slot.state.load() != 3 || slot.libraryBase != base) continue;
    slot.state.store(0);
    threadFaultCount.fetch_sub(1);
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

void enterHostCode() { ++hostCodeDepth; }

void leaveHostCode() {
  // Only the main thread's guard can be abandoned; other threads never read its state.
  if (--hostCodeDepth == 0 && pthread_equal(pthread_self(), mainThread) &&
      mainGuard.abandonPending && mainGuard.active) {
    mainGuard.abandonPending = 0;
    pthread_kill(mainThread, SIGINT);
  }
}

void endProcessNow(int status) { _exit(status); }

}  // namespace platform
