// The extension registry and handle: loading, entry-point lookup, callback hand-over, version
// report, the two call forms and unloading.
#include "extensions/extension_registry.h"

#include <string>
#include <utility>

#include "extensions/extension_callback.h"
#include "extensions/extension_messages.h"
#include "extensions/guarded_buffer.h"
#include "output/output.h"
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

// The quoted result of the latest call; reused so that a call allocates nothing once warm.
std::string& resultLine() {
  static std::string line;
  return line;
}

// Just before control passes into an extension: the extension's own output appears in White
// and after everything the host has printed so far. The output lock is not held meanwhile, so
// the extension's threads can print callback lines while it runs.
void enterExtensionCode() {
  {
    OutputLock lock;
    setColour(ConsoleColour::White);
    beginWaiting(nullptr);  // flushes; lines from the extension's other threads go out at once
  }
  platform::setInsideExtensionCall(true);
}

// Just after: whatever the extension wrote through the C runtime goes out before the host's
// next text. Done before the output lock is taken, so that an extension thread holding the
// runtime's stream while it waits for the output lock (to print a callback line) cannot
// deadlock with the host. Callers then take the output lock and set White.
void leaveExtensionCode() {
  platform::setInsideExtensionCall(false);
  platform::flushRuntimeOutput();
  endWaiting();
}

template <typename Function>
Function findEntryPoint(void* module, const char* decoratedName, const char* plainName) {
  void* address = platform::findLibrarySymbol(module, decoratedName);
  if (address == nullptr && !platform::onlyDecoratedExportNames()) {
    address = platform::findLibrarySymbol(module, plainName);
  }
  return reinterpret_cast<Function>(address);
}

void printLoadFailure(const std::string& typedName, const platform::LibraryOpenFailure& failure) {
  std::string text = "Call extension '" + typedName + "' could not be loaded [ERR:" +
                     std::to_string(failure.errorCode) + "]";
  if (platform::loaderGivesFailureReason() && !failure.reason.empty()) {
    printColoured(ConsoleColour::DarkYellow, "%s\n%s\n\n", text.c_str(), failure.reason.c_str());
  } else {
    printNotice(text.c_str());
  }
}

void lowerAsciiInPlace(std::string& text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
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
  if (found->second.module != nullptr) platform::closeLibrary(found->second.module);
  entries_.erase(found);
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
  for (auto& [key, entry] : entries_) {
    if (entry.module != nullptr) platform::closeLibrary(entry.module);
  }
  entries_.clear();
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
  } else {
    load(typedName, key);
  }
  if (key.capacity() > kKeptCapacity) std::string().swap(key);
}

void ExtensionHandle::load(std::string_view typedName, const std::string& key) {
  // File names are built from the name as typed, so they keep the user's letter case. The
  // first candidate that loads wins; of the failures, the most telling one is reported.
  void* module = nullptr;
  std::string candidate;
  platform::LibraryOpenFailure reported;
  bool haveFailure = false;
  for (const char* suffix : platform::libraryFileSuffixes()) {
    candidate.assign(typedName).append(suffix);
    platform::LibraryOpenFailure failure;
    module = platform::openLibrary(candidate, &failure);
    if (module != nullptr) break;
    if (!haveFailure || (failure.fileFound && !reported.fileFound)) {
      reported = std::move(failure);
      haveFailure = true;
    }
  }
  if (module == nullptr) {
    printLoadFailure(std::string(typedName), reported);
    failedName_ = key;
    name_ = failedName_;
    ok_ = false;  // nothing is registered, so the next use tries again
    return;
  }

  ExtensionEntry& entry = extensionRegistry.entryFor(key);
  entry_ = &entry;
  entry.name = key;
  name_ = entry.name;
  entry.module = module;
  entry.fileName = toLowerAscii(candidate);
  entry.rvExtensionVersion =
      findEntryPoint<RVExtensionVersionFunction>(module, "_RVExtensionVersion@8", "RVExtensionVersion");
  entry.rvExtension = findEntryPoint<RVExtensionFunction>(module, "_RVExtension@12", "RVExtension");
  entry.rvExtensionArgs =
      findEntryPoint<RVExtensionArgsFunction>(module, "_RVExtensionArgs@20", "RVExtensionArgs");
  entry.rvExtensionRegisterCallback = findEntryPoint<RVExtensionRegisterCallbackFunction>(
      module, "_RVExtensionRegisterCallback@4", "RVExtensionRegisterCallback");

  // A library that cannot be called stays loaded, silently; every call reports it.
  if (entry.rvExtension == nullptr && entry.rvExtensionArgs == nullptr) return;
  registerCallback();
  reportVersion();
}

void ExtensionHandle::registerCallback() {
  if (!ok_) return;
  ExtensionEntry* entry = entry_;
  if (entry == nullptr || entry->module == nullptr || entry->rvExtensionRegisterCallback == nullptr) {
    return;
  }
  enterExtensionCode();
  entry->rvExtensionRegisterCallback(&ExtensionCallback);
  leaveExtensionCode();
  OutputLock lock;
  setColour(ConsoleColour::White);
  printColoured(ConsoleColour::DarkYellow, "Callback registered: %p\n",
                reinterpret_cast<const void*>(&ExtensionCallback));
}

void ExtensionHandle::reportVersion() {
  if (!ok_) return;
  ExtensionEntry* entry = entry_;
  if (entry == nullptr || entry->module == nullptr) return;
  if (entry->rvExtensionVersion == nullptr) {
    printModuleLoaded(entry->name, entry->fileName, "");
    return;
  }

  GuardedBuffer& buffer = versionOutputBuffer();
  char* output = buffer.prepare();
  std::int64_t frequency = platform::counterFrequency();
  enterExtensionCode();
  std::int64_t start = platform::counter();
  entry->rvExtensionVersion(output, kExtensionVersionSize);
  std::int64_t end = platform::counter();
  leaveExtensionCode();
  OutputLock lock;  // keeps the load message and its time together
  setColour(ConsoleColour::White);

  if (buffer.overrun()) {
    printBufferOverrun();  // the extension stays loaded and usable
    return;
  }
  printModuleLoaded(entry->name, entry->fileName, buffer.data());
  printExecutionTime(platform::elapsedMilliseconds(start, end, frequency));
}

// --- ExtensionHandle: calls --------------------------------------------------------------

namespace {

// Runs `callEntry` (the call of one entry point) with the call buffer ready and prints what
// came back: the result with `format` ("%s" the quoted text, "%d" the return code), then the
// time; or the overrun. The timed interval holds the entry-point call alone.
template <class EntryCall>
void callAndReport(const char* format, std::string_view note, EntryCall&& callEntry) {
  GuardedBuffer& buffer = callOutputBuffer();
  char* output = buffer.prepare();
  std::int64_t frequency = platform::counterFrequency();
  enterExtensionCode();
  std::int64_t start = platform::counter();
  std::int32_t code = callEntry(output);
  std::int64_t end = platform::counter();
  leaveExtensionCode();
  OutputLock lock;  // keeps the result and its time together
  setColour(ConsoleColour::White);

  if (buffer.overrun()) {
    printBufferOverrun(note);
    return;
  }
  std::string& line = resultLine();
  line.clear();
  appendQuoted(line, buffer.text());
  printColoured(ConsoleColour::Cyan, format, line.c_str(), code);
  printExecutionTime(platform::elapsedMilliseconds(start, end, frequency), note);
}

}  // namespace

void ExtensionHandle::call(const char* function) {
  if (!ok_) return;  // the load failure was the report
  ExtensionEntry* entry = entry_;
  if (entry == nullptr || entry->module == nullptr || entry->rvExtension == nullptr) {
    printNotice("Method is not implemented");
    return;
  }
  callAndReport("%s\n", {}, [&](char* output) {
    entry->rvExtension(output, kExtensionOutputSize, function);
    return std::int32_t{0};
  });
}

void ExtensionHandle::callArgs(const char* function, const char** argv, std::int32_t argc,
                               std::string_view note) {
  if (!ok_) return;
  ExtensionEntry* entry = entry_;
  if (entry == nullptr || entry->module == nullptr || entry->rvExtensionArgs == nullptr) {
    printNotice("Method is not implemented", note);
    return;
  }
  callAndReport("[%s,%d,0]\n", note, [&](char* output) {
    return entry->rvExtensionArgs(output, kExtensionOutputSize, function, argv, argc);
  });
}
