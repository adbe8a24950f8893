// The two call forms: buffers, guards, context and flags around the entry point, and the outcome.
#include "extensions/extension_calls.h"

#include "extensions/call_context.h"
#include "extensions/entry_point_call.h"
#include "extensions/extension_code.h"
#include "extensions/library_exports.h"
#include "platform/crash_guard.h"
#include "platform/platform.h"

namespace {

// Runs `callEntry` (the call of one entry point) with the call buffer ready and answers what
// came back. The timed interval holds the entry-point call alone; an extension with a context
// function or feature flags gets its context first, on the same thread and under the same
// guard, outside the timed interval.
template <class EntryCall>
const CallOutcome& callAndJudge(ExtensionEntry& entry, const PreCallOutcome& prepared, const CallSite& site,
                                EntryCall&& callEntry) {
  CallState& calls = extensionRegistry.calls();
  GuardedBuffer& buffer = calls.outputBuffer();
  char* output = buffer.prepare();
  std::int64_t frequency = platform::counterFrequency();
  std::int32_t code = 0;
  std::int64_t start = 0;
  std::int64_t end = 0;
  bool returned = false;
  const CallSite* failedSite = &site;
  if (entry.rvExtensionContext == nullptr && entry.featureFlags == nullptr) [[likely]] {
    auto entryCall = [&] { return callEntry(output); };
    auto body = [&] { code = platform::callBelowGap(calls.stackGap, entryCall); };
    enterExtensionCode();
    start = platform::counter();
    returned = runExtensionCode(site, libraryAddressOf(entry), body, start);
    end = platform::counter();
  } else {
    ContextArguments& arguments = calls.contextArguments;
    // A fault, an abandon or an exit() in the context function is reported as its own.
    const CallSite before{kContextEntryPoint.plain, nullptr, &site, "before"};
    auto body = [&] {
      if (prepared.contextFirst) {
        calls.site = before;
        callEntryPoint(kContextEntryPoint, entry.rvExtensionContext,
                       reinterpret_cast<const char**>(arguments.slots), arguments.count);
        if (stackImbalanceNoted()) return;  // the call fails at its context function
        calls.site = site;
      }
      auto entryCall = [&] { return callEntry(output); };
      start = platform::counter();
      code = platform::callBelowGap(calls.stackGap, entryCall);
      end = platform::counter();
    };
    enterExtensionCode();
    beginContextCall(entry.rvExtensionContext, &arguments);
    returned = runExtensionCode(site, libraryAddressOf(entry), body);
    if (!returned && requestedContextRunning()) {
      calls.site = CallSite{kContextEntryPoint.plain, nullptr, &site, "asked for by"};
    }
    failedSite = &calls.site;  // stays until the next call
    endContextCall();
  }
  leaveExtensionCodeUnlocked();

  CallOutcome& outcome = calls.outcome;
  outcome.entryPoint = site.entryPoint;
  outcome.code = code;
  outcome.report.clear();
  bool overrun = buffer.overrun();  // also rearms the guard zone after a crash
  if (!returned) {
    entry.crashed = true;  // quarantined
    outcome.status = CallStatus::Crashed;
    outcome.report = failedCallText(*failedSite);  // the call's site, or its context function's
  } else if (overrun) {
    outcome.status = CallStatus::Overrun;
  } else {
    outcome.status = CallStatus::Returned;
    outcome.result = buffer.text();
    outcome.milliseconds = platform::elapsedMilliseconds(start, end, frequency);
  }
  outcome.faultHandlersReplacedBy =
      newlyReplacedFaultHandlers(entry, false) ? std::string_view(entry.name) : std::string_view();
  return outcome;
}

}  // namespace

bool newlyReplacedFaultHandlers(ExtensionEntry& entry, bool askSystem) {
  if (!platform::libraryFaultHandlersInstalled(askSystem) || entry.faultHandlersNoticed) return false;
  entry.faultHandlersNoticed = true;
  return true;
}

PreCallOutcome prepareCall(ExtensionEntry& entry) {
  PreCallOutcome prepared;
  CallState& calls = extensionRegistry.calls();
  // A late write found now is told on its own, so the coming call is judged by what it does.
  if (!calls.outputUser.empty() && calls.outputBuffer().guardsWritten()) [[unlikely]]
    prepared.lateWriter = calls.outputUser;
  if (calls.outputUser != entry.name) [[unlikely]]
    calls.outputUser = entry.name;
  if (entry.rvExtensionContext == nullptr && entry.featureFlags == nullptr) [[likely]] {
    return prepared;
  }
  std::uint64_t flags = entry.featureFlags != nullptr ? *entry.featureFlags : 0;
  if ((flags & ~entry.notedFlags) != 0)
    prepared.flagNotes = featureFlagNotes(entry.fileName, flags, &entry.notedFlags);
  if (entry.rvExtensionContext == nullptr) return prepared;
  buildContextArguments(flags, &calls.contextArguments);
  prepared.contextFirst = (flags & kFlagNoDefaultContext) == 0;
  return prepared;
}

const CallOutcome* refusedCall(const ExtensionEntry& entry, const char* entryPoint, const char* function,
                               bool exported, std::string_view note) {
  CallOutcome& outcome = extensionRegistry.calls().outcome;
  if (entry.module == nullptr || !exported) {
    outcome.status = CallStatus::NotImplemented;
  } else if (entry.crashed || platform::threadFaultedInLibrary(libraryAddressOf(entry))) {
    outcome.status = CallStatus::Quarantined;
  } else {
    return nullptr;
  }
  outcome.entryPoint = entryPoint;
  outcome.fileName = entry.fileName;
  outcome.extension = entry.name;
  outcome.functionText = function;
  outcome.note = note;
  return &outcome;
}

const CallOutcome& callFunction(ExtensionEntry& entry, const PreCallOutcome& prepared, const char* function) {
  CallOutcome& outcome = extensionRegistry.calls().outcome;
  outcome.argumentForm = false;
  outcome.argumentCount = 0;
  outcome.note = {};
  return callAndJudge(
      entry, prepared, CallSite{kCallEntryPoint.plain, function, nullptr, nullptr, nullptr, -1, &entry.name},
      [&](char* output) {
        callEntryPoint(kCallEntryPoint, entry.rvExtension, output, kExtensionOutputSize, function);
        return std::int32_t{0};
      });
}

const CallOutcome& callWithArguments(ExtensionEntry& entry, const PreCallOutcome& prepared,
                                     const char* function, const char** argv, std::int32_t argc,
                                     std::string_view note) {
  CallOutcome& outcome = extensionRegistry.calls().outcome;
  outcome.argumentForm = true;
  outcome.argumentCount = argc;
  outcome.note = note;
  // The pointers are placed where reading past them faults; a vector too long for that, or
  // one for which no memory could be mapped, is handed as it is (its caller ends it with a
  // null pointer).
  CallState& calls = extensionRegistry.calls();
  const char** placed = calls.argumentVector.place(argv, argc);
  if (placed == nullptr) placed = argv;
  callAndJudge(entry, prepared,
               CallSite{kArgsEntryPoint.plain, function, nullptr, nullptr, argv, argc, &entry.name},
               [&](char* output) {
                 return callEntryPoint(kArgsEntryPoint, entry.rvExtensionArgs, output, kExtensionOutputSize,
                                       function, placed, argc);
               });
  // A fault in the unreadable memory after the vector: the extension read past its arguments.
  const platform::RawFault& fault = calls.crash.fault;
  if (outcome.status == CallStatus::Crashed && fault.hasAddress) {
    if (std::int64_t slot = calls.argumentVector.slotPastEnd(fault.address); slot > argc) {
      outcome.report = withLineUnderFirst(outcome.report, readPastArgumentsText(slot, argc));
    }
  }
  return outcome;
}
