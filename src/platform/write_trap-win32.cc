// Write traps on Windows: VirtualProtect plus a vectored exception handler that lets the write through.
#include "platform/write_trap.h"

#include <windows.h>

#include <cstdint>

#include "platform/page_protection.h"

namespace platform {

namespace {

std::size_t cachedPageSize = 0;

LONG CALLBACK onAccessViolation(EXCEPTION_POINTERS* pointers) {
  const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
  if (record->ExceptionCode != EXCEPTION_ACCESS_VIOLATION || record->NumberParameters < 2 ||
      record->ExceptionInformation[0] != 1) {  // 1: a write
    return EXCEPTION_CONTINUE_SEARCH;
  }
  auto address = static_cast<std::uintptr_t>(record->ExceptionInformation[1]);
  if (admitTrappedWrite(address)) {
    return EXCEPTION_CONTINUE_EXECUTION;  // the write is repeated and now succeeds
  }
  return EXCEPTION_CONTINUE_SEARCH;
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
  void* memory = VirtualAlloc(nullptr, size + 2 * page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
  if (memory == nullptr) return nullptr;
  auto* bytes = static_cast<unsigned char*>(memory);
  DWORD previous = 0;
  if (!VirtualProtect(bytes, page, PAGE_NOACCESS, &previous) ||
      !VirtualProtect(bytes + page + size, page, PAGE_NOACCESS, &previous)) {
    VirtualFree(memory, 0, MEM_RELEASE);
    return nullptr;
  }
  return bytes + page;
}

void unmapPagesWithBarrier(unsigned char* pages, std::size_t /*size*/) {
  VirtualFree(pages - memoryPageSize(), 0, MEM_RELEASE);
}

bool protectPages(std::uintptr_t begin, std::size_t size, bool writable) {
  DWORD previous = 0;
  return VirtualProtect(reinterpret_cast<void*>(begin), size, writable ? PAGE_READWRITE : PAGE_READONLY,
                        &previous) != 0;
}

bool installWriteFaultHandler() {
  static const bool installed = AddVectoredExceptionHandler(1, onAccessViolation) != nullptr;
  return installed;
}

}  // namespace platform
