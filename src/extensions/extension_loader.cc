// Loading an extension: search, entry points, export doctor, feature flags, callback, version.
#include "extensions/extension_loader.h"

#include <array>

#include "extensions/extension_callback.h"
#include "extensions/extension_calls.h"
#include "extensions/extension_code.h"
#include "extensions/entry_point_call.h"
#include "extensions/extension_messages.h"
#include "extensions/library_exports.h"
#include "extensions/library_watch.h"
#include "platform/crash_guard.h"
#include "platform/dynamic_library.h"
#include "platform/platform.h"

namespace {

// Looks an entry point up under its decorated name, then (but on 32-bit Windows) its plain
// one; `decoratedOnly` tells whether only the decorated name is there.
template <typename Function>
Function findEntryPoint(void* module, const EntryPointName& name, bool& decoratedOnly) {
  void* address = platform::findLibrarySymbol(module, name.decorated);
  decoratedOnly = false;
  if (!platform::onlyDecoratedExportNames()) {
    void* plain = platform::findLibrarySymbol(module, name.plain);
    decoratedOnly = address != nullptr && plain == nullptr;
    if (address == nullptr) address = plain;
  }
  return reinterpret_cast<Function>(address);
}

// The export table of a library that lacks an entry point: the file's dynamic symbols, or
// the loaded image's export directory.
std::vector<std::string> exportedNames(void* module, const std::string& path) {
  if (const void* image = platform::libraryImageBase(module)) return peExportedNames(image);
  std::string file = systemLibraries().readStart(path, std::size_t{256} << 20);
  return elfExportedNames(file);
}

// Whether the export at `address` is code rather than data: the symbol's type in the ELF
// file's dynamic symbols, or the section it lies in within a PE image.
bool exportIsFunction(void* module, const std::string& path, const char* name, const void* address) {
  if (const void* image = platform::libraryImageBase(module)) return peAddressIsCode(image, address);
  std::vector<std::string> functions;
  elfExportedNames(systemLibraries().readStart(path, std::size_t{256} << 20), &functions);
  for (const std::string& function : functions) {
    if (function == name) return true;
  }
  return false;
}

// Finds the RVExtensionFeatureFlags variable (a data export: the plain name on every build)
// and notes what the host cannot honour of its flags, or that it is a function.
void lookUpFeatureFlags(ExtensionEntry& entry, void* module, LoadOutcome* outcome) {
  const char* name = kFeatureFlagsExport;
  entry.featureFlags = nullptr;
  void* address = platform::findLibrarySymbol(module, name);
  if (address == nullptr) return;
  if (exportIsFunction(module, entry.file, name, address)) {
    outcome->notes.push_back(featureFlagsFunctionNote(entry.fileName) + "\n");
    return;
  }
  entry.featureFlags = static_cast<const std::uint64_t*>(address);
  std::string notes = featureFlagNotes(entry.fileName, *entry.featureFlags, &entry.notedFlags);
  if (!notes.empty()) outcome->notes.push_back(notes + "\n");
}

LoadOutcome failedLoad(std::string_view typedName, std::uint32_t errorCode, std::string reason,
                       std::vector<std::string> details) {
  LoadOutcome outcome;
  outcome.failed = true;
  outcome.failure = LoadFailure{std::string(typedName), errorCode, std::move(reason), std::move(details)};
  return outcome;
}

}  // namespace

const SearchPolicy& platformSearchPolicy() {
  static const SearchPolicy policy = SearchPolicy::ofPlatform();
  return policy;
}

bool hostCanLoad(const std::string& path, std::uint64_t size) {
  const SearchPolicy& policy = platformSearchPolicy();
  std::string head = systemLibraries().readStart(path, 4096);
  LibraryFileKind kind = libraryFileKind(head);
  return kind.format == (policy.peLibraries ? LibraryFileKind::Pe : LibraryFileKind::Elf) &&
         kind.bits == (policy.host64 ? 64 : 32) && libraryFileLength(head) <= size;
}

LoadOutcome loadExtension(std::string_view typedName, const std::string& key) {
  // A NUL byte would cut the name where the loader reads it: such a name loads nothing.
  if (typedName.find('\0') != std::string_view::npos) {
    return failedLoad(typedName, platform::invalidNameErrorCode(), "", {});
  }
  // File names are built from the name as typed, so they keep the user's letter case. The
  // first candidate that loads wins; loading runs the library's start-up code.
  const SearchPolicy& policy = platformSearchPolicy();
  LibrarySearch search;
  PrivateCopyLibraries copies;
  runLoaderCode("(library start-up code)", [&] {
    search = searchLibrary(typedName, policy, extensionRegistry.watch.enabled ? copies : systemLibraries());
  });
  if (search.library == nullptr) {
    const LoadAttempt* reported = search.mostTelling();
    return failedLoad(typedName, reported != nullptr ? reported->failure.errorCode : 0,
                      reported != nullptr ? reported->failure.reason : std::string(),
                      loadFailureDetails(typedName, search, policy, systemLibraries()));
  }

  LoadOutcome outcome;
  ExtensionEntry& entry = extensionRegistry.entryFor(key);
  outcome.entry = &entry;
  outcome.loadedNow = true;
  entry.name = key;
  entry.module = platform::LoadedLibrary(search.library);
  entry.file = platform::loadedLibraryPath(search.library);
  if (entry.file.empty()) entry.file = search.path;
  entry.fileName = toLowerAscii(search.file);
  entry.typedName = typedName;
  entry.builtFile = search.file;
  if (extensionRegistry.watch.enabled) {
    entry.file = copies.original;
    entry.copy = copies.copy;
    entry.stamp = copies.stamp;
  } else {
    entry.stamp = platform::fileStamp(entry.file);
  }
  if (!entry.copy.empty()) {
    // A new copy is a library of its own, but for GNU unique symbols that an earlier copy
    // kept in memory defined first.
    if (uniqueSymbolsBindToEarlierCopy(search.library, entry.copy)) {
      outcome.notes.push_back(uniqueSymbolsSharedText(entry.fileName));
    }
  } else if (const platform::FileStamp* resident = extensionRegistry.residentStamp(entry.file)) {
    // A library the system kept in memory was loaded again: its code is the old one.
    if (*resident != entry.stamp) outcome.notes.push_back(staysInMemoryText(entry.fileName));
    if (!extensionRegistry.watch.enabled) entry.stamp = *resident;
  }
  adoptLibrary(entry, &outcome);
  return outcome;
}

void adoptLibrary(ExtensionEntry& entry, LoadOutcome* outcome) {
  void* module = entry.module.get();
  std::array<bool, 4> decoratedOnly{};
  entry.rvExtensionVersion =
      findEntryPoint<RVExtensionVersionFunction>(module, kVersionEntryPoint, decoratedOnly[0]);
  entry.rvExtension = findEntryPoint<RVExtensionFunction>(module, kCallEntryPoint, decoratedOnly[1]);
  entry.rvExtensionArgs = findEntryPoint<RVExtensionArgsFunction>(module, kArgsEntryPoint, decoratedOnly[2]);
  entry.rvExtensionRegisterCallback =
      findEntryPoint<RVExtensionRegisterCallbackFunction>(module, kRegisterEntryPoint, decoratedOnly[3]);
  bool contextDecoratedOnly = false;
  entry.rvExtensionContext =
      findEntryPoint<RVExtensionContextFunction>(module, kContextEntryPoint, contextDecoratedOnly);
  platform::watchExitCalls(libraryAddressOf(entry));

  // The export table is read only when an entry point is missing; its problems, and entry
  // points the game would not find under their decorated names, are told once.
  std::array<bool, 4> found = {entry.rvExtensionVersion != nullptr, entry.rvExtension != nullptr,
                               entry.rvExtensionArgs != nullptr,
                               entry.rvExtensionRegisterCallback != nullptr};
  ExportRules rules{platform::onlyDecoratedExportNames(), platform::librariesArePeFiles()};
  entry.exportProblems = decoratedNameProblems(decoratedOnly, rules);
  if (!found[0] || !found[1] || !found[2] || !found[3]) {
    std::vector<std::string> missing = exportProblems(exportedNames(module, entry.file), found, rules);
    entry.exportProblems.insert(entry.exportProblems.end(), missing.begin(), missing.end());
  }
  if (!entry.exportProblems.empty()) {
    std::string text;
    for (const std::string& problem : entry.exportProblems) text += entry.fileName + ": " + problem + "\n";
    outcome->notes.push_back(text + "\n");
  }
  lookUpFeatureFlags(entry, module, outcome);
}

bool canBeCalled(const ExtensionEntry& entry) {
  return entry.rvExtension != nullptr || entry.rvExtensionArgs != nullptr;
}

const CallOutcome& registerHostCallback(ExtensionEntry& entry) {
  CallOutcome& outcome = extensionRegistry.calls().outcome;
  outcome = CallOutcome{};
  outcome.entryPoint = kRegisterEntryPoint.plain;
  if (entry.module == nullptr || entry.rvExtensionRegisterCallback == nullptr) {
    outcome.status = CallStatus::NotImplemented;
    return outcome;
  }
  enterExtensionCode();
  auto hand = [&entry] {
    callEntryPoint(kRegisterEntryPoint, entry.rvExtensionRegisterCallback, &ExtensionCallback);
  };
  CallSite site{outcome.entryPoint, nullptr};
  bool returned = runExtensionCode(site, libraryAddressOf(entry), hand);
  leaveExtensionCode();
  if (!returned) {
    entry.crashed = true;
    outcome.status = CallStatus::Crashed;
    outcome.report = failedCallText(site);
  }
  return outcome;
}

PreCallOutcome prepareVersionCall(ExtensionEntry& entry) {
  PreCallOutcome prepared;
  CallState& calls = extensionRegistry.calls();
  if (entry.module == nullptr || entry.crashed || entry.rvExtensionVersion == nullptr) return prepared;
  prepared.lateWriter = calls.lateWriterOfVersion();
  calls.versionUser = entry.name;
  return prepared;
}

const CallOutcome& queryVersion(ExtensionEntry& entry) {
  CallOutcome& outcome = extensionRegistry.calls().outcome;
  outcome = CallOutcome{};
  outcome.entryPoint = kVersionEntryPoint.plain;
  if (entry.module == nullptr || entry.crashed) {
    outcome.status = CallStatus::Quarantined;
    return outcome;
  }
  if (entry.rvExtensionVersion == nullptr) {
    outcome.milliseconds = -1;  // nothing was timed
    return outcome;
  }
  GuardedBuffer& buffer = extensionRegistry.calls().versionBuffer();
  char* output = buffer.prepare();
  std::int64_t frequency = platform::counterFrequency();
  auto version = [&entry, output] {
    callEntryPoint(kVersionEntryPoint, entry.rvExtensionVersion, output, kExtensionVersionSize);
  };
  CallSite site{outcome.entryPoint, nullptr};
  enterExtensionCode();
  std::int64_t start = platform::counter();
  bool returned = runExtensionCode(site, libraryAddressOf(entry), version);
  std::int64_t end = platform::counter();
  leaveExtensionCode();
  bool overrun = buffer.overrun();  // also rearms the guard zone after a crash
  if (!returned) {
    entry.crashed = true;
    outcome.status = CallStatus::Crashed;
    outcome.report = failedCallText(site);
  } else if (overrun) {
    outcome.status = CallStatus::Overrun;  // the extension stays loaded and usable
  } else {
    outcome.result = buffer.text();
    outcome.milliseconds = platform::elapsedMilliseconds(start, end, frequency);
  }
  return outcome;
}
