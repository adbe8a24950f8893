// The handle a call command holds for one extension: it finds the extension in the registry or
// loads it, calls it, and reports every outcome as it comes.
#ifndef INVOKEMODULE_EXTENSIONS_EXTENSION_HANDLE_H_
#define INVOKEMODULE_EXTENSIONS_EXTENSION_HANDLE_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "extensions/extension_registry.h"

// Lives for one call command. Construction finds the extension in the registry or loads it,
// reporting the load; ok() tells whether it can be called. The handle points at the
// registry's entry, which stays in place until it is freed; nothing frees an extension while a
// command that calls it is running. Looking up a loaded extension allocates nothing.
class ExtensionHandle {
 public:
  explicit ExtensionHandle(std::string_view typedName);
  ExtensionHandle(const ExtensionHandle&) = delete;
  ExtensionHandle& operator=(const ExtensionHandle&) = delete;

  bool ok() const { return entry_ != nullptr; }
  // Whether the extension has a context function (its calls may need the typed line).
  bool hasContext() const { return entry_ != nullptr && entry_->rvExtensionContext != nullptr; }
  // The lower-cased name.
  std::string_view name() const { return name_; }

  // Calls RVExtension with `function` and reports the quoted result and the execution time.
  void call(const char* function);
  // Calls RVExtensionArgs and reports "[result,code,0]" and the execution time. `argv` need not
  // point anywhere when `argc` is 0. A `note` (what went wrong with the arguments) is printed
  // under the execution time, or under the message printed in its place.
  void callArgs(const char* function, const char** argv, std::int32_t argc, std::string_view note = {});

 private:
  // Reports a load and, when a library came in, hands it the callback and asks its version.
  void finishLoad(const LoadOutcome& outcome);
  void reloadIfChanged(ExtensionEntry& entry);
  void fail(const std::string& key);

  std::string_view name_;  // the entry's name, or failedName_ when loading failed
  std::string failedName_;
  ExtensionEntry* entry_ = nullptr;  // the registry's, once loaded; null when loading failed
};

#endif  // INVOKEMODULE_EXTENSIONS_EXTENSION_HANDLE_H_
