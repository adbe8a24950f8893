// Printing the outcomes of loading, calling and freeing extensions.
#include "extensions/extension_report.h"

#include "extensions/extension_callback.h"
#include "extensions/extension_calls.h"
#include "extensions/extension_messages.h"
#include "output/output.h"
#include "platform/dynamic_library.h"

namespace {

void printLateWrite(std::string_view name) {
  printColoured(ConsoleColour::Red, "%s\n", lateBufferWriteText(name).c_str());
}

void printBufferOverrun(std::string_view note) {
  if (note.empty()) {
    printColoured(ConsoleColour::Red, "%s\n\n", kBufferOverrunText);
    return;
  }
  OutputLock lock;
  printColoured(ConsoleColour::Red, "%s\n", kBufferOverrunText);
  printClosingNote(note);
}

}  // namespace

void printCrashReport(const std::string& text) { printColoured(ConsoleColour::Red, "%s\n", text.c_str()); }

void reportLoad(const LoadOutcome& outcome) {
  if (outcome.failed) {
    printColoured(ConsoleColour::DarkYellow, "%s\n",
                  loadFailureText(outcome.failure, platform::loaderGivesFailureReason()).c_str());
  }
  for (const std::string& note : outcome.notes) printColoured(ConsoleColour::DarkYellow, "%s", note.c_str());
}

void reportPreCallNotes(const PreCallOutcome& prepared) {
  if (!prepared.lateWriter.empty()) printLateWrite(prepared.lateWriter);
  if (!prepared.flagNotes.empty())
    printColoured(ConsoleColour::DarkYellow, "%s\n", prepared.flagNotes.c_str());
}

void reportCall(const CallOutcome& outcome) {
  OutputLock lock;  // keeps the result and its time together
  endWaiting();     // under the same hold: one lock round trip after the call
  setColour(ConsoleColour::White);
  switch (outcome.status) {
    case CallStatus::Crashed:
      printCrashReport(outcome.report);
      break;
    case CallStatus::Overrun:
      printBufferOverrun(outcome.note);
      break;
    case CallStatus::Returned: {
      // The result line is built whole and printed without the formatter: it comes once per call.
      std::string& line = extensionRegistry.calls().resultLine;
      buildResultLine(outcome, &line);
      printColouredText(ConsoleColour::Cyan, line);
      printExecutionTime(outcome.milliseconds, outcome.note,
                         gameWarnings(outcome.milliseconds, outcome.argumentCount));
      break;
    }
    case CallStatus::NotImplemented:
    case CallStatus::Quarantined:
      break;
  }
  if (!outcome.faultHandlersReplacedBy.empty()) reportReplacedFaultHandlers(outcome.faultHandlersReplacedBy);
}

void reportRefusedCall(const CallOutcome& outcome) {
  if (outcome.status == CallStatus::Quarantined) {
    // Which extension and call: with piped input the command itself is not shown.
    OutputLock lock;
    const CallSite site{outcome.entryPoint, outcome.functionText};
    printColoured(ConsoleColour::DarkYellow, "%s\n%s\n", kQuarantinedText,
                  noticedCallText(outcome.extension, site, true).c_str());
    printClosingNote(outcome.note);
    return;
  }
  OutputLock lock;
  printColoured(ConsoleColour::DarkYellow, "%s\n%s%s", kNotImplementedText,
                notExportedText(outcome.entryPoint, outcome.fileName).c_str(),
                outcome.note.empty() ? "\n" : "");
  if (!outcome.note.empty()) printClosingNote(outcome.note);
}

void reportRegistration(const CallOutcome& outcome) {
  if (outcome.status == CallStatus::NotImplemented) return;
  OutputLock lock;
  setColour(ConsoleColour::White);
  if (outcome.status == CallStatus::Crashed) {
    printCrashReport(outcome.report);
    return;
  }
  printColoured(ConsoleColour::DarkYellow, "Callback registered: %p\n",
                reinterpret_cast<const void*>(&ExtensionCallback));
}

void reportVersion(const ExtensionEntry& entry, const CallOutcome& outcome) {
  if (outcome.status == CallStatus::Quarantined) return;
  if (outcome.status == CallStatus::Returned && outcome.milliseconds < 0) {  // no RVExtensionVersion
    printColoured(ConsoleColour::DarkYellow, "%s", moduleLoadedText(entry.name, entry.fileName, "").c_str());
    return;
  }
  OutputLock lock;  // keeps the load message and its time together
  setColour(ConsoleColour::White);
  if (outcome.status == CallStatus::Crashed) {
    printCrashReport(outcome.report);
  } else if (outcome.status == CallStatus::Overrun) {
    printBufferOverrun({});  // the extension stays loaded and usable
  } else {
    printColoured(ConsoleColour::DarkYellow, "%s",
                  moduleLoadedText(entry.name, entry.fileName, outcome.result).c_str());
    printExecutionTime(outcome.milliseconds);
  }
}

void reportReplacedFaultHandlers(std::string_view name) {
  printColoured(ConsoleColour::DarkYellow, "%s\n", faultHandlersReplacedText(name).c_str());
}

void reportUnload(const UnloadOutcome& outcome, bool notice) {
  if (!outcome.keptNote.empty()) printColoured(ConsoleColour::DarkYellow, "%s", outcome.keptNote.c_str());
  for (const std::string& writer : outcome.lateWriters) printLateWrite(writer);
  if (!notice) {
    if (!outcome.runningThreadsNote.empty()) {
      printColoured(ConsoleColour::DarkYellow, "%s\n", outcome.runningThreadsNote.c_str());
    }
    return;
  }
  if (outcome.residentNote.empty() && outcome.runningThreadsNote.empty()) {
    printNotice(outcome.found ? "Extension unloaded" : "Extension is not loaded");
    return;
  }
  std::string lines = outcome.residentNote.empty() ? std::string() : outcome.residentNote + "\n";
  printColoured(ConsoleColour::DarkYellow, "Extension unloaded\n%s%s\n", lines.c_str(),
                outcome.runningThreadsNote.c_str());
}
