// Asking the kernel for large pages under a big block (transparent huge pages on Linux), and
// for its pages at once.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

namespace platform {

namespace {

// Gives `advice` for the whole units of `unit` bytes (a power of two) inside the block.
void adviseWholeUnits(void* block, std::size_t size, std::uintptr_t unit, int advice) {
  const auto start = reinterpret_cast<std::uintptr_t>(block);
  const std::uintptr_t first = (start + unit - 1) & ~(unit - 1);
  const std::uintptr_t end = (start + size) & ~(unit - 1);
  if (end > first) ::madvise(reinterpret_cast<void*>(first), end - first, advice);
}

}  // namespace

void adviseLargePages(void* block, std::size_t size) {
#ifdef MADV_HUGEPAGE
  adviseWholeUnits(block, size, std::uintptr_t{2} << 20, MADV_HUGEPAGE);
#else
  (void)block;
  (void)size;
#endif
}

void prefaultPages(void* block, std::size_t size) {
#ifdef MADV_POPULATE_WRITE
  constexpr std::size_t kWorthIt = 1 << 20;
  if (size < kWorthIt) return;
  adviseWholeUnits(block, size, static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE)), MADV_POPULATE_WRITE);
#else
  (void)block;
  (void)size;
#endif
}

}  // namespace platform
