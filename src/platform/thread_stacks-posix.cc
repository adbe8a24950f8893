// Every thread started through pthread_create gets an alternate signal stack of its own, so
// that a stack overflow on a thread of an extension is reported and the thread parked like
// any other fault, instead of ending the process (the fault handler cannot run on a stack that
// is full); and the library that started it is noted, so that freeing an extension can tell
// how many of its threads still run.
//
// The executable exports pthread_create, as it exports sigaction: an extension's calls (and
// those of the C++ runtime's std::thread) reach this one, which starts the thread through a
// trampoline that sets the stack up and takes it down when the thread ends.
#include <dlfcn.h>
#include <pthread.h>
#include <unwind.h>
#include <signal.h>
#include <sys/mman.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <new>

#include "platform/crash_guard.h"
#include "platform/fault_handler_interception.h"

// A sanitizer intercepts pthread_create itself, to know every thread's stack; with its runtime
// linked in statically (clang), a definition here would take the interceptor's place.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define INVOKEMODULE_SANITIZER_THREADS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define INVOKEMODULE_SANITIZER_THREADS 1
#endif
#endif

namespace {

constexpr std::size_t kThreadAlternateStackSize = 128 * 1024;

using CreateFunction = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

[[maybe_unused]] CreateFunction realPthreadCreate() {
  static const auto function = reinterpret_cast<CreateFunction>(dlsym(RTLD_NEXT, "pthread_create"));
  return function;
}

// The live threads each library started, by the library's base address (0: a free entry).
// A library past the last entry goes uncounted.
constexpr int kCountedLibraries = 64;
struct LibraryThreads {
  std::atomic<std::uintptr_t> base{0};
  std::atomic<int> running{0};
};
LibraryThreads libraryThreads[kCountedLibraries];

[[maybe_unused]] LibraryThreads* countFor(std::uintptr_t base) {
  for (LibraryThreads& entry : libraryThreads) {
    if (entry.base.load() == base) return &entry;
  }
  for (LibraryThreads& entry : libraryThreads) {
    std::uintptr_t expected = 0;
    if (entry.base.compare_exchange_strong(expected, base) || expected == base) return &entry;
  }
  return nullptr;
}

// The innermost caller outside the host and the runtimes: the library that started a thread.
[[maybe_unused]] _Unwind_Reason_Code findStarter(_Unwind_Context* context, void* found) {
  Dl_info info;
  if (dladdr(reinterpret_cast<const void*>(_Unwind_GetIP(context)), &info) == 0) return _URC_NO_REASON;
  auto base = reinterpret_cast<std::uintptr_t>(info.dli_fbase);
  if (platform::isHostOrRuntimeModule(base, info.dli_fname)) return _URC_NO_REASON;
  *static_cast<std::uintptr_t*>(found) = base;
  return _URC_END_OF_STACK;
}

struct Launch {
  void* (*start)(void*);
  void* argument;
  LibraryThreads* starter;  // null: started by the host or a runtime
};

// The count the calling thread is in, for as long as it runs.
thread_local LibraryThreads* threadCount = nullptr;

// Ends the count of the thread as its library's (which began when it was created) when the
// thread ends, however it ends.
class RunningThread {
 public:
  explicit RunningThread(LibraryThreads* starter) { threadCount = starter; }
  ~RunningThread() {
    if (threadCount != nullptr) threadCount->running.fetch_sub(1);
    threadCount = nullptr;
  }
  RunningThread(const RunningThread&) = delete;
  RunningThread& operator=(const RunningThread&) = delete;
};

// The thread's alternate signal stack, for as long as the thread runs (a thread that ends by
// pthread_exit or cancellation unwinds through it too). Pages never touched cost no memory.
class AlternateStack {
 public:
  AlternateStack() {
    void* pages = platform::mapGuardedStack(kThreadAlternateStackSize);
    if (pages == nullptr) return;
    stack_t stack = {};
    stack.ss_sp = pages;
    stack.ss_size = kThreadAlternateStackSize;
    if (sigaltstack(&stack, nullptr) == 0) {
      pages_ = pages;
    } else {
      platform::unmapGuardedStack(pages, kThreadAlternateStackSize);
    }
  }
  ~AlternateStack() {
    if (pages_ == nullptr) return;
    stack_t off = {};
    off.ss_flags = SS_DISABLE;
    sigaltstack(&off, nullptr);
    platform::unmapGuardedStack(pages_, kThreadAlternateStackSize);
  }
  AlternateStack(const AlternateStack&) = delete;
  AlternateStack& operator=(const AlternateStack&) = delete;

 private:
  void* pages_ = nullptr;
};

[[maybe_unused]] void* startWithAlternateStack(void* context) {
  const Launch launch = *static_cast<Launch*>(context);
  delete static_cast<Launch*>(context);
  AlternateStack stack;
  RunningThread counted(launch.starter);
  return launch.start(launch.argument);
}

}  // namespace

#ifndef INVOKEMODULE_SANITIZER_THREADS
extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*start)(void*),
                              void* argument) noexcept {
  CreateFunction create = realPthreadCreate();
  std::uintptr_t starter = 0;
  _Unwind_Backtrace(findStarter, &starter);
  auto* launch = new (std::nothrow) Launch{start, argument, starter != 0 ? countFor(starter) : nullptr};
  if (launch == nullptr) return create(thread, attributes, start, argument);
  // Counted from now, so that a library freed right after it started a thread sees it.
  if (launch->starter != nullptr) launch->starter->running.fetch_add(1);
  int result = create(thread, attributes, startWithAlternateStack, launch);
  if (result != 0) {
    if (launch->starter != nullptr) launch->starter->running.fetch_sub(1);
    delete launch;
  }
  return result;
}
#endif  // INVOKEMODULE_SANITIZER_THREADS

namespace platform {

void stopCountingThisThread() {
  if (threadCount != nullptr) threadCount->running.fetch_sub(1);
  threadCount = nullptr;
}

int threadsRunningIn(const void* address) {
  std::uintptr_t base = moduleBaseOf(address);
  if (base == 0) return 0;
  for (LibraryThreads& entry : libraryThreads) {
    if (entry.base.load() == base) return entry.running.load();
  }
  return 0;
}

}  // namespace platform
