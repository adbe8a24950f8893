// The fault handlers libraries install on POSIX systems, kept behind the host's.
//
// The executable exports `sigaction` and `signal`, so a library calling them through its symbol
// table reaches the host's versions, which record the library's action and leave the host's
// handler in place. A fault outside the host's guard zones goes to the library's handler first;
// when that returns and the same instruction faults again, it is a crash. A library that
// installs its handler another way (the system call itself, a C library of its own) is seen
// only where the host asks the system: after loading, the version call and the callback
// registration.
#include "platform/fault_handler_interception.h"

#include <dlfcn.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <ucontext.h>

#include <atomic>
#include <cstdint>
#include <iterator>

#include "platform/crash_guard.h"

namespace platform {

namespace {

constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGTRAP};

using HostHandler = void (*)(int, siginfo_t*, void*);
HostHandler hostHandler = nullptr;
struct sigaction previousActions[NSIG];  // what handled the signals before the host

// The host's handlers are in place; from then on the fault signals' actions that libraries set
// are kept here, behind the host's.
std::atomic<bool> handlersInstalled{false};
struct sigaction libraryActions[NSIG];
volatile sig_atomic_t libraryActionSet[NSIG];
std::atomic<unsigned> changedSignals{0};  // bits: signals whose library action changed

// x86: after a library's handler returned, the faulting instruction is retried one step at a
// time (the trap flag), so that a second fault there is known for one.
// Elsewhere the record stays until the next fault, so the same instruction faulting again
// later, after the library mended it once, is taken for a crash too.
thread_local std::uintptr_t retryingPc = 0;

using SigactionFunction = int (*)(int, const struct sigaction*, struct sigaction*);

// The C library's own versions, behind the ones this file exports.
SigactionFunction realSigaction() {
  static const auto function = reinterpret_cast<SigactionFunction>(dlsym(RTLD_NEXT, "sigaction"));
  return function;
}

int faultSignalIndex(int signal) {
  for (int i = 0; i < static_cast<int>(std::size(kFaultSignals)); ++i) {
    if (kFaultSignals[i] == signal) return i;
  }
  return -1;
}

void* handlerOf(const struct sigaction& action) {
  return (action.sa_flags & SA_SIGINFO) != 0 ? reinterpret_cast<void*>(action.sa_sigaction)
                                             : reinterpret_cast<void*>(action.sa_handler);
}

bool isRealHandler(void* handler) {
  return handler != nullptr && handler != reinterpret_cast<void*>(SIG_DFL) &&
         handler != reinterpret_cast<void*>(SIG_IGN);
}

// The action behind the host's: the library's, or the one there before the host's.
const struct sigaction& actionBehind(int signal) {
  return libraryActionSet[signal] ? libraryActions[signal] : previousActions[signal];
}

// A host fault, or one no guard covers: the handler that was there before ours, or the
// signal's default action.
void forwardFault(int signal, siginfo_t* info, void* context) {
  const struct sigaction& previous = actionBehind(signal);
  if ((previous.sa_flags & SA_SIGINFO) != 0 && previous.sa_sigaction != nullptr) {
    previous.sa_sigaction(signal, info, context);
    return;
  }
  if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN && previous.sa_handler != nullptr) {
    previous.sa_handler(signal);
    return;
  }
  // Default action: put it back; a faulting instruction runs again and the fault takes its
  // ordinary course; a sent signal is sent again.
  struct sigaction fallback = {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  realSigaction()(signal, &fallback, nullptr);
  if (info->si_code <= 0 || signal == SIGTRAP || signal == SIGABRT) raise(signal);
}

std::uintptr_t contextPc(void* context) {
  auto* ucontext = static_cast<ucontext_t*>(context);
#if defined(__x86_64__)
  return static_cast<std::uintptr_t>(ucontext->uc_mcontext.gregs[REG_RIP]);
#elif defined(__i386__)
  return static_cast<std::uintptr_t>(ucontext->uc_mcontext.gregs[REG_EIP]);
#elif defined(__aarch64__)
  return static_cast<std::uintptr_t>(ucontext->uc_mcontext.pc);
#else
  (void)ucontext;
  return 0;
#endif
}

std::uintptr_t contextSp(void* context) {
  auto* ucontext = static_cast<ucontext_t*>(context);
#if defined(__x86_64__)
  return static_cast<std::uintptr_t>(ucontext->uc_mcontext.gregs[REG_RSP]);
#elif defined(__i386__)
  return static_cast<std::uintptr_t>(ucontext->uc_mcontext.gregs[REG_ESP]);
#elif defined(__aarch64__)
  return static_cast<std::uintptr_t>(ucontext->uc_mcontext.sp);
#else
  (void)ucontext;
  return 0;
#endif
}

// The pages below an alternate stack no access may touch (the largest page size in use).
constexpr std::size_t kStackGuardSize = 64 * 1024;

// Whether this thread has an alternate signal stack, where the host's handler and the
// library's it calls run; and whether the code a fault interrupted ran on it or on the guard
// pages below it: a fault inside a signal handler (the library's), not one of the code the
// handler is for.
bool onAlternateStack(void* context, bool* haveStack) {
  stack_t stack = {};
  *haveStack = sigaltstack(nullptr, &stack) == 0 && (stack.ss_flags & SS_DISABLE) == 0 && stack.ss_size != 0;
  if (!*haveStack) return false;
  auto base = reinterpret_cast<std::uintptr_t>(stack.ss_sp) - kStackGuardSize;
  std::uintptr_t sp = contextSp(context);
  return sp >= base && sp - base < kStackGuardSize + stack.ss_size;
}

#if defined(__x86_64__) || defined(__i386__)
constexpr greg_t kTrapFlag = 0x100;
void setTrapFlag(void* context, bool on) {
  greg_t& flags = static_cast<ucontext_t*>(context)->uc_mcontext.gregs[REG_EFL];
  flags = on ? (flags | kTrapFlag) : (flags & ~kTrapFlag);
}
#endif

// The step after a library's handler returned: the retried instruction completed.
bool finishRetry(int signal, siginfo_t* info, void* context) {
#if defined(__x86_64__) || defined(__i386__)
  if (signal != SIGTRAP || retryingPc == 0 || info->si_code != TRAP_TRACE) return false;
  retryingPc = 0;
  setTrapFlag(context, false);
  return true;
#else
  (void)signal, (void)info, (void)context;
  return false;
#endif
}

// Offers a fault to the library's handler behind the host's. Answers true when that handler
// took care of it (returned or jumped away); false when there is none, or when the instruction
// it let run again faulted again, or for a signal that is not a fault of the instruction
// (abort, a sent signal), which ends the process once the handler returns.
bool offerToLibrary(int signal, siginfo_t* info, void* context) {
  std::uintptr_t pc = contextPc(context);
  bool repeated = retryingPc != 0 && retryingPc == pc;
  retryingPc = 0;
  if (repeated || !libraryActionSet[signal]) return false;
  struct sigaction action = libraryActions[signal];
  if (!isRealHandler(handlerOf(action))) return false;
  bool alternateStack = false;
  if (onAlternateStack(context, &alternateStack)) return false;  // the library's handler faulted
  if ((action.sa_flags & SA_RESETHAND) != 0) {
    libraryActions[signal].sa_handler = SIG_DFL;
    libraryActions[signal].sa_flags &= ~SA_SIGINFO;
  }
  // On a thread with an alternate stack, the fault signal itself is unblocked while the
  // library's handler runs: a fault in that handler (seen by where it struck) comes to the
  // host's handler as the extension's crash, instead of ending the process (a blocked fault
  // signal cannot be delivered).
  // The interrupt stays deliverable whatever the library's mask blocks: Ctrl-C abandons a
  // handler that never returns, as it abandons any hung call.
  sigset_t saved;
  sigset_t mask = action.sa_mask;
  sigdelset(&mask, SIGINT);
  if (alternateStack) sigdelset(&mask, signal);
  pthread_sigmask(SIG_BLOCK, &mask, &saved);
  if (alternateStack) {
    sigset_t own;
    sigemptyset(&own);
    sigaddset(&own, signal);
    pthread_sigmask(SIG_UNBLOCK, &own, nullptr);
  }
  if ((action.sa_flags & SA_SIGINFO) != 0) {
    action.sa_sigaction(signal, info, context);
  } else {
    action.sa_handler(signal);
  }
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  if (info->si_code <= 0 || signal == SIGABRT || signal == SIGTRAP) return false;
  if (contextPc(context) == pc && pc != 0) {
    retryingPc = pc;  // the same instruction runs again
#if defined(__x86_64__) || defined(__i386__)
    setTrapFlag(context, true);
#endif
  }
  return true;
}

// What `sigaction` does for a fault signal once the host's handlers are in place: the
// library's action is kept behind the host's, and the library sees its own action as current.
int sigactionBehindHost(int signal, const struct sigaction* action, struct sigaction* old) {
  if (old != nullptr) *old = actionBehind(signal);
  if (action == nullptr) return 0;
  libraryActionSet[signal] = 0;  // the handler does not read a half-written action
  libraryActions[signal] = *action;
  libraryActionSet[signal] = 1;
  changedSignals.fetch_or(1u << faultSignalIndex(signal));
  return 0;
}

bool interceptsFaultSignal(int signal) {
  return handlersInstalled.load(std::memory_order_relaxed) && signal > 0 && signal < NSIG &&
         faultSignalIndex(signal) >= 0;
}

struct sigaction hostAction() {
  struct sigaction own = {};
  own.sa_sigaction = hostHandler;
  own.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&own.sa_mask);
  return own;
}

}  // namespace

bool putHostFaultHandlerInFront(AnyFunction handler) {
  hostHandler = reinterpret_cast<HostHandler>(handler);
  struct sigaction action = hostAction();
  bool ok = true;
  for (int signal : kFaultSignals) {
    ok = realSigaction()(signal, &action, &previousActions[signal]) == 0 && ok;
  }
  handlersInstalled.store(true);
  return ok;
}

bool offerFaultToLibrary(int signal, void* info, void* context) {
  return offerToLibrary(signal, static_cast<siginfo_t*>(info), context);
}

void* mapGuardedStack(std::size_t size) {
  void* pages =
      mmap(nullptr, kStackGuardSize + size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (pages == MAP_FAILED) return nullptr;
  if (mprotect(pages, kStackGuardSize, PROT_NONE) != 0) {
    munmap(pages, kStackGuardSize + size);
    return nullptr;
  }
  return static_cast<char*>(pages) + kStackGuardSize;
}

void unmapGuardedStack(void* stack, std::size_t size) {
  munmap(static_cast<char*>(stack) - kStackGuardSize, kStackGuardSize + size);
}

void unblockFaultSignals() {
  sigset_t faults;
  sigemptyset(&faults);
  for (int signal : kFaultSignals) sigaddset(&faults, signal);
  sigaddset(&faults, SIGINT);
  pthread_sigmask(SIG_UNBLOCK, &faults, nullptr);
}

bool finishLibraryRetry(int signal, void* info, void* context) {
  return finishRetry(signal, static_cast<siginfo_t*>(info), context);
}

void forgetLibraryRetry() {}  // the retry is per thread and outlives a call: see retryingPc

long passFaultBehindHost(int signal, void* info, void* context) {
  forwardFault(signal, static_cast<siginfo_t*>(info), context);
  return 0;
}

bool libraryFaultHandlersInstalled(bool askSystem) {
  if (askSystem && handlersInstalled.load()) {
    // A library that went around `sigaction`: its action goes behind the host's, which is put
    // back in front.
    for (int signal : kFaultSignals) {
      struct sigaction current = {};
      if (realSigaction()(signal, nullptr, &current) != 0) continue;
      if (handlerOf(current) == reinterpret_cast<void*>(hostHandler)) continue;
      struct sigaction own = hostAction();
      realSigaction()(signal, &own, nullptr);
      sigactionBehindHost(signal, &current, nullptr);
    }
  }
  if (changedSignals.load(std::memory_order_relaxed) == 0) return false;
  unsigned changed = changedSignals.exchange(0);
  bool replaced = false;
  for (int i = 0; i < static_cast<int>(std::size(kFaultSignals)); ++i) {
    int signal = kFaultSignals[i];
    if ((changed & (1u << i)) == 0 || !libraryActionSet[signal]) continue;
    // A library that put back what was there before has replaced nothing.
    if (handlerOf(libraryActions[signal]) != handlerOf(previousActions[signal])) replaced = true;
  }
  return replaced;
}

void forgetLibraryFaultHandlers(const void* libraryAddress) {
  std::uintptr_t base = moduleBaseOf(libraryAddress);
  if (base == 0) return;
  for (int signal : kFaultSignals) {
    if (libraryActionSet[signal] && moduleBaseOf(handlerOf(libraryActions[signal])) == base) {
      libraryActionSet[signal] = 0;  // its code is about to go
    }
  }
}

}  // namespace platform

// The host's `sigaction` and `signal`, which libraries reach through their symbol tables.
extern "C" int sigaction(int signal, const struct sigaction* action, struct sigaction* old) noexcept {
  if (!platform::interceptsFaultSignal(signal)) return platform::realSigaction()(signal, action, old);
  return platform::sigactionBehindHost(signal, action, old);
}

extern "C" __sighandler_t signal(int signal, __sighandler_t handler) noexcept {
  if (!platform::interceptsFaultSignal(signal)) {
    static const auto real =
        reinterpret_cast<__sighandler_t (*)(int, __sighandler_t)>(dlsym(RTLD_NEXT, "signal"));
    return real(signal, handler);
  }
  // The C library's `signal` gives BSD semantics: the handler stays, interrupted calls restart.
  struct sigaction action = {};
  struct sigaction old = {};
  action.sa_handler = handler;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  sigaddset(&action.sa_mask, signal);
  platform::sigactionBehindHost(signal, &action, &old);
  return reinterpret_cast<__sighandler_t>(platform::handlerOf(old));
}
