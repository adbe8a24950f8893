// The per-command handle: lookup or load, the two call forms, and --watch reloads, reported.
#include "extensions/extension_handle.h"

#include "extensions/extension_calls.h"
#include "extensions/extension_loader.h"
#include "extensions/extension_reload.h"
#include "extensions/library_exports.h"
#include "extensions/extension_report.h"
#include "extensions/library_watch.h"
#include "output/output.h"

ExtensionHandle::ExtensionHandle(std::string_view typedName) {
  // The key is built in a buffer reused by every command (main thread only); one grown by a
  // huge name is given back.
  constexpr std::size_t kKeptCapacity = 64 * 1024;
  std::string& key = extensionRegistry.calls().key;
  key.assign(typedName);
  lowerAsciiInPlace(key);
  ExtensionEntry* entry = extensionRegistry.find(key);
  if (entry != nullptr && entry->module != nullptr) {
    entry_ = entry;  // loaded already: silent
    name_ = entry->name;
    if (extensionRegistry.watch.enabled) reloadIfChanged(*entry);
  } else {
    LoadOutcome outcome = loadExtension(typedName, key);
    if (outcome.entry == nullptr) {
      reportLoad(outcome);
      fail(key);  // nothing is registered, so the next use tries again
    } else {
      entry_ = outcome.entry;
      name_ = entry_->name;
      finishLoad(outcome);
    }
  }
  if (key.capacity() > kKeptCapacity) std::string().swap(key);
}

void ExtensionHandle::fail(const std::string& key) {
  failedName_ = key;
  name_ = failedName_;
  entry_ = nullptr;
}

void ExtensionHandle::finishLoad(const LoadOutcome& outcome) {
  reportLoad(outcome);
  ExtensionEntry& entry = *outcome.entry;
  if (!outcome.loadedNow || !canBeCalled(entry)) return;
  reportRegistration(registerHostCallback(entry));
  reportPreCall(prepareVersionCall(entry));
  reportVersion(entry, queryVersion(entry));
  if (newlyReplacedFaultHandlers(entry, true)) {
    OutputLock lock;
    reportReplacedFaultHandlers(entry.name);
  }
}

void ExtensionHandle::reloadIfChanged(ExtensionEntry& entry) {
  ReloadOutcome outcome = ::reloadIfChanged(entry);
  if (!outcome.oldCopyNeeded) {
    finishLoad(outcome);
    return;
  }
  reportLoad(outcome);
  LoadOutcome reopened = reopenOldCopy(entry);
  if (reopened.entry != nullptr) {
    finishLoad(reopened);
    return;
  }
  std::string name = entry.name;
  fail(name);
  reportUnload(extensionRegistry.unload(name), false);
}

void ExtensionHandle::call(const char* function) {
  if (entry_ == nullptr) return;  // the load failure was the report
  ExtensionEntry& entry = *entry_;
  if (const CallOutcome* refused =
          refusedCall(entry, kCallEntryPoint.plain, function, entry.rvExtension != nullptr, {})) {
    reportRefusedCall(*refused);
    return;
  }
  const PreCallOutcome prepared = prepareCall(entry);
  reportPreCall(prepared);
  reportCall(callFunction(entry, prepared, function));
}

void ExtensionHandle::callArgs(const char* function, const char** argv, std::int32_t argc,
                               std::string_view note) {
  if (entry_ == nullptr) return;
  ExtensionEntry& entry = *entry_;
  if (const CallOutcome* refused =
          refusedCall(entry, kArgsEntryPoint.plain, function, entry.rvExtensionArgs != nullptr, note)) {
    reportRefusedCall(*refused);
    return;
  }
  const PreCallOutcome prepared = prepareCall(entry);
  reportPreCall(prepared);
  reportCall(callWithArguments(entry, prepared, function, argv, argc, note));
}
