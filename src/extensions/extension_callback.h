// The host callback: prints each message an extension sends back, from any thread.
#ifndef INVOKEMODULE_EXTENSIONS_EXTENSION_CALLBACK_H_
#define INVOKEMODULE_EXTENSIONS_EXTENSION_CALLBACK_H_

#include <cstdint>

#include "platform/calling_convention.h"

// Prints "\n>> ExtensionCallback: [name, function, data]\n" in Cyan with each text quoted; a
// null text is shown as an empty one. The colour and the line are written under the output
// lock, so a line from another thread is never cut into or recoloured by the main thread's
// text. Always returns 99.
std::int32_t INVOKEMODULE_CDECL ExtensionCallback(const char* name, const char* function,
                                                  const char* data);

#endif  // INVOKEMODULE_EXTENSIONS_EXTENSION_CALLBACK_H_
