// Loading an extension: the library search, the entry points and what the export table lacks,
// the feature flags, the callback hand-over and the version, each answering an outcome.
#ifndef INVOKEMODULE_EXTENSIONS_EXTENSION_LOADER_H_
#define INVOKEMODULE_EXTENSIONS_EXTENSION_LOADER_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "extensions/call_outcome.h"
#include "extensions/extension_registry.h"
#include "extensions/library_search.h"

// The search rules of the platform the host runs on.
const SearchPolicy& platformSearchPolicy();

// Loads the library for `typedName` (`key` is it lower-cased), running its start-up code, and
// registers it, or answers why it could not be loaded (nothing is registered then, so the next
// use tries again). The entry's entry points are looked up and its notes said (adoptLibrary).
LoadOutcome loadExtension(std::string_view typedName, const std::string& key);

// Finds the entry points of the entry's library and reads its feature flags: the notes on what
// its export table lacks and on its flags are added to `outcome`.
void adoptLibrary(ExtensionEntry& entry, LoadOutcome* outcome);

// Whether the library exports an entry point that can be called (a library that cannot stays
// loaded; every call reports it), so the callback and version follow its load.
bool canBeCalled(const ExtensionEntry& entry);

// Hands the host's callback to RVExtensionRegisterCallback: Returned with the callback's
// address, Crashed, or NotImplemented when the library does not export it.
const CallOutcome& registerHostCallback(ExtensionEntry& entry);

// Calls RVExtensionVersion: Returned with the version text (empty when the library does not
// export it; `milliseconds` then negative), Crashed or Overrun. `prepared` holds a late write
// into the version buffer found before.
PreCallOutcome prepareVersionCall(ExtensionEntry& entry);
const CallOutcome& queryVersion(ExtensionEntry& entry);

// Whether a file's headers are those of a library this host can load, complete on disk (the
// loader would fault reading past the end of a file still being written).
bool hostCanLoad(const std::string& path, std::uint64_t size);

#endif  // INVOKEMODULE_EXTENSIONS_EXTENSION_LOADER_H_
