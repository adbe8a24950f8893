// Calling-convention markers for functions that cross the boundary to an extension library.
//
// On 32-bit Windows the extension's exports are stdcall (the callee removes its arguments)
// while the host callback is cdecl; every other platform has one convention, so both
// markers are empty there.
#ifndef INVOKEMODULE_PLATFORM_CALLING_CONVENTION_H_
#define INVOKEMODULE_PLATFORM_CALLING_CONVENTION_H_

#if defined(_WIN32) && !defined(_WIN64)
#define INVOKEMODULE_STDCALL __stdcall
#define INVOKEMODULE_CDECL __cdecl
#define INVOKEMODULE_CALLEE_REMOVES_ARGUMENTS 1
#else
#define INVOKEMODULE_STDCALL
#define INVOKEMODULE_CDECL
#define INVOKEMODULE_CALLEE_REMOVES_ARGUMENTS 0
#endif

namespace platform {
// True where an entry point removes its own arguments from the stack: there a function built
// another way (cdecl, or declared with other parameters) leaves the stack pointer off.
inline constexpr bool kCalleeRemovesArguments = INVOKEMODULE_CALLEE_REMOVES_ARGUMENTS != 0;
}  // namespace platform

#endif  // INVOKEMODULE_PLATFORM_CALLING_CONVENTION_H_
