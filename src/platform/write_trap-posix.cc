// Write traps on POSIX systems: page mapping and mprotect. The fault handler that lets a trapped
// write through is the crash guard's (crash_guard-posix.cc).
#include "platform/write_trap.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

#include "platform/page_protection.h"

namespace platform {

namespace {

std::size_t cachedPageSize = 0;

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
  void* memory = mmap(nullptr, size + 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return nullptr;
  auto* bytes = static_cast<unsigned char*>(memory);
  if (mprotect(bytes, page, PROT_NONE) != 0 || mprotect(bytes + page + size, page, PROT_NONE) != 0) {
    munmap(memory, size + 2 * page);
    return nullptr;
  }
  return bytes + page;
}

void unmapPagesWithBarrier(unsigned char* pages, std::size_t size) {
  std::size_t page = memoryPageSize();
  munmap(pages - page, size + 2 * page);
}

bool protectPages(std::uintptr_t begin, std::size_t size, bool writable) {
  return mprotect(reinterpret_cast<void*>(begin), size, writable ? PROT_READ | PROT_WRITE : PROT_READ) == 0;
}

}  // namespace platform
