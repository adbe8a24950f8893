// Reloading a changed library under --watch, from a private copy of the author's new file.
#include "extensions/extension_reload.h"

#include "extensions/extension_code.h"
#include "extensions/extension_loader.h"
#include "extensions/extension_messages.h"
#include "extensions/library_watch.h"
#include "platform/dynamic_library.h"
#include "platform/platform.h"

namespace {

// The entry's library is new: what was learnt of the old one is forgotten and the new one's
// entry points looked up.
void adoptNewLibrary(ExtensionEntry& entry, void* library, const std::string& copy, LoadOutcome* outcome) {
  entry.module = platform::LoadedLibrary(library);
  entry.copy = copy;
  entry.crashed = false;
  entry.featureFlags = nullptr;
  entry.notedFlags = 0;
  entry.exportProblems.clear();
  outcome->entry = &entry;
  outcome->loadedNow = true;
  adoptLibrary(entry, outcome);
}

}  // namespace

ReloadOutcome reloadIfChanged(ExtensionEntry& entry) {
  ReloadOutcome outcome;
  outcome.entry = &entry;
  if (entry.copy.empty() || platform::fileStamp(entry.file) == entry.stamp) return outcome;
  entry.stamp = settledStamp(entry.file);
  if (!entry.stamp.exists) return outcome;  // removed, as a build may do first: the copy goes on serving
  LibrarySearch search;
  LoadAttempt& attempt = search.attempts.emplace_back();
  attempt.file = entry.builtFile;
  attempt.folder = folderOf(entry.file);
  attempt.path = entry.file;
  std::string oldCopy = entry.copy;
  std::string copy;
  void* library = nullptr;
  if (hostCanLoad(entry.file, entry.stamp.size)) {
    std::string keptNote;
    runLoaderCode("(library clean-up code)", [&] { closeLibraryGuarded(entry, &keptNote); });
    if (!keptNote.empty()) outcome.notes.push_back(keptNote);
    runLoaderCode("(library start-up code)",
                  [&] { library = openPrivateCopy(entry.file, &copy, &attempt.failure); });
  } else {
    attempt.failure.errorCode = platform::badFormatErrorCode();
    attempt.failure.fileFound = true;
  }
  if (library == nullptr) {
    outcome.failed = true;
    outcome.failure =
        LoadFailure{entry.typedName, attempt.failure.errorCode, attempt.failure.reason,
                    loadFailureDetails(entry.typedName, search, platformSearchPolicy(), systemLibraries())};
    outcome.oldCopyNeeded = entry.module == nullptr;  // else it was never unloaded
    return outcome;
  }
  discardPrivateCopy(oldCopy);
  outcome.notes.push_back(reloadedText(entry.name, entry.fileName));
  // The new copy is a library of its own, but for the GNU unique symbols, which the system
  // binds to those of the first copy that defined them while that stays in memory.
  if (uniqueSymbolsBindToEarlierCopy(library, copy))
    outcome.notes.push_back(uniqueSymbolsSharedText(entry.fileName));
  adoptNewLibrary(entry, library, copy, &outcome);
  return outcome;
}

LoadOutcome reopenOldCopy(ExtensionEntry& entry) {
  LoadOutcome outcome;
  void* library = nullptr;
  platform::LibraryOpenFailure ignored;
  runLoaderCode("(library start-up code)",
                [&] { library = platform::openLibraryCopy(entry.copy, folderOf(entry.file), &ignored); });
  if (library != nullptr) adoptNewLibrary(entry, library, entry.copy, &outcome);
  return outcome;
}
