// Write traps: the table of trapped ranges and what a write fault inside one of them means.
#include "platform/write_trap.h"

#include <atomic>
#include <cstdint>

#include "platform/page_protection.h"

namespace platform {

namespace {

struct TrapSlot {
  std::uintptr_t begin = 0;
  std::uintptr_t end = 0;
  std::atomic<bool> active{false};  // set after begin/end are written, cleared before reuse
  std::atomic<bool> fired{false};
};

// A slot is filled on the main thread before its range is handed out; the fault handler only
// reads it.
TrapSlot trapSlots[kMaxWriteTraps];

}  // namespace

bool admitTrappedWrite(std::uintptr_t address) {
  const std::uintptr_t pageSize = memoryPageSize();
  for (TrapSlot& slot : trapSlots) {
    if (!slot.active.load(std::memory_order_acquire)) continue;
    if (address < slot.begin || address >= slot.end) continue;
    std::uintptr_t page = address & ~(pageSize - 1);
    if (protectPages(page, pageSize, true)) {
      slot.fired.store(true, std::memory_order_release);
      return true;
    }
  }
  return false;
}

int installWriteTrap(void* begin, std::size_t size) {
  memoryPageSize();  // known before any fault handler needs it
  if (!installWriteFaultHandler()) return -1;
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
  protectPages(slot.begin, slot.end - slot.begin, true);
}

void armWriteTrap(int trap) {
  TrapSlot& slot = trapSlots[trap];
  protectPages(slot.begin, slot.end - slot.begin, false);
  slot.fired.store(false, std::memory_order_release);
}

void removeWriteTrap(int trap) {
  disarmWriteTrap(trap);
  trapSlots[trap].active.store(false, std::memory_order_release);
}

}  // namespace platform
