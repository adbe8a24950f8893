// The one reporter of the extension host: turns the outcomes of loading, calling and freeing
// extensions into the transcript, each in its colours and at its place among the lines.
#ifndef INVOKEMODULE_EXTENSIONS_EXTENSION_REPORT_H_
#define INVOKEMODULE_EXTENSIONS_EXTENSION_REPORT_H_

#include <string>

#include "extensions/call_outcome.h"
#include "extensions/extension_registry.h"

// The failure of a load (DarkYellow, the closing empty line after it), then its notes.
void reportLoad(const LoadOutcome& outcome);

// A late write into a buffer (Red) and the notes on feature flags (DarkYellow), before a call.
// Inline: before nearly every call there is nothing to say.
void reportPreCallNotes(const PreCallOutcome& prepared);
inline void reportPreCall(const PreCallOutcome& prepared) {
  if (!prepared.lateWriter.empty() || !prepared.flagNotes.empty()) [[unlikely]]
    reportPreCallNotes(prepared);
}

// The outcome of a call that ran (callFunction, callWithArguments): ends the wait the call
// began, then under one hold of the output lock the result and its time, the game's warnings
// and the note, or the overrun, or the crash report; then a replaced fault handler.
void reportCall(const CallOutcome& outcome);

// A call refused before it ran: the entry point is not exported, or the extension crashed.
void reportRefusedCall(const CallOutcome& outcome);

// "Callback registered: <address>", or the crash of the registration.
void reportRegistration(const CallOutcome& outcome);

// "InvokeModule loaded: ..." and the version call's time, or its overrun or crash.
void reportVersion(const ExtensionEntry& entry, const CallOutcome& outcome);

// That `name` replaced the host's fault handlers (DarkYellow, with the closing empty line).
void reportReplacedFaultHandlers(std::string_view name);

// What freeing came to: a library kept, late writes; then, when `notice`, "Extension unloaded"
// or "Extension is not loaded".
void reportUnload(const UnloadOutcome& outcome, bool notice);

// A crash or abandon report in Red, followed by an empty line.
void printCrashReport(const std::string& text);

#endif  // INVOKEMODULE_EXTENSIONS_EXTENSION_REPORT_H_
