// Running an extension's code: the guarded call, the output protocol around it, and what the
// host does when the code faults, hangs, calls exit() or faults on a thread of its own.
//
// Everything here runs on the main thread, but for the thread-fault report, which comes on a
// host thread of the crash guard's. The state lives in the registry's CallState.
#ifndef INVOKEMODULE_EXTENSIONS_EXTENSION_CODE_H_
#define INVOKEMODULE_EXTENSIONS_EXTENSION_CODE_H_

#include <cstdint>
#include <string>

#include "extensions/crash_report.h"
#include "platform/platform.h"
#include "platform/crash_guard.h"

// Just before control passes into an extension (its start-up and clean-up code included): the
// extension's own output appears in White and after everything the host has printed so far,
// from the host's buffer and from the C runtime's. The output lock is not held meanwhile, so
// the extension's threads can print callback lines while it runs.
void enterExtensionCode();

// Before loading or unloading a library, which runs its start-up or clean-up code: everything
// the host has printed goes out first. The colour is White between messages already.
void flushBeforeLibraryCode();

// Just after: whatever the extension wrote through the C runtime goes out before the host's
// next text. The unlocked form leaves the end of the wait to the caller, who takes the output
// lock for it: an extension thread holding the runtime's stream while it waits for the output
// lock (to print a callback line) cannot deadlock with the host.
void leaveExtensionCodeUnlocked();
void leaveExtensionCode();

// Runs `body(context)`, a call into the extension whose code holds `libraryAddress`, under the
// crash guard; `start` is the counter read just before. Answers whether it returned; when it
// did not, the crash is in the registry's CallState.
bool runExtensionCode(const CallSite& site, const void* libraryAddress, platform::GuardedBody body,
                      void* context, std::int64_t start);

template <class Body>
bool runExtensionCode(const CallSite& site, const void* libraryAddress, Body& body,
                      std::int64_t start = platform::counter()) {
  return runExtensionCode(
      site, libraryAddress, [](void* context) { (*static_cast<Body*>(context))(); }, &body, start);
}

// The report of the guarded call that did not return: a crash, or a hung call abandoned.
std::string failedCallText(const CallSite& site);

// A fault in a library's start-up or clean-up code, or an abandon of it, happened while the
// loader held its lock: going on would deadlock later, so the report is the last thing the
// host does.
[[noreturn]] void reportLoaderCrashAndEnd(const char* description);

// Tells such a failure in place of that report, and ends the process itself (the search of
// --fuzz tells it as a finding, then its summary); null: the report. `description` is the
// library code's, as the report would name it.
void setLoaderCrashTeller(void (*teller)(const char* description));

// Ends the process with `status` as returning from main would, with the clean-up code of the
// libraries the system kept in memory (it runs at exit) under the crash guard: a fault there
// is reported in Red, though the output is closed, and the process ends with 128 + the signal.
[[noreturn]] void endProcessRunningLibraryCleanUp(int status);

// Loading or unloading a library under the crash guard: a fault in its start-up or clean-up
// code ends the host.
template <class Body>
void runLoaderCode(const char* description, Body&& body) {
  flushBeforeLibraryCode();
  if (!runExtensionCode(CallSite{description, nullptr}, nullptr, body)) {
    leaveExtensionCode();
    reportLoaderCrashAndEnd(description);
  }
  leaveExtensionCode();
}

#endif  // INVOKEMODULE_EXTENSIONS_EXTENSION_CODE_H_
