// Write traps on Windows: VirtualProtect plus a vectored exception handler that lets the write through.
#include "platform/write_trap.h"

#include <windows.h>

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

LONG CALLBACK onAccessViolation(EXCEPTION_POINTERS* pointers) {
  const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
  if (record->ExceptionCode != EXCEPTION_ACCESS_VIOLATION || record->NumberParameters < 2 ||
      record->ExceptionInformation[0] != 1) {  // 1: a write
    return EXCEPTION_CONTINUE_SEARCH;
  }
  auto address = static_cast<std::uintptr_t>(record->ExceptionInformation[1]);
  for (TrapSlot& slot : trapSlots) {
    if (!slot.active.load(std::memory_order_acquire)) continue;
    if (address < slot.begin || address >= slot.end) continue;
    std::uintptr_t page = address & ~(static_cast<std::uintptr_t>(cachedPageSize) - 1);
    DWORD previous = 0;
    if (VirtualProtect(reinterpret_cast<void*>(page), cachedPageSize, PAGE_READWRITE,
                       &previous)) {
      slot.fired.store(true, std::memory_order_release);
      return EXCEPTION_CONTINUE_EXECUTION;  // the write is repeated and now succeeds
    }
  }
  return EXCEPTION_CONTINUE_SEARCH;
}

bool installHandler() {
  static const bool installed = AddVectoredExceptionHandler(1, onAccessViolation) != nullptr;
  return installed;
}

}  // namespace

std::size_t memoryPageSize() {
  if (cachedPageSize == 0) {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    cachedPageSize = info.dwPageSize > 0 ? info.dwPageSize : 4096;
  }
  return cachedPageSize;
}

unsigned char* mapPagesWithBarrier(std::size_t size) {
  std::size_t page = memoryPageSize();
  void* memory = VirtualAlloc(nullptr, size + page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
  if (memory == nullptr) return nullptr;
  auto* bytes = static_cast<unsigned char*>(memory);
  DWORD previous = 0;
  if (!VirtualProtect(bytes + size, page, PAGE_NOACCESS, &previous)) {
    VirtualFree(memory, 0, MEM_RELEASE);
    return nullptr;
  }
  return bytes;
}

void unmapPagesWithBarrier(unsigned char* pages, std::size_t /*size*/) {
  VirtualFree(pages, 0, MEM_RELEASE);
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
  DWORD previous = 0;
  VirtualProtect(reinterpret_cast<void*>(slot.begin), slot.end - slot.begin, PAGE_READWRITE,
                 &previous);
}

void armWriteTrap(int trap) {
  TrapSlot& slot = trapSlots[trap];
  DWORD previous = 0;
  VirtualProtect(reinterpret_cast<void*>(slot.begin), slot.end - slot.begin, PAGE_READONLY,
                 &previous);
  slot.fired.store(false, std::memory_order_release);
}

void removeWriteTrap(int trap) {
  disarmWriteTrap(trap);
  trapSlots[trap].active.store(false, std::memory_order_release);
}

}  // namespace platform
