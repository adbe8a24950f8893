// Names a fault the crash guard captured and picks the frames its report shows: the one place
// that turns a platform's raw fault into the words of a report.
#ifndef INVOKEMODULE_EXTENSIONS_FAULT_DESCRIPTION_H_
#define INVOKEMODULE_EXTENSIONS_FAULT_DESCRIPTION_H_

#include <cstdint>
#include <string>
#include <vector>

#include "platform/crash_guard.h"

// One frame a report shows, inside the faulting library.
struct CrashFrame {
  std::string file;               // the library's file name, without its directory
  std::uintptr_t fileOffset = 0;  // the address's offset within the library
  std::string symbol;             // the nearest symbol the library makes visible; may be empty
  std::uintptr_t symbolOffset = 0;
};

constexpr int kMaxCrashFrames = 16;

// "segmentation fault (SIGSEGV) reading address 0x0", "access violation (0xc0000005) writing
// address 0x10", "stack overflow", "signal SIGSEGV sent by process 12 (this process)", ...;
// empty for an abandoned call. Faults the system reports as signals are named by the signal,
// those it reports as exceptions by their code.
std::string describeFault(const platform::RawFault& fault);

// The frames of the fault's scope module (of every module but the host's and the runtimes'
// when it has none), innermost first, at most kMaxCrashFrames.
std::vector<CrashFrame> selectCrashFrames(const platform::RawFault& fault);

// Appends "0x" and `value` in lower-case hex digits, without leading zeros.
void appendHex(std::string& text, std::uintptr_t value);

#endif  // INVOKEMODULE_EXTENSIONS_FAULT_DESCRIPTION_H_
