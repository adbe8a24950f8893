// Windows: walking a stack with DbgHelp's unwinder, for the crash guard's platform half.
// Implemented in debug_info-win32.cc, which owns DbgHelp.
#ifndef INVOKEMODULE_PLATFORM_DBGHELP_STACK_WALK_WIN32_H_
#define INVOKEMODULE_PLATFORM_DBGHELP_STACK_WALK_WIN32_H_

#include <cstdint>

namespace platform {

// Walks the current thread's stack from `context` (a CONTEXT, which it changes), innermost
// first, giving each frame's address to `visit` until it answers false. DbgHelp unwinds through
// functions without a frame pointer by what the modules describe (a PDB's frame data, DWARF
// call frame information). Answers false, having visited nothing, when DbgHelp cannot be used.
// The modules it reads stay with DbgHelp for the report's names (ModuleDebugInfo lets them go).
bool walkStackWithDbgHelp(void* context, bool (*visit)(void* data, std::uintptr_t address), void* data);

}  // namespace platform

#endif  // INVOKEMODULE_PLATFORM_DBGHELP_STACK_WALK_WIN32_H_
