// The registry of loaded extension libraries and the per-command handle that loads and calls them.
//
// An extension is known by the name typed in a command, lower-cased (ASCII letters only): names
// differing in letter case share one entry. The registry alone owns the loaded libraries.
// Everything here runs on the main thread; only ExtensionCallback runs elsewhere.
#ifndef INVOKEMODULE_EXTENSIONS_EXTENSION_REGISTRY_H_
#define INVOKEMODULE_EXTENSIONS_EXTENSION_REGISTRY_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "extensions/extension_api.h"
#include "platform/dynamic_library.h"
#include "platform/file_copies.h"

// A copy of `text` with A-Z replaced by a-z; every other byte, 0x80 and above too, unchanged.
std::string toLowerAscii(std::string_view text);

// One loaded extension: the record that owns its library. Loaded while `module` holds a
// library; a missing export leaves its entry point null.
struct ExtensionEntry {
  std::string name;  // the registry key: the typed name, lower-cased
  platform::LoadedLibrary module;
  std::string file;  // the path the library was loaded from (under --watch: the author's file)
  std::string copy;  // under --watch: the private copy that is loaded; empty when `file` is
  platform::FileStamp stamp;  // of `file` when it was loaded
  std::string typedName;      // the name as typed at the first load
  std::string builtFile;      // the file name built from it that loaded
  // The file name that loaded, as built from the typed name (no directory the search added),
  // lower-cased: what the load message shows.
  std::string fileName;
  RVExtensionVersionFunction rvExtensionVersion = nullptr;
  RVExtensionFunction rvExtension = nullptr;
  RVExtensionArgsFunction rvExtensionArgs = nullptr;
  RVExtensionRegisterCallbackFunction rvExtensionRegisterCallback = nullptr;
  RVExtensionContextFunction rvExtensionContext = nullptr;
  // The extension's RVExtensionFeatureFlags variable, read before every call; null: flags 0.
  const std::uint64_t* featureFlags = nullptr;
  std::uint64_t notedFlags = 0;  // the flags whose note has been said
  bool crashed = false;        // a fault inside the extension was caught: it is not called again
  bool faultHandlersNoticed = false;  // told once that it installed fault handlers of its own
  std::vector<std::string> exportProblems;  // how its export table misses an entry point, with the fix
};

class ExtensionRegistry {
 public:
  // The entry for `key`, or null when none exists.
  ExtensionEntry* find(const std::string& key);
  // The entry for `key`, created empty when absent.
  ExtensionEntry& entryFor(const std::string& key);

  // Frees the library of the extension typed as `typedName` (any letter case) and erases its
  // entry. Answers whether there was an entry. Nothing in the extension is called first.
  bool unload(const std::string& typedName);

  // Frees every loaded library and empties the registry.
  void unloadAll();

  std::size_t size() const { return entries_.size(); }

  // The keys (lower-cased names) of the loaded extensions, in no particular order.
  std::vector<std::string> loadedNames() const;

 private:
  std::unordered_map<std::string, ExtensionEntry> entries_;
};

// The process-wide registry.
extern ExtensionRegistry extensionRegistry;

// Lives for one call command. Construction finds the extension in the registry or loads it,
// printing the load messages; ok() tells whether it can be called. The handle points at the
// registry's entry, which stays in place until it is freed; nothing frees an extension while a
// command that calls it is running. Looking up a loaded extension allocates nothing.
class ExtensionHandle {
 public:
  explicit ExtensionHandle(std::string_view typedName);
  ExtensionHandle(const ExtensionHandle&) = delete;
  ExtensionHandle& operator=(const ExtensionHandle&) = delete;

  bool ok() const { return ok_; }
  // Whether the extension has a context function (its calls may need the typed line).
  bool hasContext() const { return entry_ != nullptr && entry_->rvExtensionContext != nullptr; }
  // The lower-cased name.
  std::string_view name() const { return name_; }

  // Calls RVExtension with `function` and prints the quoted result and the execution time.
  void call(const char* function);
  // Calls RVExtensionArgs and prints "[result,code,0]" and the execution time. `argv` need not
  // point anywhere when `argc` is 0. A `note` (what went wrong with the arguments) is printed
  // under the execution time, or under the message printed in its place.
  void callArgs(const char* function, const char** argv, std::int32_t argc,
                std::string_view note = {});

 private:
  void load(std::string_view typedName, const std::string& key);
  void adopt(ExtensionEntry& entry);
  void reloadIfChanged(ExtensionEntry& entry);
  void registerCallback();
  void reportVersion();

  std::string_view name_;  // the entry's name, or failedName_ when loading failed
  std::string failedName_;
  ExtensionEntry* entry_ = nullptr;  // the registry's, once loaded; null when loading failed
  bool ok_ = true;
};

#endif  // INVOKEMODULE_EXTENSIONS_EXTENSION_REGISTRY_H_
