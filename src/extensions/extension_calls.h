// Calling an extension: the two call forms, each answering a CallOutcome without printing, with
// the buffers and guards, the call context and the feature flags around the call.
#ifndef INVOKEMODULE_EXTENSIONS_EXTENSION_CALLS_H_
#define INVOKEMODULE_EXTENSIONS_EXTENSION_CALLS_H_

#include <cstdint>
#include <string_view>

#include "extensions/call_outcome.h"
#include "extensions/extension_registry.h"

// Checks the buffers for late writes, reads the feature flags and builds the context.
PreCallOutcome prepareCall(ExtensionEntry& entry);

// Calls RVExtension with `function`. `entry` null: nothing by that name is loaded.
const CallOutcome& callFunction(ExtensionEntry& entry, const PreCallOutcome& prepared, const char* function);

// Calls RVExtensionArgs. `argv` need not point anywhere when `argc` is 0.
const CallOutcome& callWithArguments(ExtensionEntry& entry, const PreCallOutcome& prepared,
                                     const char* function, const char** argv, std::int32_t argc,
                                     std::string_view note);

// The outcome for an entry point that cannot be called now (not exported, or quarantined), or
// null when it can.
const CallOutcome* refusedCall(const ExtensionEntry& entry, const char* entryPoint, const char* function,
                               bool exported, std::string_view note);

// After a call into the extension: whether it installed fault handlers of its own, which now
// run behind the host's, not told before (told once per extension). `askSystem` also finds
// handlers installed around the host's `sigaction`, at a cost of system calls: after loading.
bool newlyReplacedFaultHandlers(ExtensionEntry& entry, bool askSystem);

#endif  // INVOKEMODULE_EXTENSIONS_EXTENSION_CALLS_H_
