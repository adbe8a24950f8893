// Every thread started through pthread_create gets an alternate signal stack of its own, so
// that a stack overflow on a thread of an extension is reported and the thread parked like
// any other fault, instead of ending the process (the fault handler cannot run on a stack that
// is full).
//
// The executable exports pthread_create, as it exports sigaction: an extension's calls (and
// those of the C++ runtime's std::thread) reach this one, which starts the thread through a
// trampoline that sets the stack up and takes it down when the thread ends.
#include <dlfcn.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>

#include <cstddef>
#include <new>

namespace {

constexpr std::size_t kThreadAlternateStackSize = 128 * 1024;

using CreateFunction = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

CreateFunction realPthreadCreate() {
  static const auto function = reinterpret_cast<CreateFunction>(dlsym(RTLD_NEXT, "pthread_create"));
  return function;
}

struct Launch {
  void* (*start)(void*);
  void* argument;
};

// The thread's alternate signal stack, for as long as the thread runs (a thread that ends by
// pthread_exit or cancellation unwinds through it too). Pages never touched cost no memory.
class AlternateStack {
 public:
  AlternateStack() {
    void* pages =
        mmap(nullptr, kThreadAlternateStackSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (pages == MAP_FAILED) return;
    stack_t stack = {};
    stack.ss_sp = pages;
    stack.ss_size = kThreadAlternateStackSize;
    if (sigaltstack(&stack, nullptr) == 0) {
      pages_ = pages;
    } else {
      munmap(pages, kThreadAlternateStackSize);
    }
  }
  ~AlternateStack() {
    if (pages_ == nullptr) return;
    stack_t off = {};
    off.ss_flags = SS_DISABLE;
    sigaltstack(&off, nullptr);
    munmap(pages_, kThreadAlternateStackSize);
  }
  AlternateStack(const AlternateStack&) = delete;
  AlternateStack& operator=(const AlternateStack&) = delete;

 private:
  void* pages_ = nullptr;
};

void* startWithAlternateStack(void* context) {
  const Launch launch = *static_cast<Launch*>(context);
  delete static_cast<Launch*>(context);
  AlternateStack stack;
  return launch.start(launch.argument);
}

}  // namespace

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*start)(void*),
                              void* argument) noexcept {
  CreateFunction create = realPthreadCreate();
  auto* launch = new (std::nothrow) Launch{start, argument};
  if (launch == nullptr) return create(thread, attributes, start, argument);
  int result = create(thread, attributes, startWithAlternateStack, launch);
  if (result != 0) delete launch;
  return result;
}
