// Write traps on POSIX systems: mprotect plus a SIGSEGV/SIGBUS handler that lets the write through.
#include "platform/write_trap.h"

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

#include "platform/page_protection.h"

namespace platform {

namespace {

std::size_t cachedPageSize = 0;
struct sigaction previousSegv;
struct sigaction previousBus;

void forwardFault(int signal, siginfo_t* info, void* context) {
  struct sigaction& previous = signal == SIGBUS ? previousBus : previousSegv;
  if ((previous.sa_flags & SA_SIGINFO) != 0 && previous.sa_sigaction != nullptr) {
    previous.sa_sigaction(signal, info, context);
    return;
  }
  if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN &&
      previous.sa_handler != nullptr) {
    previous.sa_handler(signal);
    return;
  }
  // Default action: put it back; the faulting instruction runs again and the fault takes its
  // ordinary course.
  sigaction(signal, &previous, nullptr);
}

void onMemoryFault(int signal, siginfo_t* info, void* context) {
  if (admitTrappedWrite(reinterpret_cast<std::uintptr_t>(info->si_addr))) {
    return;  // the write is repeated and now succeeds
  }
  forwardFault(signal, info, context);
}

}  // namespace

std::size_t memoryPageSize() {
  if (cachedPageSize == 0) {
    long size = sysconf(_SC_PAGESIZE);
    cachedPageSize = size > 0 ? static_cast<std::size_t>(size) : 4096;
  }
  return cachedPageSize;
}

unsigned char* mapPagesWithBarrier(std::size_t size) {
  std::size_t page = memoryPageSize();
  void* memory = mmap(nullptr, size + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                      -1, 0);
  if (memory == MAP_FAILED) return nullptr;
  auto* bytes = static_cast<unsigned char*>(memory);
  if (mprotect(bytes + size, page, PROT_NONE) != 0) {
    munmap(memory, size + page);
    return nullptr;
  }
  return bytes;
}

void unmapPagesWithBarrier(unsigned char* pages, std::size_t size) {
  munmap(pages, size + memoryPageSize());
}

bool protectPages(std::uintptr_t begin, std::size_t size, bool writable) {
  return mprotect(reinterpret_cast<void*>(begin), size,
                  writable ? PROT_READ | PROT_WRITE : PROT_READ) == 0;
}

bool installWriteFaultHandler() {
  static const bool installed = [] {
    struct sigaction action = {};
    action.sa_sigaction = onMemoryFault;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    if (sigaction(SIGSEGV, &action, &previousSegv) != 0) return false;
    if (sigaction(SIGBUS, &action, &previousBus) != 0) {
      sigaction(SIGSEGV, &previousSegv, nullptr);
      return false;
    }
    return true;
  }();
  return installed;
}

}  // namespace platform
