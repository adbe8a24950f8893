// Page-protection write traps: notice writes into a memory range without scanning it.
//
// A trapped range is kept read-only; the first write into each of its pages is recorded and
// then allowed to complete, so the writer runs on undisturbed. The output buffers handed to an
// extension use this for the guard zones around them: checking for an overrun after a call
// costs one flag test instead of a scan of the whole zone.
//
// Implementations live in write_trap-posix.cc and write_trap-win32.cc.
#ifndef INVOKEMODULE_PLATFORM_WRITE_TRAP_H_
#define INVOKEMODULE_PLATFORM_WRITE_TRAP_H_

#include <cstddef>

namespace platform {

std::size_t memoryPageSize();

// Maps `size` bytes (a multiple of the page size) of zero-filled read-write memory between two
// pages that cannot be touched at all, so a runaway write beyond either end of the mapping stops
// there instead of corrupting other data. Returns null on failure.
unsigned char* mapPagesWithBarrier(std::size_t size);

// Releases memory from mapPagesWithBarrier, given the same size.
void unmapPagesWithBarrier(unsigned char* pages, std::size_t size);

// The most ranges that can be trapped at once in a process.
constexpr int kMaxWriteTraps = 8;

// Starts trapping writes into [begin, begin + size), both page-aligned. Returns the trap's
// number, or -1 when the platform cannot trap (the caller then has to scan the range).
// Must be called from the main thread, before any extension can write into the range.
int installWriteTrap(void* begin, std::size_t size);

// Whether anything wrote into the trap's range since it was last armed.
bool writeTrapFired(int trap);

// Makes the whole range writable again so its contents can be restored.
void disarmWriteTrap(int trap);

// Makes the range read-only again and forgets earlier writes.
void armWriteTrap(int trap);

// Stops trapping: the range becomes writable and the trap's number free for reuse.
void removeWriteTrap(int trap);

}  // namespace platform

#endif  // INVOKEMODULE_PLATFORM_WRITE_TRAP_H_
