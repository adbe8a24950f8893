// Names a fault the crash guard captured and picks the frames its report shows: the one place
// that turns a platform's raw fault into the words of a report.
#ifndef INVOKEMODULE_EXTENSIONS_FAULT_DESCRIPTION_H_
#define INVOKEMODULE_EXTENSIONS_FAULT_DESCRIPTION_H_

#include <cstdint>
#include <string>
#include <vector>

#include "platform/crash_guard.h"
#include "platform/debug_info.h"

// One frame a report shows, inside the faulting library, or a line standing for the frames of
// a recursion that repeat.
struct CrashFrame {
  std::string file;               // the library's file name, without its directory
  std::uintptr_t fileOffset = 0;  // the address's offset within the library
  std::string symbol;             // the symbol the system names at the address; may be empty
  std::uintptr_t symbolOffset = 0;
  std::string modulePath;  // the file the library was loaded from
  std::uintptr_t moduleBase = 0;
  std::uintptr_t address = 0;
  platform::CodePlace code;  // what the library's debug information says, when it was asked
  // A recursion: the `repeatedFrames` frames above repeat `repeats` more times (no address).
  int repeatedFrames = 0;
  std::uint64_t repeats = 0;
};

constexpr int kMaxCrashFrames = 16;

// "segmentation fault (SIGSEGV) reading address 0x0", "access violation (0xc0000005) writing
// address 0x10", "stack overflow", "signal SIGSEGV sent by process 12 (this process)", ...;
// empty for an abandoned call. Faults the system reports as signals are named by the signal,
// those it reports as exceptions by their code.
std::string describeFault(const platform::RawFault& fault);

// The frames of the fault's scope module (of every module but the host's and the runtimes'
// when it has none), innermost first, at most kMaxCrashFrames. A recursion shows down to its
// first round, then one line for the rounds that repeat it, then the frames below it.
std::vector<CrashFrame> selectCrashFrames(const platform::RawFault& fault);

// A C++ name as source code spells it: an Itanium-mangled name demangled; any other as it is.
std::string demangledName(const std::string& name);

// Appends "0x" and `value` in lower-case hex digits, without leading zeros.
void appendHex(std::string& text, std::uintptr_t value);

#endif  // INVOKEMODULE_EXTENSIONS_FAULT_DESCRIPTION_H_
