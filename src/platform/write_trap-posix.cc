// Write traps on POSIX systems: mprotect plus a SIGSEGV/SIGBUS handler that lets the write through.
#include "platform/write_trap.h"

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>

namespace platform {

namespace {

struct TrapSlot {
  std::uintptr_t begin = 0;
  std::uintptr_t end = 0;
  std::atomic<bool> active{false};  // set after begin/end are written, cleared before reuse
  std::atomic<bool> fired{false};
};

// A slot is filled on the main thread before its range is handed out; the handler only reads.
TrapSlot trapSlots[kMaxWriteTraps];
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
  auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
  for (TrapSlot& slot : trapSlots) {
    if (!slot.active.load(std::memory_order_acquire)) continue;
    if (address < slot.begin || address >= slot.end) continue;
    std::uintptr_t page = address & ~(static_cast<std::uintptr_t>(cachedPageSize) - 1);
    if (mprotect(reinterpret_cast<void*>(page), cachedPageSize, PROT_READ | PROT_WRITE) == 0) {
      slot.fired.store(true, std::memory_order_release);
      return;  // the write is repeated and now succeeds
    }
  }
  forwardFault(signal, info, context);
}

bool installHandler() {
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

int installWriteTrap(void* begin, std::size_t size) {
  memoryPageSize();
  if (!installHandler()) return -1;
  for (int index = 0; index < kMaxWriteTraps; ++index) {
    TrapSlot& slot = trapSlots[index];
    if (slot.active.load(std::memory_order_relaxed)) continue;
    slot.begin = reinterpret_cast<std::uintptr_t>(begin);
    slot.end = slot.begin + size;
    slot.fired.store(false, std::memory_order_relaxed);
    slot.active.store(true, std::memory_order_release);
    armWriteTrap(index);
    return index;
  }
  return -1;
}

bool writeTrapFired(int trap) { return trapSlots[trap].fired.load(std::memory_order_acquire); }

void disarmWriteTrap(int trap) {
  TrapSlot& slot = trapSlots[trap];
  mprotect(reinterpret_cast<void*>(slot.begin), slot.end - slot.begin, PROT_READ | PROT_WRITE);
}

void armWriteTrap(int trap) {
  TrapSlot& slot = trapSlots[trap];
  mprotect(reinterpret_cast<void*>(slot.begin), slot.end - slot.begin, PROT_READ);
  slot.fired.store(false, std::memory_order_release);
}

void removeWriteTrap(int trap) {
  disarmWriteTrap(trap);
  trapSlots[trap].active.store(false, std::memory_order_release);
}

}  // namespace platform
