// The entry points of an extension library and of the host callback handed to it.
//
// Strings are zero-terminated byte strings passed without conversion; sizes and counts are
// signed 32-bit integers. On 32-bit Windows the four exports are stdcall and the callback is
// cdecl; elsewhere both use the platform's single convention.
#ifndef INVOKEMODULE_EXTENSIONS_EXTENSION_API_H_
#define INVOKEMODULE_EXTENSIONS_EXTENSION_API_H_

#include <cstdint>

#include "platform/calling_convention.h"

// The output buffer sizes the host hands to an extension.
constexpr std::int32_t kExtensionOutputSize = 10240;
constexpr std::int32_t kExtensionVersionSize = 32;

// int ExtensionCallback(name, function, data): how an extension sends a message to the host.
typedef std::int32_t(INVOKEMODULE_CDECL* ExtensionCallbackFunction)(const char* name, const char* function,
                                                                    const char* data);

// Exported as "_RVExtensionVersion@8": writes a version text of at most size - 1 bytes.
typedef void(INVOKEMODULE_STDCALL* RVExtensionVersionFunction)(char* output, std::int32_t outputSize);

// Exported as "_RVExtension@12": writes the result of `function`.
typedef void(INVOKEMODULE_STDCALL* RVExtensionFunction)(char* output, std::int32_t outputSize,
                                                        const char* function);

// Exported as "_RVExtensionArgs@20": writes the result of `function` called with `argc`
// argument texts and returns a code that the host only prints.
typedef std::int32_t(INVOKEMODULE_STDCALL* RVExtensionArgsFunction)(char* output, std::int32_t outputSize,
                                                                    const char* function, const char** argv,
                                                                    std::int32_t argc);

// Exported as "_RVExtensionRegisterCallback@4": receives the host callback, which the
// extension may call from any thread while it stays loaded.
typedef void(INVOKEMODULE_STDCALL* RVExtensionRegisterCallbackFunction)(ExtensionCallbackFunction callback);

// Exported as "_RVExtensionContext@8": receives the context of the call that follows, as texts
// (or, with feature flag 1 << 0, as typed slots: the same pointer-sized slots).
typedef void(INVOKEMODULE_STDCALL* RVExtensionContextFunction)(const char** args, std::uint32_t argsCnt);

#endif  // INVOKEMODULE_EXTENSIONS_EXTENSION_API_H_
