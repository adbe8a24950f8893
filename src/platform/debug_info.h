// Names the code at an address of a loaded module from the module's debug information or its
// symbol table, through the platform's debug-format library (libdw, DbgHelp).
//
// Opened after a crash, on a host thread, never in a fault handler; one object per module,
// used by one thread at a time.
#ifndef INVOKEMODULE_PLATFORM_DEBUG_INFO_H_
#define INVOKEMODULE_PLATFORM_DEBUG_INFO_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform {

// A function and the source line in it that an address belongs to.
struct SourcePlace {
  std::string function;  // as the debug information names it: a linkage name may be mangled
  std::string file;      // as the debug information holds it; empty when unknown
  int line = 0;          // 0 when unknown
};

// What the module says about an address.
struct CodePlace {
  // From line information: the functions inlined at the address, innermost first, each at its
  // line, then the function that holds them. Empty when there is no line information.
  std::vector<SourcePlace> places;
  // Otherwise, from a symbol table: the function the address lies inside (empty when none is
  // known to contain it) and the address's offset within it.
  std::string symbol;
  std::uintptr_t symbolOffset = 0;
};

class ModuleDebugInfo {
 public:
  // The module loaded at `base` from the file at `path`. Reads nothing yet.
  ModuleDebugInfo(const std::string& path, std::uintptr_t base);
  ~ModuleDebugInfo();
  ModuleDebugInfo(const ModuleDebugInfo&) = delete;
  ModuleDebugInfo& operator=(const ModuleDebugInfo&) = delete;

  // Fills `place` for the code at `address` (an address of the running module); answers false
  // when neither debug information nor a symbol names it.
  bool describe(std::uintptr_t address, CodePlace* place);

 private:
  struct Reader;
  std::unique_ptr<Reader> reader_;
};

}  // namespace platform

#endif  // INVOKEMODULE_PLATFORM_DEBUG_INFO_H_
