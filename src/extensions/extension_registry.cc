// The extension registry: its entries, freeing them, the libraries the system keeps in memory,
// and the memory every call reuses.
#include "extensions/extension_registry.h"

#include <utility>

#include "extensions/extension_code.h"
#include "extensions/extension_messages.h"
#include "extensions/library_exports.h"
#include "extensions/library_search.h"
#include "extensions/library_watch.h"
#include "platform/crash_guard.h"
#include "platform/dynamic_library.h"
#include "platform/exit_handlers.h"
#include "platform/platform.h"
#include "values/plain_text.h"

ExtensionRegistry extensionRegistry;

const void* libraryAddressOf(const ExtensionEntry& entry) {
  if (entry.rvExtension != nullptr) return reinterpret_cast<const void*>(entry.rvExtension);
  if (entry.rvExtensionArgs != nullptr) return reinterpret_cast<const void*>(entry.rvExtensionArgs);
  if (entry.rvExtensionVersion != nullptr) {
    return reinterpret_cast<const void*>(entry.rvExtensionVersion);
  }
  if (entry.rvExtensionRegisterCallback != nullptr) {
    return reinterpret_cast<const void*>(entry.rvExtensionRegisterCallback);
  }
  // No entry point at all: the start of the library's image, never null, which on Windows
  // would stand for the executable and count the host's own threads as the library's.
  return reinterpret_cast<const void*>(platform::libraryLoadBase(entry.module.get()));
}

GuardedBuffer& CallState::mapOutputBuffer() {
  outputBuffer_.emplace(kExtensionOutputSize);
  return *outputBuffer_;
}

GuardedBuffer& CallState::versionBuffer() {
  if (!versionBuffer_) versionBuffer_.emplace(kExtensionVersionSize);
  return *versionBuffer_;
}

bool closeLibraryGuarded(ExtensionEntry& entry, std::string* keptNote) {
  if (entry.module == nullptr) return false;
  const void* address = libraryAddressOf(entry);
  // A fault a thread has taken but the host not yet reported keeps the library too: the thread
  // stays parked in it.
  platform::waitForThreadFaultReports(2000);
  if (platform::threadFaultedInLibrary(address)) {
    platform::forgetThreadFaults(address);
    *keptNote = parkedThreadKeepsLibraryText(entry.fileName);
    entry.module.release();  // never closed
    return false;
  }
  platform::forgetLibraryFaultHandlers(address);
  platform::rememberUnloadedLibrary(address, entry.name);
  auto close = [&entry] { entry.module.reset(); };
  if (!runExtensionCode(CallSite{kCleanUpCodeSite, nullptr}, nullptr, close)) {
    reportLoaderCrashAndEnd(kCleanUpCodeSite);
  }
  return true;
}

bool runExitHandlersAhead(ExtensionEntry& entry) {
  if (entry.module == nullptr || !platform::libraryExitHandlersRunAhead()) return true;
  const void* address = libraryAddressOf(entry);
  if (platform::threadFaultedInLibrary(address)) return true;  // it stays mapped: see above
  auto run = [address] { platform::runLibraryExitHandlers(address); };
  flushBeforeLibraryCode();
  const bool returned = runExtensionCode(CallSite{kCleanUpCodeSite, nullptr}, address, run);
  leaveExtensionCode();
  return returned;
}

void ExtensionRegistry::closeAndRemember(ExtensionEntry& entry, UnloadOutcome* outcome) {
  if (entry.module != nullptr) {
    if (int running = platform::threadsRunningIn(libraryAddressOf(entry)); running > 0) {
      outcome->runningThreadsNote += threadsStillRunningText(entry.name, running);
    }
  }
  if (entry.module != nullptr) symbols.forget(platform::libraryLoadBase(entry.module.get()));
  std::string keptNote;
  const std::string& loaded = entry.copy.empty() ? entry.file : entry.copy;
  if (closeLibraryGuarded(entry, &keptNote) && platform::libraryStillLoaded(loaded)) {
    residentFiles_.emplace(entry.file, entry.stamp);
    outcome->residentNote =
        residentAfterUnloadText(entry.fileName, residencyCauses(loaded), !entry.copy.empty());
  }
  outcome->keptNote += keptNote;
  discardPrivateCopy(entry.copy);
  entry.copy.clear();
}

ResidencyCauses residencyCauses(const std::string& path) {
  if (platform::librariesArePeFiles()) return {};
  return elfResidencyCauses(systemLibraries().readStart(path, std::size_t{256} << 20));
}

bool uniqueSymbolsBindToEarlierCopy(void* library, const std::string& copy) {
  if (platform::librariesArePeFiles()) return false;
  // Every copy lies in a numbered folder of its own, under the file's own name.
  auto sameFileElsewhere = [&copy](const std::string& other) {
    std::size_t name = copy.size() - copy.find_last_of(platform::pathSeparators());
    return other.size() >= name && other.compare(other.size() - name, name, copy, copy.size() - name) == 0 &&
           folderOf(folderOf(other)) == folderOf(folderOf(copy));
  };
  for (const std::string& name :
       elfGnuUniqueNames(systemLibraries().readStart(copy, std::size_t{256} << 20))) {
    if (sameFileElsewhere(platform::libraryBindingSymbol(library, name.c_str()))) return true;
  }
  return false;
}

const platform::FileStamp* ExtensionRegistry::residentStamp(const std::string& file) const {
  auto found = residentFiles_.find(file);
  return found != residentFiles_.end() ? &found->second : nullptr;
}

ExtensionEntry* ExtensionRegistry::find(const std::string& key) {
  auto found = entries_.find(key);
  return found != entries_.end() ? &found->second : nullptr;
}

ExtensionEntry& ExtensionRegistry::entryFor(const std::string& key) { return entries_[key]; }

std::vector<std::string> ExtensionRegistry::takeLateWriters() {
  std::vector<std::string> writers;
  for (std::string writer : {calls_.lateWriterOfOutput(), calls_.lateWriterOfVersion()}) {
    if (!writer.empty()) writers.push_back(std::move(writer));
  }
  return writers;
}

UnloadOutcome ExtensionRegistry::unload(const std::string& typedName) {
  UnloadOutcome outcome;
  auto found = entries_.find(toLowerAscii(typedName));
  if (found == entries_.end()) return outcome;
  outcome.found = true;
  flushBeforeLibraryCode();
  closeAndRemember(found->second, &outcome);
  entries_.erase(found);
  leaveExtensionCode();
  outcome.lateWriters = takeLateWriters();
  return outcome;
}

std::vector<std::string> ExtensionRegistry::loadedNames() const {
  std::vector<std::string> names;
  names.reserve(entries_.size());
  for (const auto& [key, entry] : entries_) {
    if (entry.module != nullptr) names.push_back(key);
  }
  return names;
}

UnloadOutcome ExtensionRegistry::unloadAll() {
  platform::waitForThreadFaultReports(2000);  // before the session's last lines
  UnloadOutcome outcome;
  if (entries_.empty()) return outcome;
  outcome.found = true;
  flushBeforeLibraryCode();
  for (auto& [key, entry] : entries_) closeAndRemember(entry, &outcome);
  outcome.residentNote.clear();  // nothing is loaded again
  entries_.clear();
  leaveExtensionCode();
  outcome.lateWriters = takeLateWriters();
  return outcome;
}
