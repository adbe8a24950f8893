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
#else
#define INVOKEMODULE_STDCALL
#define INVOKEMODULE_CDECL
#endif

#endif  // INVOKEMODULE_PLATFORM_CALLING_CONVENTION_H_
