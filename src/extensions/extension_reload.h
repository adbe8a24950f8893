// --watch: a library whose file changed since it was loaded is replaced by a fresh copy of the
// new file before the next call; each step answers an outcome for the caller to report.
#ifndef INVOKEMODULE_EXTENSIONS_EXTENSION_RELOAD_H_
#define INVOKEMODULE_EXTENSIONS_EXTENSION_RELOAD_H_

#include "extensions/call_outcome.h"
#include "extensions/extension_registry.h"

// The author's file changed since its copy was loaded: once it has settled, a copy of the new
// file replaces the old one (a file that is gone leaves the old one in place). A file that is
// no library of the host's kind is reported and the old copy stays; one that fails to load is
// reported, and then, its old library being freed already, `oldCopyNeeded` is set: the caller
// reports the failure and calls reopenOldCopy. Either way the failure is told once: the stamp
// of the new file is taken as seen. `loadedNow` tells that a library was loaded.
struct ReloadOutcome : LoadOutcome {
  bool oldCopyNeeded = false;
};
ReloadOutcome reloadIfChanged(ExtensionEntry& entry);

// Loads the old copy afresh after a failed reload; `entry` null in the answer: that failed
// too, and the caller frees the entry.
LoadOutcome reopenOldCopy(ExtensionEntry& entry);

#endif  // INVOKEMODULE_EXTENSIONS_EXTENSION_RELOAD_H_
