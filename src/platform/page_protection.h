// The OS primitives behind the write traps: page protection and the write-fault handler.
// Used only by write_trap.cc and its per-platform halves.
#ifndef INVOKEMODULE_PLATFORM_PAGE_PROTECTION_H_
#define INVOKEMODULE_PLATFORM_PAGE_PROTECTION_H_

#include <cstddef>
#include <cstdint>

namespace platform {

// Makes the whole pages of [begin, begin + size) read-write, or read-only. Safe in a fault
// handler. Returns whether it succeeded.
bool protectPages(std::uintptr_t begin, std::size_t size, bool writable);

// Installs, once per process, the handler that passes each write fault's address to
// admitTrappedWrite and lets the write run again when it answers true. Returns whether the
// handler is in place.
bool installWriteFaultHandler();

// For the fault handler: when `address` lies in an armed trap, makes its page writable, records
// the write and answers true (the faulting write may then be repeated); false otherwise.
bool admitTrappedWrite(std::uintptr_t address);

}  // namespace platform

#endif  // INVOKEMODULE_PLATFORM_PAGE_PROTECTION_H_
