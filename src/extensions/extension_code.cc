// Running an extension's code under the crash guard, and the reports of what it did there.
#include "extensions/extension_code.h"

#include <cstdlib>

#include "extensions/call_context.h"
#include "extensions/call_watchdog.h"
#include "extensions/entry_point_call.h"
#include "extensions/extension_registry.h"
#include "extensions/extension_report.h"
#include "extensions/library_watch.h"
#include "output/output.h"

namespace {

void (*loaderCrashTeller)(const char*) = nullptr;

// The process ends with the extension's status, as after `exit`: every library is unloaded,
// and the clean-up code of those the system keeps runs, each under the crash guard, so that a
// fault there is reported (and the status is 128 + the signal) instead of killing the host
// silently. Never returns into the extension.
void reportExitDuringCall(int status) {
  {
    OutputLock lock;
    printColoured(ConsoleColour::Red, "%s\n\n",
                  exitDuringCallText(status, extensionRegistry.calls().site).c_str());
  }
  flushOutput();
  reportUnload(extensionRegistry.unloadAll(), false);
  removePrivateCopies();
  closeOutput();
  endProcessRunningLibraryCleanUp(status);
}

// Names the frames from each library's debug information, read from the file it was loaded
// from, after the host has recovered from the fault.
void describeFrames(std::vector<CrashFrame>& frames) {
  extensionRegistry.symbols.describe(frames, [](const CrashFrame& frame) { return frame.modulePath; });
}

void reportThreadFault(const platform::CrashRecord& crash, std::uint64_t threadId) {
  // Debug information is read only where the report is made on a host thread, never inside
  // the fault filter: there the frames show their offsets.
  std::string report = threadCrashReportText(
      crash, threadId,
      platform::threadFaultsReportedOnHostThread() ? FrameDescriber(describeFrames) : nullptr);
  {
    OutputLock lock;
    printColouredRestoring(ConsoleColour::Red, "\n%s\n", report.c_str());
  }
  flushOutput();
}

}  // namespace

void enterExtensionCode() {
  platform::flushRuntimeOutput();  // before the lock: see leaveExtensionCodeUnlocked
  OutputLock lock;
  setColour(ConsoleColour::White);
  beginWaiting(nullptr);  // flushes; lines from the extension's other threads go out at once
}

void flushBeforeLibraryCode() {
  platform::flushRuntimeOutput();
  OutputLock lock;
  flushOutput();
}

void leaveExtensionCodeUnlocked() { platform::flushRuntimeOutput(); }

void leaveExtensionCode() {
  leaveExtensionCodeUnlocked();
  endWaiting();
}

bool runExtensionCode(const CallSite& site, const void* libraryAddress, platform::GuardedBody body,
                      void* context, std::int64_t start) {
  CallState& calls = extensionRegistry.calls();
  if (!calls.reportersSet) {
    platform::setExitDuringCallReporter(reportExitDuringCall);
    platform::setThreadFaultReporter(reportThreadFault);
    calls.reportersSet = true;
  }
  calls.site = site;
  calls.start = start;
  calls.watchdog.callStarted(start, &site);
  // Whatever the host printed is flushed by now: a termination signal that finds the call
  // still running after a moment ends the process without waiting for it.
  platform::setInsideExtensionCall(true);
  calls.stackImbalance.entryPoint = nullptr;
  bool returned = platform::runGuarded(body, context, platform::CrashScope{libraryAddress}, &calls.crash);
  platform::setInsideExtensionCall(false);
  calls.watchdog.callEnded();
  // An entry point that left the stack off fails the call it ran in, as a fault would; a
  // fault after it is the one reported.
  if (!returned) calls.stackImbalance.entryPoint = nullptr;
  return returned && calls.stackImbalance.entryPoint == nullptr;
}

void noteStackImbalance(const EntryPointName& entryPoint, std::int32_t bytesLeft,
                        std::uint32_t argumentBytes) {
  StackImbalance& imbalance = extensionRegistry.calls().stackImbalance;
  if (imbalance.entryPoint == nullptr) imbalance = StackImbalance{&entryPoint, bytesLeft, argumentBytes};
}

bool stackImbalanceNoted() { return extensionRegistry.calls().stackImbalance.entryPoint != nullptr; }

std::string failedCallText(const CallSite& site) {
  const CallState& calls = extensionRegistry.calls();
  CallOrigin origin;
  for (const auto& [path, line] : runningScriptLines()) origin.scripts.push_back({path, line});
  for (const CallSite* call = &site; call != nullptr; call = call->outer) {
    if (call->argc >= 0) {
      origin.argv = call->argv;
      origin.argc = call->argc;
    }
  }
  if (calls.stackImbalance.entryPoint != nullptr)
    return stackImbalanceReportText(calls.stackImbalance, site, origin);
  if (calls.crash.exited) return exitDuringCallText(calls.crash.exitCallStatus, site) + "\n";
  if (!calls.crash.abandoned) return crashReportText(calls.crash, site, origin, describeFrames);
  auto elapsed =
      static_cast<std::uint64_t>((platform::counter() - calls.start) * 1000 / platform::counterFrequency());
  return abandonReportText(calls.crash, site, elapsed, origin, describeFrames);
}

void setLoaderCrashTeller(void (*teller)(const char* description)) { loaderCrashTeller = teller; }

void reportLoaderCrashAndEnd(const char* description) {
  if (loaderCrashTeller != nullptr) loaderCrashTeller(description);
  {
    OutputLock lock;
    setColour(ConsoleColour::White);
    printCrashReport(failedCallText(CallSite{description, nullptr}));
  }
  flushOutput();
  removePrivateCopies();
  platform::endProcessNow(extensionRegistry.calls().crash.exitStatus);
}

void endProcessRunningLibraryCleanUp(int status) {
  auto exitNow = [status] {
    platform::setExitDuringCallReporter(nullptr);  // this exit() is the host's own
    std::exit(status);
  };
  const char* site = "(library clean-up code)";
  callContext.cleanUpAtExit.store(true);
  runExtensionCode(CallSite{site, nullptr}, nullptr, exitNow);
  printLastWords(ConsoleColour::Red, failedCallText(CallSite{site, nullptr}) + "\n");
  platform::endProcessNow(extensionRegistry.calls().crash.exitStatus);
}
