// The extension registry and handle: loading, entry-point lookup, callback hand-over, version
// report, the two call forms and unloading.
#include "extensions/extension_registry.h"

#include <array>
#include <charconv>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "extensions/call_context.h"
#include "extensions/call_watchdog.h"
#include "extensions/crash_report.h"
#include "extensions/extension_callback.h"
#include "extensions/extension_messages.h"
#include "extensions/guarded_buffer.h"
#include "extensions/library_exports.h"
#include "extensions/library_search.h"
#include "extensions/library_watch.h"
#include "output/output.h"
#include "platform/crash_guard.h"
#include "platform/dynamic_library.h"
#include "platform/platform.h"
#include "values/game_value.h"

ExtensionRegistry extensionRegistry;

namespace {

// The output buffers live for the whole process and are reused by every call (main thread only).
GuardedBuffer& callOutputBuffer() {
  static GuardedBuffer buffer(kExtensionOutputSize);
  return buffer;
}

GuardedBuffer& versionOutputBuffer() {
  static GuardedBuffer buffer(kExtensionVersionSize);
  return buffer;
}

// The extension each buffer was last handed to (main thread only); empty until then.
std::string& callBufferUser() {
  static std::string name;
  return name;
}

std::string& versionBufferUser() {
  static std::string name;
  return name;
}

// A write into a buffer's guard zones found before a call, or once libraries are freed, was
// made while no call ran: by a thread of the extension last handed the buffer. It is reported
// on its own, and the zones are restored, so the coming call is judged by what it does.
void reportLateWrites(GuardedBuffer& buffer, const std::string& user) {
  if (buffer.guardsWritten()) printLateBufferWrite(user);
}

void reportLateWritesToEither() {
  if (!callBufferUser().empty()) reportLateWrites(callOutputBuffer(), callBufferUser());
  if (!versionBufferUser().empty()) reportLateWrites(versionOutputBuffer(), versionBufferUser());
}

// The quoted result of the latest call; reused so that a call allocates nothing once warm.
std::string& resultLine() {
  static std::string line;
  return line;
}

// Just before control passes into an extension (its start-up and clean-up code included): the
// extension's own output appears in White and after everything the host has printed so far,
// from the host's buffer and from the C runtime's. The output lock is not held meanwhile, so
// the extension's threads can print callback lines while it runs.
void enterExtensionCode() {
  platform::flushRuntimeOutput();  // before the lock: see leaveExtensionCode
  {
    OutputLock lock;
    setColour(ConsoleColour::White);
    beginWaiting(nullptr);  // flushes; lines from the extension's other threads go out at once
  }
}

// Before loading or unloading a library, which runs its start-up or clean-up code: everything
// the host has printed goes out first. The colour is White between messages already.
void flushBeforeLibraryCode() {
  platform::flushRuntimeOutput();
  OutputLock lock;
  flushOutput();
}

// Just after: whatever the extension wrote through the C runtime goes out before the host's
// next text. Done before the output lock is taken, so that an extension thread holding the
// runtime's stream while it waits for the output lock (to print a callback line) cannot
// deadlock with the host. Callers then take the output lock and set White.
void leaveExtensionCodeUnlocked() {
  platform::flushRuntimeOutput();
}

void leaveExtensionCode() {
  leaveExtensionCodeUnlocked();
  endWaiting();
}

// The call into an extension in progress (main thread), for the report of an exit() made
// during it.
CallSite currentCallSite;
std::int64_t currentCallStart = 0;

// Reused by every guarded call, so that a call that returns allocates nothing.
platform::CrashRecord& crashRecord() {
  static platform::CrashRecord record;
  return record;
}

void reportExitDuringCall(int status) {
  {
    OutputLock lock;
    printColoured(ConsoleColour::Red, "%s\n\n", exitDuringCallText(status, currentCallSite).c_str());
  }
  flushOutput();
}

void reportThreadFault(const platform::CrashRecord& crash, std::uint64_t threadId) {
  {
    OutputLock lock;
    printColouredRestoring(ConsoleColour::Red, "\n%s\n", threadCrashReportText(crash, threadId).c_str());
  }
  flushOutput();
}

// Runs `body`, a call into the extension whose code holds `libraryAddress`, under the crash
// guard; `start` is the counter read just before. Answers whether it returned; when it did
// not, the crash is in crashRecord().
template <class Body>
bool runExtensionCode(const CallSite& site, const void* libraryAddress, Body& body,
                      std::int64_t start = platform::counter()) {
  static const bool reportersSet = [] {
    platform::setExitDuringCallReporter(reportExitDuringCall);
    platform::setThreadFaultReporter(reportThreadFault);
    return true;
  }();
  (void)reportersSet;
  currentCallSite = site;
  currentCallStart = start;
  watchCallStarted(currentCallStart);
  // Whatever the host printed is flushed by now: a termination signal that finds the call
  // still running after a moment ends the process without waiting for it.
  platform::setInsideExtensionCall(true);
  bool returned = platform::runGuarded(body, platform::CrashScope{libraryAddress}, &crashRecord());
  platform::setInsideExtensionCall(false);
  watchCallEnded();
  return returned;
}

// The report of the guarded call that did not return: a crash, or a hung call abandoned.
std::string failedCallText(const CallSite& site) {
  const platform::CrashRecord& crash = crashRecord();
  if (!crash.abandoned) return crashReportText(crash, site);
  auto elapsed = static_cast<std::uint64_t>((platform::counter() - currentCallStart) * 1000 /
                                            platform::counterFrequency());
  return abandonReportText(crash, site, elapsed);
}

// After a crash the extension is quarantined and the report printed (output lock held).
void reportCrash(ExtensionEntry* entry, const CallSite& site) {
  if (entry != nullptr) entry->crashed = true;
  printCrashReport(failedCallText(site));
}

// A fault in a library's start-up or clean-up code, or an abandon of it, happened while the
// loader held its lock: going on would deadlock later, so the report is the last thing the
// host does.
[[noreturn]] void reportLoaderCrashAndEnd(const char* description) {
  {
    OutputLock lock;
    setColour(ConsoleColour::White);
    printCrashReport(failedCallText(CallSite{description, nullptr}));
  }
  flushOutput();
  removePrivateCopies();
  platform::endProcessNow(crashRecord().exitStatus);
}

const void* libraryAddressOf(const ExtensionEntry& entry);

// After a call into the extension: when it installed fault handlers of its own, which now run
// behind the host's, says so once per extension (output lock held). `askSystem` also finds
// handlers installed around the host's `sigaction`, at a cost of system calls: after loading.
void noticeOwnFaultHandlers(ExtensionEntry& entry, bool askSystem) {
  if (!platform::libraryFaultHandlersInstalled(askSystem) || entry.faultHandlersNoticed) return;
  entry.faultHandlersNoticed = true;
  printColoured(ConsoleColour::DarkYellow,
                "%s replaced the host's fault handlers; the host's are back in front\n\n",
                entry.name.c_str());
}

// Frees a library, its clean-up code under the crash guard. A library with a parked thread
// (one that faulted) stays mapped, since that thread's stack still refers into it. Answers
// whether the library was released.
bool closeLibraryGuarded(ExtensionEntry& entry) {
  if (entry.module == nullptr) return false;
  const void* address = libraryAddressOf(entry);
  if (platform::threadFaultedInLibrary(address)) {
    platform::forgetThreadFaults(address);
    printColoured(ConsoleColour::DarkYellow, "%s stays in memory: a thread of it is parked\n",
                  entry.fileName.c_str());
    entry.module.release();  // never closed
    return false;
  }
  platform::forgetLibraryFaultHandlers(address);
  platform::rememberUnloadedLibrary(address, entry.name);
  auto close = [&entry] { entry.module.reset(); };
  if (!runExtensionCode(CallSite{"(library clean-up code)", nullptr}, nullptr, close)) {
    reportLoaderCrashAndEnd("(library clean-up code)");
  }
  return true;
}

// The files whose library the system kept in memory when it was freed, with their stamp when
// it was loaded: loading such a file again runs the old code.
std::unordered_map<std::string, platform::FileStamp>& residentFiles() {
  static std::unordered_map<std::string, platform::FileStamp> files;
  return files;
}

// Frees the entry's library and its private copy; a library the system keeps in memory is
// remembered. Answers whether it was kept.
bool closeAndRemember(ExtensionEntry& entry) {
  const std::string& loaded = entry.copy.empty() ? entry.file : entry.copy;
  bool kept = closeLibraryGuarded(entry) && platform::libraryStillLoaded(loaded);
  if (kept) residentFiles().emplace(entry.file, entry.stamp);
  discardPrivateCopy(entry.copy);
  entry.copy.clear();
  return kept;
}

void printStaysInMemory(const ExtensionEntry& entry) {
  printColoured(ConsoleColour::DarkYellow, "%s stays in memory; restart the host to load a new build\n",
                entry.fileName.c_str());
}

// Any entry point: the address that identifies the library's frames in a report.
const void* libraryAddressOf(const ExtensionEntry& entry) {
  if (entry.rvExtension != nullptr) return reinterpret_cast<const void*>(entry.rvExtension);
  if (entry.rvExtensionArgs != nullptr) return reinterpret_cast<const void*>(entry.rvExtensionArgs);
  if (entry.rvExtensionVersion != nullptr) {
    return reinterpret_cast<const void*>(entry.rvExtensionVersion);
  }
  return reinterpret_cast<const void*>(entry.rvExtensionRegisterCallback);
}

// A quarantined extension is not called; the notice says how to get it back.
bool quarantined(const ExtensionEntry& entry, std::string_view note) {
  if (!entry.crashed && !platform::threadFaultedInLibrary(libraryAddressOf(entry))) return false;
  printNotice("Extension crashed; freeExtension it to load it again", note);
  return true;
}

// Looks an entry point up under its decorated name, then (but on 32-bit Windows) its plain
// one; `decoratedOnly` tells whether only the decorated name is there.
template <typename Function>
Function findEntryPoint(void* module, const char* decoratedName, const char* plainName,
                        bool& decoratedOnly) {
  void* address = platform::findLibrarySymbol(module, decoratedName);
  decoratedOnly = false;
  if (!platform::onlyDecoratedExportNames()) {
    void* plain = platform::findLibrarySymbol(module, plainName);
    decoratedOnly = address != nullptr && plain == nullptr;
    if (address == nullptr) address = plain;
  }
  return reinterpret_cast<Function>(address);
}

// The typed name as shown in a message: a NUL byte written as \0.
std::string shownName(std::string_view typedName) {
  std::string shown;
  for (char c : typedName) {
    if (c == '\0') {
      shown += "\\0";
    } else {
      shown += c;
    }
  }
  return shown;
}

// The first line, the loader's reason for the most telling failure where the platform gives
// one, then `details`, all DarkYellow, and the closing empty line.
void printLoadFailure(std::string_view typedName, std::uint32_t errorCode, const std::string& reason,
                      const std::vector<std::string>& details) {
  std::string text = "Call extension '" + shownName(typedName) + "' could not be loaded [ERR:" +
                     std::to_string(errorCode) + "]\n";
  if (platform::loaderGivesFailureReason() && !reason.empty()) text += reason + "\n";
  for (const std::string& line : details) text += line + "\n";
  printColoured(ConsoleColour::DarkYellow, "%s\n", text.c_str());
}

// The export table of a library that lacks an entry point: the file's dynamic symbols, or
// the loaded image's export directory.
std::vector<std::string> exportedNames(void* module, const std::string& path) {
  if (const void* image = platform::libraryImageBase(module)) return peExportedNames(image);
  std::string file = systemLibraries().readStart(path, std::size_t{256} << 20);
  return elfExportedNames(file);
}

// "Method is not implemented" and the entry point the library does not export.
// A note on the call's arguments follows, before the closing empty line.
void printNotImplemented(const ExtensionEntry* entry, const char* entryPoint, std::string_view note = {}) {
  if (entry == nullptr) {
    printNotice("Method is not implemented", note);
    return;
  }
  OutputLock lock;
  printColoured(ConsoleColour::DarkYellow, "Method is not implemented\n%s is not exported by %s\n%s", entryPoint,
                entry->fileName.c_str(), note.empty() ? "\n" : "");
  if (!note.empty()) printClosingNote(note);
}

const SearchPolicy& platformSearchPolicy() {
  static const SearchPolicy policy = SearchPolicy::ofPlatform();
  return policy;
}

// Whether a file's headers are those of a library this host can load, complete on disk (the
// loader would fault reading past the end of a file still being written).
bool hostCanLoad(const std::string& path, std::uint64_t size) {
  const SearchPolicy& policy = platformSearchPolicy();
  std::string head = systemLibraries().readStart(path, 4096);
  LibraryFileKind kind = libraryFileKind(head);
  return kind.format == (policy.peLibraries ? LibraryFileKind::Pe : LibraryFileKind::Elf) &&
         kind.bits == (policy.host64 ? 64 : 32) && libraryFileLength(head) <= size;
}

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

void lowerAsciiInPlace(std::string& text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
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
// and says what the host cannot honour of its flags, or that it is a function.
void lookUpFeatureFlags(ExtensionEntry& entry, void* module) {
  const char* name = "RVExtensionFeatureFlags";
  entry.featureFlags = nullptr;
  void* address = platform::findLibrarySymbol(module, name);
  if (address == nullptr) return;
  if (exportIsFunction(module, entry.file, name, address)) {
    printColoured(ConsoleColour::DarkYellow, "%s\n", featureFlagsFunctionNote(entry.fileName).c_str());
    return;
  }
  entry.featureFlags = static_cast<const std::uint64_t*>(address);
  std::string notes = featureFlagNotes(entry.fileName, *entry.featureFlags, &entry.notedFlags);
  if (!notes.empty()) printColoured(ConsoleColour::DarkYellow, "%s\n", notes.c_str());
}

}  // namespace

std::string toLowerAscii(std::string_view text) {
  std::string lower(text);
  lowerAsciiInPlace(lower);
  return lower;
}

// --- ExtensionRegistry -------------------------------------------------------------------

ExtensionEntry* ExtensionRegistry::find(const std::string& key) {
  auto found = entries_.find(key);
  return found != entries_.end() ? &found->second : nullptr;
}

ExtensionEntry& ExtensionRegistry::entryFor(const std::string& key) { return entries_[key]; }

bool ExtensionRegistry::unload(const std::string& typedName) {
  auto found = entries_.find(toLowerAscii(typedName));
  if (found == entries_.end()) return false;
  flushBeforeLibraryCode();
  closeAndRemember(found->second);
  entries_.erase(found);
  leaveExtensionCode();
  reportLateWritesToEither();
  return true;
}

std::vector<std::string> ExtensionRegistry::loadedNames() const {
  std::vector<std::string> names;
  names.reserve(entries_.size());
  for (const auto& [key, entry] : entries_) {
    if (entry.module != nullptr) names.push_back(key);
  }
  return names;
}

void ExtensionRegistry::unloadAll() {
  if (entries_.empty()) return;
  flushBeforeLibraryCode();
  for (auto& [key, entry] : entries_) closeAndRemember(entry);
  entries_.clear();
  leaveExtensionCode();
  reportLateWritesToEither();
}

// --- ExtensionHandle: loading ------------------------------------------------------------

ExtensionHandle::ExtensionHandle(std::string_view typedName) {
  // The key is built in a buffer reused by every command (main thread only); one grown by a
  // huge name is given back.
  constexpr std::size_t kKeptCapacity = 64 * 1024;
  static std::string key;
  key.assign(typedName);
  lowerAsciiInPlace(key);
  ExtensionEntry* entry = extensionRegistry.find(key);
  if (entry != nullptr && entry->module != nullptr) {
    entry_ = entry;  // loaded already: silent
    name_ = entry->name;
    if (watchLibraries) reloadIfChanged(*entry);
  } else {
    load(typedName, key);
  }
  if (key.capacity() > kKeptCapacity) std::string().swap(key);
}

void ExtensionHandle::load(std::string_view typedName, const std::string& key) {
  // A NUL byte would cut the name where the loader reads it: such a name loads nothing.
  if (typedName.find('\0') != std::string_view::npos) {
    printLoadFailure(typedName, platform::invalidNameErrorCode(), "", {});
    failedName_ = key;
    name_ = failedName_;
    ok_ = false;
    return;
  }
  // File names are built from the name as typed, so they keep the user's letter case. The
  // first candidate that loads wins; loading runs the library's start-up code.
  const SearchPolicy& policy = platformSearchPolicy();
  flushBeforeLibraryCode();
  LibrarySearch search;
  PrivateCopyLibraries copies;
  auto open = [&] {
    search = searchLibrary(typedName, policy, watchLibraries ? copies : systemLibraries());
  };
  if (!runExtensionCode(CallSite{"(library start-up code)", nullptr}, nullptr, open)) {
    leaveExtensionCode();
    reportLoaderCrashAndEnd("(library start-up code)");
  }
  leaveExtensionCode();
  if (search.library == nullptr) {
    const LoadAttempt* reported = search.mostTelling();
    printLoadFailure(typedName, reported != nullptr ? reported->failure.errorCode : 0,
                     reported != nullptr ? reported->failure.reason : std::string(),
                     loadFailureDetails(typedName, search, policy, systemLibraries()));
    failedName_ = key;
    name_ = failedName_;
    ok_ = false;  // nothing is registered, so the next use tries again
    return;
  }

  ExtensionEntry& entry = extensionRegistry.entryFor(key);
  entry_ = &entry;
  entry.name = key;
  name_ = entry.name;
  entry.module = platform::LoadedLibrary(search.library);
  entry.file = platform::loadedLibraryPath(search.library);
  if (entry.file.empty()) entry.file = search.path;
  entry.fileName = toLowerAscii(search.file);
  entry.typedName = typedName;
  entry.builtFile = search.file;
  if (watchLibraries) {
    entry.file = copies.original;
    entry.copy = copies.copy;
    entry.stamp = copies.stamp;
  } else {
    entry.stamp = platform::fileStamp(entry.file);
  }
  // A library the system kept in memory was loaded again: its code is the old one.
  auto resident = residentFiles().find(entry.file);
  if (resident != residentFiles().end()) {
    if (resident->second != entry.stamp) printStaysInMemory(entry);
    if (!watchLibraries) entry.stamp = resident->second;
  }
  adopt(entry);
}

// Finds the entry points of the entry's library, tells what its export table lacks, hands the
// callback over and reports the version: the usual load lines.
void ExtensionHandle::adopt(ExtensionEntry& entry) {
  void* module = entry.module.get();
  std::array<bool, 4> decoratedOnly{};
  entry.rvExtensionVersion = findEntryPoint<RVExtensionVersionFunction>(
      module, "_RVExtensionVersion@8", "RVExtensionVersion", decoratedOnly[0]);
  entry.rvExtension =
      findEntryPoint<RVExtensionFunction>(module, "_RVExtension@12", "RVExtension", decoratedOnly[1]);
  entry.rvExtensionArgs = findEntryPoint<RVExtensionArgsFunction>(
      module, "_RVExtensionArgs@20", "RVExtensionArgs", decoratedOnly[2]);
  entry.rvExtensionRegisterCallback = findEntryPoint<RVExtensionRegisterCallbackFunction>(
      module, "_RVExtensionRegisterCallback@4", "RVExtensionRegisterCallback", decoratedOnly[3]);
  bool contextDecoratedOnly = false;
  entry.rvExtensionContext = findEntryPoint<RVExtensionContextFunction>(
      module, "_RVExtensionContext@8", "RVExtensionContext", contextDecoratedOnly);
  platform::watchExitCalls(libraryAddressOf(entry));

  // The export table is read only when an entry point is missing; its problems, and entry
  // points the game would not find under their decorated names, are told once.
  std::array<bool, 4> found = {entry.rvExtensionVersion != nullptr, entry.rvExtension != nullptr,
                               entry.rvExtensionArgs != nullptr, entry.rvExtensionRegisterCallback != nullptr};
  ExportRules rules{platform::onlyDecoratedExportNames(), platform::librariesArePeFiles()};
  entry.exportProblems = decoratedNameProblems(decoratedOnly, rules);
  if (!found[0] || !found[1] || !found[2] || !found[3]) {
    std::vector<std::string> missing = exportProblems(exportedNames(module, entry.file), found, rules);
    entry.exportProblems.insert(entry.exportProblems.end(), missing.begin(), missing.end());
  }
  if (!entry.exportProblems.empty()) {
    std::string text;
    for (const std::string& problem : entry.exportProblems) text += entry.fileName + ": " + problem + "\n";
    printColoured(ConsoleColour::DarkYellow, "%s\n", text.c_str());
  }

  lookUpFeatureFlags(entry, module);

  // A library that cannot be called stays loaded; every call reports it.
  if (entry.rvExtension == nullptr && entry.rvExtensionArgs == nullptr) return;
  registerCallback();
  reportVersion();
  OutputLock lock;
  noticeOwnFaultHandlers(entry, true);
}

void ExtensionHandle::registerCallback() {
  if (!ok_) return;
  ExtensionEntry* entry = entry_;
  if (entry == nullptr || entry->module == nullptr || entry->rvExtensionRegisterCallback == nullptr) {
    return;
  }
  enterExtensionCode();
  auto hand = [entry] { entry->rvExtensionRegisterCallback(&ExtensionCallback); };
  CallSite site{"RVExtensionRegisterCallback", nullptr};
  bool returned = runExtensionCode(site, libraryAddressOf(*entry), hand);
  leaveExtensionCode();
  OutputLock lock;
  setColour(ConsoleColour::White);
  if (!returned) {
    reportCrash(entry, site);
    return;
  }
  printColoured(ConsoleColour::DarkYellow, "Callback registered: %p\n",
                reinterpret_cast<const void*>(&ExtensionCallback));
}

void ExtensionHandle::reportVersion() {
  if (!ok_) return;
  ExtensionEntry* entry = entry_;
  if (entry == nullptr || entry->module == nullptr || entry->crashed) return;
  if (entry->rvExtensionVersion == nullptr) {
    printModuleLoaded(entry->name, entry->fileName, "");
    return;
  }

  GuardedBuffer& buffer = versionOutputBuffer();
  reportLateWrites(buffer, versionBufferUser());
  versionBufferUser() = entry->name;
  char* output = buffer.prepare();
  std::int64_t frequency = platform::counterFrequency();
  auto version = [entry, output] { entry->rvExtensionVersion(output, kExtensionVersionSize); };
  CallSite site{"RVExtensionVersion", nullptr};
  enterExtensionCode();
  std::int64_t start = platform::counter();
  bool returned = runExtensionCode(site, libraryAddressOf(*entry), version);
  std::int64_t end = platform::counter();
  leaveExtensionCode();
  OutputLock lock;  // keeps the load message and its time together
  setColour(ConsoleColour::White);

  bool overrun = buffer.overrun();  // also rearms the guard zone after a crash
  if (!returned) {
    reportCrash(entry, site);
    return;
  }
  if (overrun) {
    printBufferOverrun();  // the extension stays loaded and usable
    return;
  }
  printModuleLoaded(entry->name, entry->fileName, buffer.data());
  printExecutionTime(platform::elapsedMilliseconds(start, end, frequency));
}

// --- ExtensionHandle: calls --------------------------------------------------------------

namespace {

// Reads the extension's flags before a call, says what is new among those the host cannot
// honour, and builds the context; answers whether the context function is called first.
bool prepareContext(ExtensionEntry& entry, ContextArguments* arguments) {
  std::uint64_t flags = entry.featureFlags != nullptr ? *entry.featureFlags : 0;
  if ((flags & ~entry.notedFlags) != 0) {
    std::string notes = featureFlagNotes(entry.fileName, flags, &entry.notedFlags);
    if (!notes.empty()) printColoured(ConsoleColour::DarkYellow, "%s\n", notes.c_str());
  }
  if (entry.rvExtensionContext == nullptr) return false;
  buildContextArguments(flags, arguments);
  return (flags & kFlagNoDefaultContext) == 0;
}

// Runs `callEntry` (the call of one entry point) with the call buffer ready and prints what
// came back: the quoted text, in the argument form as "[<text>,<code>,0]", then the
// time and the game's warnings; or the overrun. The timed interval holds the entry-point call
// alone; an extension with a context function or feature flags gets its context first, on
// the same thread and under the same guard, outside the timed interval.
template <class EntryCall>
void callAndReport(ExtensionEntry* entry, const CallSite& site, bool argumentForm,
                   std::string_view note, std::int32_t argumentCount, EntryCall&& callEntry) {
  GuardedBuffer& buffer = callOutputBuffer();
  reportLateWrites(buffer, callBufferUser());
  callBufferUser() = entry->name;
  char* output = buffer.prepare();
  std::int64_t frequency = platform::counterFrequency();
  std::int32_t code = 0;
  std::int64_t start = 0;
  std::int64_t end = 0;
  bool returned = false;
  if (entry->rvExtensionContext == nullptr && entry->featureFlags == nullptr) [[likely]] {
    auto body = [&] { code = callEntry(output); };
    enterExtensionCode();
    start = platform::counter();
    returned = runExtensionCode(site, libraryAddressOf(*entry), body, start);
    end = platform::counter();
  } else {
    static ContextArguments arguments;  // main thread only
    const bool contextFirst = prepareContext(*entry, &arguments);
    // A fault, an abandon or an exit() in the context function is reported as its own.
    const CallSite before{"RVExtensionContext", nullptr, &site, "before"};
    auto body = [&] {
      if (contextFirst) {
        currentCallSite = before;
        entry->rvExtensionContext(reinterpret_cast<const char**>(arguments.slots), arguments.count);
        currentCallSite = site;
      }
      start = platform::counter();
      code = callEntry(output);
      end = platform::counter();
    };
    enterExtensionCode();
    beginContextCall(entry->rvExtensionContext, &arguments);
    returned = runExtensionCode(site, libraryAddressOf(*entry), body);
    if (!returned && requestedContextRunning()) {
      currentCallSite = CallSite{"RVExtensionContext", nullptr, &site, "asked for by"};
    }
    endContextCall();
  }
  leaveExtensionCodeUnlocked();
  OutputLock lock;  // keeps the result and its time together
  endWaiting();     // under the same hold: one lock round trip after the call
  setColour(ConsoleColour::White);

  bool overrun = buffer.overrun();  // also rearms the guard zone after a crash
  if (!returned) {
    reportCrash(entry, currentCallSite);  // the call's site, or its context function's
  } else if (overrun) {
    printBufferOverrun(note);
  } else {
    // The result line is built whole and printed without the formatter: it comes once per call.
    std::string& line = resultLine();
    line.clear();
    if (argumentForm) line.push_back('[');
    appendQuoted(line, buffer.text());
    if (argumentForm) {
      char digits[16];
      line.push_back(',');
      line.append(digits, std::to_chars(digits, digits + sizeof digits, code).ptr);
      line.append(",0]");
    }
    line.push_back('\n');
    printColouredText(ConsoleColour::Cyan, line);
    const double milliseconds = platform::elapsedMilliseconds(start, end, frequency);
    printExecutionTime(milliseconds, note, gameWarnings(milliseconds, argumentCount));
  }
  noticeOwnFaultHandlers(*entry, false);
}

}  // namespace

void ExtensionHandle::call(const char* function) {
  if (!ok_) return;  // the load failure was the report
  ExtensionEntry* entry = entry_;
  if (entry == nullptr || entry->module == nullptr || entry->rvExtension == nullptr) {
    printNotImplemented(entry, "RVExtension");
    return;
  }
  if (quarantined(*entry, {})) return;
  callAndReport(entry, CallSite{"RVExtension", function}, false, {}, 0, [&](char* output) {
    entry->rvExtension(output, kExtensionOutputSize, function);
    return std::int32_t{0};
  });
}

void ExtensionHandle::callArgs(const char* function, const char** argv, std::int32_t argc,
                               std::string_view note) {
  if (!ok_) return;
  ExtensionEntry* entry = entry_;
  if (entry == nullptr || entry->module == nullptr || entry->rvExtensionArgs == nullptr) {
    printNotImplemented(entry, "RVExtensionArgs", note);
    return;
  }
  if (quarantined(*entry, note)) return;
  callAndReport(entry, CallSite{"RVExtensionArgs", function}, true, note, argc,
                [&](char* output) {
    return entry->rvExtensionArgs(output, kExtensionOutputSize, function, argv, argc);
  });
}

// --- ExtensionHandle: --watch ------------------------------------------------------------

// The author's file changed since its copy was loaded: once it has settled, a copy of the new
// file replaces the old one (a file that is gone leaves the old one in place). A file that is no library of the host's kind is reported and the
// old copy stays; one that fails to load is reported and the old copy is loaded afresh. Either
// way the failure is told once: the stamp of the new file is taken as seen.
void ExtensionHandle::reloadIfChanged(ExtensionEntry& entry) {
  if (entry.copy.empty() || platform::fileStamp(entry.file) == entry.stamp) return;
  entry.stamp = settledStamp(entry.file);
  if (!entry.stamp.exists) return;  // removed, as a build may do first: the copy goes on serving
  LibrarySearch search;
  LoadAttempt& attempt = search.attempts.emplace_back();
  attempt.file = entry.builtFile;
  attempt.folder = folderOf(entry.file);
  attempt.path = entry.file;
  std::string oldCopy = entry.copy;
  std::string copy;
  void* library = nullptr;
  bool stillLoaded = false;
  if (hostCanLoad(entry.file, entry.stamp.size)) {
    runLoaderCode("(library clean-up code)", [&] { stillLoaded = closeLibraryGuarded(entry); });
    stillLoaded = stillLoaded && platform::libraryStillLoaded(oldCopy);
    runLoaderCode("(library start-up code)",
                  [&] { library = openPrivateCopy(entry.file, &copy, &attempt.failure); });
  } else {
    attempt.failure.errorCode = platform::badFormatErrorCode();
    attempt.failure.fileFound = true;
  }
  if (library == nullptr) {
    printLoadFailure(entry.typedName, attempt.failure.errorCode, attempt.failure.reason,
                     loadFailureDetails(entry.typedName, search, platformSearchPolicy(), systemLibraries()));
    if (entry.module != nullptr) return;  // never unloaded
    platform::LibraryOpenFailure ignored;
    runLoaderCode("(library start-up code)",
                  [&] { library = platform::openLibraryCopy(oldCopy, attempt.folder, &ignored); });
    copy = oldCopy;
    if (library == nullptr) {
      failedName_ = entry.name;
      name_ = failedName_;
      entry_ = nullptr;
      ok_ = false;
      extensionRegistry.unload(failedName_);
      return;
    }
  } else {
    discardPrivateCopy(oldCopy);
    printColoured(ConsoleColour::DarkYellow, "Extension reloaded: %s (%s changed)\n", entry.name.c_str(),
                  entry.fileName.c_str());
    if (stillLoaded) printStaysInMemory(entry);
  }
  entry.module = platform::LoadedLibrary(library);
  entry.copy = copy;
  entry.crashed = false;
  entry.featureFlags = nullptr;
  entry.notedFlags = 0;
  entry.exportProblems.clear();
  adopt(entry);
}
